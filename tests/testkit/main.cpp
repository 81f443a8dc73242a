#include <gtest/gtest.h>

#include "platform/queues.h"
#include "testkit/devicedouble.h"

namespace testkit {
void setUpProcessRoot();
void tearDownProcessRoot();
}

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
