// How fast the window's log takes lines: a long re-sign of a big package
// writes a few hundred lines, a broken one can write thousands. Lines come
// from a worker thread, as the engine's readers send them, and each one is
// appended and scrolled to on the GUI thread.
//
//   ui_log_bench [LINES]        (default 20000; runs on the offscreen platform)
#include <QApplication>
#include <QTextEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/MainWindow.h"
#include "ui/ViewController.h"
#include "ui/qt/QtMainQueue.h"

int main(int argc, char** argv) {
    int lines = argc > 1 ? std::atoi(argv[1]) : 20000;
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    ui::qt::bindMainQueueToEventLoop();
    {
        MainWindow window;
        window.show();
        QApplication::processEvents();
        auto* log = window.findChild<QTextEdit*>("logField");
        auto controller = window.controller();
        int before = log->document()->blockCount();

        auto start = std::chrono::steady_clock::now();
        std::thread writer([&] {
            for (int i = 0; i < lines; ++i)
                controller->addLog("codesigning Frameworks/F" + std::to_string(i) + ".framework done",
                                   i % 10 ? ui::LogColor::black : ui::LogColor::red);
        });
        while (log->document()->blockCount() - before < lines) QApplication::processEvents(QEventLoop::AllEvents, 50);
        writer.join();
        auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The cost of one more line at the end of a long log.
        auto lastStart = std::chrono::steady_clock::now();
        for (int i = 0; i < 100; ++i) controller->addLog("one more", ui::LogColor::green);
        while (log->document()->blockCount() - before < lines + 100) QApplication::processEvents();
        auto last = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - lastStart).count() / 100;

        std::printf("%d lines in %.3f s: %.0f lines/s, %.1f us per line; one line after them: %.1f us\n", lines,
                    seconds, lines / seconds, seconds * 1e6 / lines, last);
    }
    ui::qt::unbindMainQueueFromEventLoop();
    return 0;
}
