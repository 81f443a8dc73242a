#include "FakeView.h"

#include "platform/queues.h"

namespace fakeview {

const char* colorName(ui::LogColor color) {
    switch (color) {
        case ui::LogColor::black: return "black";
        case ui::LogColor::red: return "red";
        case ui::LogColor::orange: return "orange";
        case ui::LogColor::green: return "green";
        case ui::LogColor::gray: return "gray";
    }
    return "?";
}

std::vector<std::string> View::lines() {
    platform::MainQueue::drain();
    // The runs of one line after its time stamp, up to its line feed, in the
    // colour of the first.
    std::vector<std::string> out;
    std::string line;
    for (const auto& run : logField.runs) {
        if (run.color == ui::LogColor::gray) continue;
        std::string text = run.text;
        if (line.empty()) {
            if (!text.empty() && text.front() == ' ') text.erase(0, 1);
            line = std::string(colorName(run.color)) + ": ";
        }
        line += text;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            out.push_back(line);
            line.clear();
        }
    }
    if (!line.empty()) out.push_back(line);
    return out;
}

std::vector<std::string> View::lockSteps() const {
    std::vector<std::string> out;
    for (const auto& entry : journal)
        if (entry.size() > 3 && (entry.ends_with(" on") || entry.ends_with(" off"))) out.push_back(entry);
    return out;
}

}  // namespace fakeview
