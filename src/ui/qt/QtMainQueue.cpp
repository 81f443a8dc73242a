#include "ui/qt/QtMainQueue.h"

#include <QCoreApplication>
#include <QObject>
#include <atomic>
#include <memory>
#include <mutex>

#include "platform/queues.h"

namespace ui::qt {

namespace {

// The object whose thread drains the queue. Workers post to it under the
// lock, and unbinding clears it under the same lock, so no post ever reaches
// an object that is gone.
struct Binding {
    std::mutex lock;
    QObject* receiver = nullptr;
    std::atomic<bool> scheduled{false};
};

Binding& binding() {
    static Binding* b = new Binding;
    return *b;
}

void scheduleDrain() {
    auto& b = binding();
    // One pending drain is enough: it runs everything queued before it.
    if (b.scheduled.exchange(true)) return;
    std::lock_guard<std::mutex> g(b.lock);
    if (!b.receiver) {
        b.scheduled = false;
        return;
    }
    QMetaObject::invokeMethod(
        b.receiver,
        [] {
            binding().scheduled = false;
            platform::MainQueue::drain();
        },
        Qt::QueuedConnection);
}

}  // namespace

void bindMainQueueToEventLoop() {
    auto& b = binding();
    platform::MainQueue::bindToCurrentThread();
    {
        std::lock_guard<std::mutex> g(b.lock);
        if (!b.receiver) b.receiver = new QObject(QCoreApplication::instance());
    }
    platform::MainQueue::setWakeup(scheduleDrain);
    b.scheduled = false;
    scheduleDrain();  // work queued before the binding
}

void unbindMainQueueFromEventLoop() {
    auto& b = binding();
    platform::MainQueue::setWakeup({});
    std::lock_guard<std::mutex> g(b.lock);
    delete b.receiver;
    b.receiver = nullptr;
}

}  // namespace ui::qt
