#include <gtest/gtest.h>

#include "platform/queues.h"
#include "testkit/devicedouble.h"

namespace testkit {
void setUpProcessRoot();
void tearDownProcessRoot();
}

// The mux library shares a lazily made string between its event thread and
// the caller unlocked, and Qt's image scaling shares its work with Qt's own
// thread pool; neither is built for the thread checker. Our own code stays
// checked in full. (Weak: a test program may name its own list.)
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((weak)) const char* __tsan_default_suppressions() {
    return "race:libusbmuxd-2.0.so.6\n"
           "race:libplist-2.0.so.3\n"
           "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n";
}
#endif

// Every test process gets its own HOME, TMPDIR and XDG folders, and the
// thread that runs the tests is the main queue's thread. No test reaches a
// real device: the device service is one that is not there, until a test
// starts a device double.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testkit::setUpProcessRoot();
    testkit::DeviceDouble::pointAtNoDaemon();
    platform::MainQueue::bindToCurrentThread();
    int rc = RUN_ALL_TESTS();
    testkit::tearDownProcessRoot();
    return rc;
}
