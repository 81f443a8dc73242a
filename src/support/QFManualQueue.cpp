#include "support/QFManualQueue.h"

std::shared_ptr<QFBlockOperation> QFBlockOperation::blockOperationWithBlock(std::function<void()> block) {
    auto op = std::make_shared<QFBlockOperation>();
    op->block = std::move(block);
    return op;
}

void QFBlockOperation::start() {
    // The block is released once it has run, together with whatever it held.
    auto work = std::move(block);
    block = nullptr;
    if (work) work();
}

std::shared_ptr<QFManualQueue> QFManualQueue::create() { return std::shared_ptr<QFManualQueue>(new QFManualQueue); }

void QFManualQueue::addOperation(std::shared_ptr<QFBlockOperation> operation) {
    if (operation) operations.push_back(std::move(operation));
}

void QFManualQueue::next() {
    if (operations.empty()) {
        if (_noOperationPerform) {
            auto finalAction = _noOperationPerform;  // it may replace itself
            finalAction();
        }
        return;
    }
    // The head leaves the list before its work runs: work that reports at
    // once (a tool that cannot start) may call next() or cancelAll() from
    // inside start(), and must then find the following item at the head.
    auto head = operations.front();
    operations.erase(operations.begin());
    auto keepAlive = shared_from_this();
    head->start();
}

void QFManualQueue::cancelAll() { operations.clear(); }
