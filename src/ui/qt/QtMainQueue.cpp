#include "ui/qt/QtMainQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdint>
#include <mutex>

#include "platform/queues.h"

namespace ui::qt {

namespace {

// Workers wake the GUI thread through an event counter that Qt's loop
// watches: a worker touches no Qt object at all, and many wake-ups before the
// loop comes round cost one drain. The descriptor is written and closed under
// the same lock, so a late worker never writes into a descriptor that has
// since been closed and reused.
struct Binding {
    std::mutex lock;
    int fd = -1;
    QSocketNotifier* notifier = nullptr;  // GUI thread only
};

Binding& binding() {
    static Binding* b = new Binding;
    return *b;
}

void wake() {
    auto& b = binding();
    std::lock_guard<std::mutex> g(b.lock);
    if (b.fd < 0) return;
    uint64_t one = 1;
    ssize_t written = ::write(b.fd, &one, sizeof one);
    (void)written;  // a full counter already means "wake up"
}

void drainOnGuiThread() {
    int fd;
    {
        std::lock_guard<std::mutex> g(binding().lock);
        fd = binding().fd;
    }
    uint64_t count;
    if (fd >= 0) {
        ssize_t got = ::read(fd, &count, sizeof count);
        (void)got;  // nothing to read: a drain is harmless anyway
    }
    platform::MainQueue::drain();
}

}  // namespace

void bindMainQueueToEventLoop() {
    auto& b = binding();
    platform::MainQueue::bindToCurrentThread();
    if (b.notifier) return;
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return;
    {
        std::lock_guard<std::mutex> g(b.lock);
        b.fd = fd;
    }
    b.notifier = new QSocketNotifier(fd, QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(b.notifier, &QSocketNotifier::activated, b.notifier, [] { drainOnGuiThread(); });
    platform::MainQueue::setWakeup(wake);
    wake();  // work queued before the binding
}

void unbindMainQueueFromEventLoop() {
    auto& b = binding();
    platform::MainQueue::setWakeup({});
    delete b.notifier;
    b.notifier = nullptr;
    std::lock_guard<std::mutex> g(b.lock);
    if (b.fd >= 0) ::close(b.fd);
    b.fd = -1;
}

}  // namespace ui::qt
