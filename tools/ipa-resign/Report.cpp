#include "Report.h"

#include <chrono>
#include <cstdio>

#include "platform/text.h"
#include "support/QFDateFormatterUtil.h"

namespace ipa_resign {

namespace {

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
        case Color::green: return "green";
    }
    return "black";
}

std::string optionalString(const std::optional<std::string>& text) { return text ? jsonString(*text) : "null"; }

}  // namespace

std::string jsonString(const std::string& text) {
    static const char* hex = "0123456789abcdef";
    std::string utf8 = platform::text::decodeUtf8Lossy(text);
    std::string out = "\"";
    for (unsigned char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += "\\u00";
                    out += hex[c >> 4];
                    out += hex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

void Reporter::writeJson(const std::string& object) { writeAll(stdout, object + "\n"); }

void Reporter::log(const std::string& message, Color color, const char* stage) {
    const std::string when = stamp();
    if (json) {
        writeJson(std::string("{\"type\":\"log\",\"package\":") + jsonString(current) + ",\"stage\":" +
                  jsonString(stage) + ",\"color\":" + jsonString(colorName(color)) + ",\"time\":" + jsonString(when) +
                  ",\"message\":" + jsonString(message) + "}");
    }
    bool failure = color == Color::red;
    if (quiet && !failure) return;
    writeAll(failure || json ? stderr : stdout, "[" + when + "] " + message + "\n");
}

void Reporter::error(const std::string& message) {
    if (json) writeJson("{\"type\":\"error\",\"package\":" + jsonString(current) + ",\"message\":" + jsonString(message) + "}");
    writeAll(stderr, "ipa-resign: error: " + message + "\n");
}

void Reporter::result(const PackageResult& r) {
    if (!json) return;
    std::string items;
    for (const auto& item : r.signedItems) {
        if (!items.empty()) items += ",";
        items += "{\"path\":" + jsonString(item.path) + ",\"identity\":" + jsonString(item.identity) +
                 ",\"profile\":" + optionalString(item.profile) + "}";
    }
    std::string timings;
    for (const auto& [stage, seconds] : r.timings) {
        char number[32];
        std::snprintf(number, sizeof number, "%.3f", seconds);
        if (!timings.empty()) timings += ",";
        timings += jsonString(stage) + ":" + number;
    }
    std::string changes;
    for (const auto& change : r.changes) changes += (changes.empty() ? "" : ",") + jsonString(change);
    writeJson("{\"type\":\"result\",\"package\":" + jsonString(r.package) + ",\"status\":" +
              jsonString(r.succeeded ? "succeeded" : "failed") + ",\"archive\":" + optionalString(r.archive) +
              ",\"message\":" + jsonString(r.message) + ",\"signed\":[" + items + "],\"changes\":[" + changes +
              "],\"timings\":{" + timings + "}}");
}

void Reporter::summary(const std::vector<PackageResult>& results) {
    size_t succeeded = 0;
    for (const auto& r : results) succeeded += r.succeeded ? 1 : 0;
    if (json) {
        std::string failed;
        for (const auto& r : results) {
            if (r.succeeded) continue;
            if (!failed.empty()) failed += ",";
            failed += jsonString(r.package);
        }
        writeJson("{\"type\":\"summary\",\"status\":" + jsonString(succeeded == results.size() ? "succeeded" : "failed") +
                  ",\"packages\":" + std::to_string(results.size()) + ",\"succeeded\":" + std::to_string(succeeded) +
                  ",\"failed\":[" + failed + "]}");
    }
    if (results.size() < 2) return;
    std::string text = "ipa-resign: " + std::to_string(succeeded) + " of " + std::to_string(results.size()) +
                       " packages re-signed\n";
    for (const auto& r : results)
        text += std::string(r.succeeded ? "  done    " : "  FAILED  ") + r.package +
                (r.succeeded && r.archive ? " -> " + *r.archive : "") + "\n";
    writeAll(json ? stderr : stdout, text);
}

}  // namespace ipa_resign
