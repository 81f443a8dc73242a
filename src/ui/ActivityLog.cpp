// The activity log: one time-stamped, coloured line per message.
#include <chrono>

#include "platform/queues.h"
#include "support/QFDateFormatterUtil.h"
#include "ui/ViewController.h"

void ViewController::addLog(const std::string& message, LogColor color) {
    // Any thread may log; the view changes only on the main queue. The task
    // holds the controller so that a late line never finds it gone.
    auto self = shared_from_this();
    platform::MainQueue::async([self, message, color] { self->appendLogLine(message, color); });
}

void ViewController::appendLogLine(const std::string& message, LogColor color) {
    if (!_logField) return;
    // The time of appending, not of the call: a busy main thread shows up.
    auto now = QFDateFormatterUtil::sharedFormatter().MMddHHmmssSSSForDate(std::chrono::system_clock::now());
    // The message is appended as it is: "%" in it is never a format.
    _logField->appendAttributedString("[" + now.value_or("") + "]", LogColor::gray);
    _logField->appendAttributedString(" " + message + "\n", color);
    _logField->scrollRangeToVisible(_logField->length(), 0);
}
