// Takes the README's screenshot: shows the window on the display it is given
// (an X server), makes one whole re-sign through the window's controls, then
// captures the screen. Run by scripts/screenshot.sh inside the demo's home;
// not part of the shipped application.
//
//   screenshot-driver PACKAGE DESTINATION OUTPUT.png
#include <QApplication>
#include <QTest>
#include <cstdio>

#include "WindowDriver.h"
#include "app/MainWindow.h"
#include "platform/process.h"
#include "support/QFToolPaths.h"
#include "ui/qt/QtMainQueue.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PACKAGE DESTINATION OUTPUT.png\n", argv[0]);
        return 2;
    }
    QFToolPaths paths = QFToolPaths::defaults();
    paths.security = std::string(IPA_BIN_DIR) + "/security";
    paths.codesign = std::string(IPA_BIN_DIR) + "/codesign";
    QFToolPaths::setCurrent(paths);

    QApplication application(argc, argv);
    QApplication::setApplicationName("IPA Resigner");
    ui::qt::bindMainQueueToEventLoop();
    int status = 0;
    {
        MainWindow window;
        window.move(0, 0);
        window.resize(780, 600);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            std::fprintf(stderr, "the window was not shown\n");
            status = 1;
        } else if (auto problem = windowdriver::resignThroughTheWindow(window, argv[1], argv[2]); !problem.empty()) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            status = 1;
        } else {
            // Clear the focus frame, let the last lines paint, then capture.
            window.findChild<QWidget*>("logField")->setFocus();
            QTest::qWait(800);
            platform::Task capture("/usr/bin/import", {"-window", "root", argv[3]});
            if (!capture.launch()) {
                std::fprintf(stderr, "import (imagemagick) could not be started\n");
                status = 1;
            } else {
                capture.waitUntilExit();
                status = capture.terminationStatus() == 0 ? 0 : 1;
            }
        }
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return status;
}
