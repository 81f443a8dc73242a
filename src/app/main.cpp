// The desktop application: one main window, kept while the application runs.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "app/ReopenChannel.h"
#include "ui/qt/QtMainQueue.h"

namespace {
bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}
}  // namespace

int main(int argc, char** argv) {
    // Without any display the toolkit would abort; say what is wrong instead.
    if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM")) {
        std::fprintf(stderr,
                     "ipa-resigner: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                     "The command ipa-resign makes the same re-sign from a terminal.\n");
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("IPA Resigner");
    QApplication::setDesktopFileName("ipa-resigner");
    QApplication::setWindowIcon(QIcon(":/ipa-resigner.png"));
    // Closing the window does not end the application; starting it again
    // brings the same window back.
    QApplication::setQuitOnLastWindowClosed(false);

    ReopenChannel channel;
    if (channel.askRunningApplication()) return 0;

    AppDelegate delegate;
    ui::qt::bindMainQueueToEventLoop();
    int status = 0;
    {
        MainWindow window;
        channel.listen([&delegate, &window] { delegate.applicationShouldHandleReopen(window.isVisible()); });
        QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                         [&delegate] { delegate.applicationWillTerminate(); });
        // Where the desktop has a tray, the application that outlives its
        // window stays reachable from there as well.
        std::unique_ptr<QMenu> trayMenu;
        std::unique_ptr<QSystemTrayIcon> tray;
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            trayMenu = std::make_unique<QMenu>();
            trayMenu->addAction(QObject::tr("Show IPA Resigner"), &delegate,
                                [&delegate, &window] { delegate.applicationShouldHandleReopen(window.isVisible()); });
            trayMenu->addAction(QObject::tr("Quit"), &application, &QCoreApplication::quit);
            tray = std::make_unique<QSystemTrayIcon>(QApplication::windowIcon());
            tray->setToolTip(QObject::tr("IPA Resigner"));
            tray->setContextMenu(trayMenu.get());
            QObject::connect(tray.get(), &QSystemTrayIcon::activated, &delegate,
                             [&delegate, &window] { delegate.applicationShouldHandleReopen(window.isVisible()); });
            tray->show();
        }
        window.show();
        delegate.applicationDidFinishLaunching();
        status = QApplication::exec();
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return status;
}
