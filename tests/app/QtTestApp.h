#pragma once
// One QApplication for the test process, on the offscreen platform, with the
// main queue drained by its event loop.
#include <QApplication>
#include <QTest>
#include <functional>

namespace qttest {

QApplication& application();

// Processes events (and with them the main queue) until done() or the timeout.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 60000);

}  // namespace qttest
