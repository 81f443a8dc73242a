#pragma once
// The two renderings of a moment the system uses: the medium date and time of
// the user's locale (work directory names) and "MM/dd HH:mm:ss SSS" (log lines).
// Local time. Both are called from the main thread only.
#include <chrono>
#include <optional>
#include <string>

class QFDateFormatterUtil {
public:
    using Date = std::chrono::system_clock::time_point;

    static QFDateFormatterUtil& sharedFormatter();

    std::optional<std::string> timestampForDate(std::optional<Date> date);
    std::optional<std::string> MMddHHmmssSSSForDate(std::optional<Date> date);

private:
    QFDateFormatterUtil();
    void* locale;  // the user's LC_TIME locale (locale_t), from the environment
};
