// The desktop application: one main window, kept while the application runs.
#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "app/ReopenChannel.h"
#include "ui/qt/QtMainQueue.h"

#ifndef IPA_VERSION
#define IPA_VERSION "unknown"
#endif

namespace {

const char* const kUsage =
    "Usage: ipa-resigner [FILE.ipa]\n"
    "\n"
    "Opens the IPA Resigner window, with FILE.ipa opened in it when given. When\n"
    "the application is running already, its window comes to the front instead\n"
    "and opens FILE.ipa there.\n"
    "\n"
    "  -h, --help     show this text\n"
    "  --version      print the version\n"
    "\n"
    "The toolkit's own options (such as -platform) are accepted as well. To\n"
    "re-sign from a terminal or a script, use ipa-resign (see ipa-resign --help).\n";

bool set(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

int main(int argc, char** argv) {
    // Answered before anything needs a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) break;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("ipa-resigner %s\n", IPA_VERSION);
            return 0;
        }
    }
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

    // What is left once the toolkit has taken its own options: the package.
    QString package;
    bool optionsEnded = false;
    const QStringList arguments = QApplication::arguments();
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!optionsEnded && argument == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && argument.startsWith('-')) {
            std::fprintf(stderr, "ipa-resigner: error: unknown option \"%s\"\nTry 'ipa-resigner --help'.\n",
                         qPrintable(argument));
            return 2;
        } else if (package.isEmpty()) {
            // Absolute: a running copy has a working folder of its own.
            package = QFileInfo(argument).absoluteFilePath();
        } else {
            std::fprintf(stderr, "ipa-resigner: error: one package at a time; \"%s\" is one too many\n",
                         qPrintable(argument));
            return 2;
        }
    }

    ReopenChannel channel;
    if (channel.askRunningApplication(package)) return 0;

    AppDelegate delegate;
    ui::qt::bindMainQueueToEventLoop();
    int status = 0;
    {
        MainWindow window;
        channel.listen([&delegate, &window](const QString& path) {
            delegate.applicationShouldHandleReopen(window.isVisible());
            if (!path.isEmpty()) window.openPackage(path);
        });
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
        if (!package.isEmpty()) window.openPackage(package);
        status = QApplication::exec();
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return status;
}
