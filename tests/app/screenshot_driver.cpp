// Takes the README's screenshot: shows the window on the display it is given
// (an X server), makes one whole re-sign through the window's controls, then
// captures the screen. Run by scripts/screenshot.sh inside the demo's home;
// not part of the shipped application.
//
//   screenshot-driver PACKAGE DESTINATION OUTPUT.png
//   screenshot-driver --verdict PACKAGE OUTPUT.png
//
// With --verdict it opens the package, waits for the verdict line under the
// form to say the package is ready, captures the screen and checks that the
// line is drawn there, in its colour (the check run in CI under Xvfb).
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QTest>
#include <cstdio>
#include <cstring>

#include "WindowDriver.h"
#include "app/MainWindow.h"
#include "platform/process.h"
#include "support/QFToolPaths.h"
#include "ui/qt/QtMainQueue.h"

namespace {

bool capture(const char* output) {
    platform::Task capture("/usr/bin/import", {"-window", "root", output});
    if (!capture.launch()) {
        std::fprintf(stderr, "import (imagemagick) could not be started\n");
        return false;
    }
    capture.waitUntilExit();
    return capture.terminationStatus() == 0;
}

// The pixels of the captured screen inside the label, in the label's colour.
int pixelsInColour(const QImage& screen, const QLabel* label) {
    const QColor wanted = label->palette().color(QPalette::WindowText);
    const QRect area(label->mapToGlobal(QPoint(0, 0)), label->size());
    int count = 0;
    for (int y = area.top(); y <= area.bottom() && y < screen.height(); ++y)
        for (int x = area.left(); x <= area.right() && x < screen.width(); ++x) {
            QColor c = screen.pixelColor(x, y);
            if (std::abs(c.red() - wanted.red()) + std::abs(c.green() - wanted.green()) +
                    std::abs(c.blue() - wanted.blue()) < 40)
                ++count;
        }
    return count;
}

int verdictCheck(MainWindow& window, const char* package, const char* output) {
    auto* verdict = window.findChild<QLabel*>("verdictLabel");
    if (!verdict) return 1;
    window.openPackage(QString::fromLocal8Bit(package));
    if (!windowdriver::waitFor([&] { return verdict->text().startsWith("Ready:"); }, 60000)) {
        std::fprintf(stderr, "the verdict line says \"%s\"; the log:\n%s\n", qPrintable(verdict->text()),
                     qPrintable(windowdriver::logText(window)));
        return 1;
    }
    QTest::qWait(500);
    if (!capture(output)) return 1;
    QImage screen(QString::fromLocal8Bit(output));
    int drawn = screen.isNull() ? 0 : pixelsInColour(screen, verdict);
    if (drawn < 20) {
        std::fprintf(stderr, "the verdict line is not on the captured screen (%d pixels in its colour)\n", drawn);
        return 1;
    }
    std::printf("verdict line on screen: %d pixels in its colour\n", drawn);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool verdictMode = argc == 4 && std::strcmp(argv[1], "--verdict") == 0;
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PACKAGE DESTINATION OUTPUT.png | --verdict PACKAGE OUTPUT.png\n", argv[0]);
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
        } else if (verdictMode) {
            status = verdictCheck(window, argv[2], argv[3]);
        } else if (auto problem = windowdriver::resignThroughTheWindow(window, argv[1], argv[2]); !problem.empty()) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            status = 1;
        } else {
            // Clear the focus frame, let the last lines paint, then capture.
            window.findChild<QWidget*>("logField")->setFocus();
            QTest::qWait(800);
            status = capture(argv[3]) ? 0 : 1;
        }
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return status;
}
