#include <gtest/gtest.h>

#include "platform/queues.h"

namespace testkit {
void setUpProcessRoot();
void tearDownProcessRoot();
}

// Every test process gets its own HOME, TMPDIR and XDG folders, and the
// thread that runs the tests is the main queue's thread.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testkit::setUpProcessRoot();
    platform::MainQueue::bindToCurrentThread();
    int rc = RUN_ALL_TESTS();
    testkit::tearDownProcessRoot();
    return rc;
}
