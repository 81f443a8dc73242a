#pragma once
// A first-in, first-out list of operations that starts nothing by itself:
// next() starts the head (or runs the final action when the list is empty);
// the client calls next() again when it judges the head's work to be over.
#include <functional>
#include <memory>
#include <vector>

class QFBlockOperation {
public:
    static std::shared_ptr<QFBlockOperation> blockOperationWithBlock(std::function<void()> block);
    void start();  // runs the block on the calling thread
private:
    std::function<void()> block;
};

class QFManualQueue : public std::enable_shared_from_this<QFManualQueue> {
public:
    static std::shared_ptr<QFManualQueue> create();

    void addOperation(std::shared_ptr<QFBlockOperation> operation);
    void next();
    void cancelAll();
    size_t operationCount() const { return operations.size(); }

    const std::function<void()>& noOperationPerform() const { return _noOperationPerform; }
    void setNoOperationPerform(std::function<void()> block) { _noOperationPerform = std::move(block); }

private:
    QFManualQueue() = default;
    std::vector<std::shared_ptr<QFBlockOperation>> operations;
    std::function<void()> _noOperationPerform;
};
