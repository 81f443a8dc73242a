// The desktop application: one main window, kept while the application runs.
#include <QApplication>
#include <QIcon>

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "app/ReopenChannel.h"
#include "ui/qt/QtMainQueue.h"

int main(int argc, char** argv) {
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
        window.show();
        delegate.applicationDidFinishLaunching();
        status = QApplication::exec();
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return status;
}
