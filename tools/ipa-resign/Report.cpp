#include "Report.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/text.h"
#include "support/QFDateFormatterUtil.h"

namespace ipa_resign {

namespace {

// Keys in the order written: readers of these lines may rely on it.
using Json = nlohmann::ordered_json;

std::string stamp() {
    return QFDateFormatterUtil::sharedFormatter().MMddHHmmssSSSForDate(std::chrono::system_clock::now()).value_or("");
}

void writeAll(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

const char* colorName(Color color) {
    switch (color) {
        case Color::black: return "black";
        case Color::red: return "red";
        case Color::orange: return "orange";
        case Color::green: return "green";
    }
    return "black";
}

// Text as the lines carry it: UTF-8, with U+FFFD for invalid bytes.
Json text(const std::string& value) { return platform::text::decodeUtf8Lossy(value); }
Json text(const char* value) { return text(std::string(value)); }
Json text(const std::optional<std::string>& value) { return value ? text(*value) : Json(nullptr); }

// One object a line. The lines have always spelled backspace, form feed and
// DEL as \u00XX; the library writes the first two as \b and \f and the last
// unescaped, so those three are spelled out again for byte-comparing readers.
void writeJson(const Json& object) {
    const std::string dumped = object.dump(-1, ' ', false, Json::error_handler_t::replace);
    std::string line;
    line.reserve(dumped.size() + 1);
    for (size_t i = 0; i < dumped.size(); ++i) {
        if (dumped[i] == '\x7f') {
            line += "\\u007f";
        } else if (dumped[i] == '\\' && i + 1 < dumped.size()) {  // an escape: the next byte is part of it
            const char escaped = dumped[++i];
            if (escaped == 'b') line += "\\u0008";
            else if (escaped == 'f') line += "\\u000c";
            else line += {'\\', escaped};
        } else {
            line += dumped[i];
        }
    }
    writeAll(stdout, line + "\n");
}

}  // namespace

void Reporter::log(const std::string& message, Color color, const char* stage) {
    const std::string when = stamp();
    if (json) {
        writeJson({{"type", "log"}, {"package", text(current)}, {"stage", text(stage)}, {"color", colorName(color)},
                   {"time", text(when)}, {"message", text(message)}});
    }
    bool failure = color == Color::red;
    if (quiet && !failure) return;
    // Without the progress lines, a failure names its package itself.
    const std::string named = quiet && !current.empty() ? current + ": " + message : message;
    writeAll(failure || json ? stderr : stdout, "[" + when + "] " + named + "\n");
}

void Reporter::error(const std::string& message) {
    if (json) writeJson({{"type", "error"}, {"package", text(current)}, {"message", text(message)}});
    writeAll(stderr, "ipa-resign: error: " + message + "\n");
}

void Reporter::result(const PackageResult& r) {
    if (!json) return;
    Json items = Json::array();
    for (const auto& item : r.signedItems)
        items.push_back({{"path", text(item.path)}, {"identity", text(item.identity)}, {"profile", text(item.profile)}});
    Json changes = Json::array();
    for (const auto& change : r.changes) changes.push_back(text(change));
    // Seconds to the millisecond; a stage met twice counts once, with both times.
    Json timings = Json::object();
    for (const auto& [stage, seconds] : r.timings) {
        const Json name = text(stage);
        const double sum = timings.value(name.get<std::string>(), 0.0) + seconds;
        timings[name.get<std::string>()] = std::round(sum * 1000) / 1000;
    }
    Json result = {{"type", "result"}, {"package", text(r.package)}, {"status", r.succeeded ? "succeeded" : "failed"},
                   {"archive", text(r.archive)}, {"message", text(r.message)}, {"signed", items}};
    // Only a run that changed the package says so: without options the line stays as it was.
    if (!changes.empty()) result["changes"] = changes;
    result["timings"] = timings;
    writeJson(result);
}

void Reporter::summary(const std::vector<PackageResult>& results) {
    size_t succeeded = 0;
    for (const auto& r : results) succeeded += r.succeeded ? 1 : 0;
    if (json) {
        Json failed = Json::array();
        for (const auto& r : results)
            if (!r.succeeded) failed.push_back(text(r.package));
        writeJson({{"type", "summary"}, {"status", succeeded == results.size() ? "succeeded" : "failed"},
                   {"packages", results.size()}, {"succeeded", succeeded}, {"failed", failed}});
    }
    if (results.size() < 2) return;
    std::string lines = "ipa-resign: " + std::to_string(succeeded) + " of " + std::to_string(results.size()) +
                       " packages re-signed\n";
    for (const auto& r : results)
        lines += std::string(r.succeeded ? "  done    " : "  FAILED  ") + r.package +
                (r.succeeded && r.archive ? " -> " + *r.archive : "") + "\n";
    writeAll(json ? stderr : stdout, lines);
}

}  // namespace ipa_resign
