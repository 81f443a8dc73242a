#include "QtTestApp.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "testkit/testkit.h"
#include "ui/qt/QtMainQueue.h"

namespace qttest {

QApplication& application() {
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // A private runtime folder, as a desktop session would give.
        std::string runtime = testkit::makeScratchDir("runtime");
        chmod(runtime.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        ui::qt::bindMainQueueToEventLoop();
        return a;
    }();
    return *app;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    application();
    return QTest::qWaitFor(done, timeoutMs);
}

}  // namespace qttest

// Font configuration keeps a few caches for the life of the process; they are
// the system library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// Qt is not built for the thread checker: its own threads (the file dialog's
// file information gatherer, for one) synchronise through primitives the
// checker cannot see, so the memory operations those libraries make are left
// out. Our code stays checked in full.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libQt6DBus.so.6\n"
           "called_from_lib:libQt6Network.so.6\n";
}
