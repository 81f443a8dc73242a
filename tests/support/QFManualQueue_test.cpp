#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/QFManualQueue.h"

namespace {
std::shared_ptr<QFBlockOperation> recording(std::vector<std::string>& log, std::string name) {
    return QFBlockOperation::blockOperationWithBlock([&log, name] { log.push_back(name); });
}
}  // namespace

TEST(QFManualQueue, StartsOneOperationPerNextInInsertionOrder) {
    std::vector<std::string> log;
    auto queue = QFManualQueue::create();
    queue->next();  // empty, no final action: nothing happens
    queue->addOperation(recording(log, "a"));
    queue->addOperation(recording(log, "b"));
    queue->addOperation(recording(log, "c"));
    EXPECT_TRUE(log.empty()) << "adding starts nothing";
    int finals = 0;
    queue->next();
    queue->setNoOperationPerform([&] { ++finals; });  // set after the first next, as the signer does
    queue->next();
    queue->next();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(finals, 0);
    queue->next();
    queue->next();
    EXPECT_EQ(finals, 2) << "every next on an empty list runs the final action again";
}

TEST(QFManualQueue, CancelAllDropsWhatIsLeftWithoutRunningTheFinalAction) {
    std::vector<std::string> log;
    int finals = 0;
    auto queue = QFManualQueue::create();
    queue->addOperation(recording(log, "a"));
    queue->addOperation(recording(log, "b"));
    queue->addOperation(recording(log, "c"));
    queue->setNoOperationPerform([&] { ++finals; });
    queue->next();
    queue->cancelAll();
    EXPECT_EQ(queue->operationCount(), 0u);
    EXPECT_EQ(finals, 0);
    queue->next();
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));
    EXPECT_EQ(finals, 1);
}

TEST(QFManualQueue, WorkThatReportsAtOnceMayAdvanceTheQueueFromInsideItsBlock) {
    // A step whose tool cannot start reports synchronously and calls next()
    // (or cancelAll()) before its own block has returned.
    std::vector<std::string> log;
    auto queue = QFManualQueue::create();
    std::weak_ptr<QFManualQueue> weak = queue;
    queue->addOperation(QFBlockOperation::blockOperationWithBlock([&] {
        log.push_back("a");
        weak.lock()->next();
    }));
    queue->addOperation(QFBlockOperation::blockOperationWithBlock([&] {
        log.push_back("b");
        weak.lock()->cancelAll();
    }));
    queue->addOperation(recording(log, "never"));
    int finals = 0;
    queue->setNoOperationPerform([&] { ++finals; });
    queue->next();
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(finals, 0);
}
