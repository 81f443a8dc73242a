#include "support/QFDateFormatterUtil.h"

#include <locale.h>
#include <time.h>

#include <cstdio>

QFDateFormatterUtil& QFDateFormatterUtil::sharedFormatter() {
    static QFDateFormatterUtil* shared = new QFDateFormatterUtil;  // lives until the process ends
    return *shared;
}

QFDateFormatterUtil::QFDateFormatterUtil() {
    // The user's locale for dates and times, from LC_ALL / LC_TIME / LANG.
    locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (!loc) loc = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    locale = loc;
}

namespace {
bool localParts(QFDateFormatterUtil::Date date, std::tm& tm, int& millis) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    auto secs = ms / 1000;
    millis = static_cast<int>(ms % 1000);
    if (millis < 0) {
        millis += 1000;
        secs -= 1;
    }
    std::time_t t = static_cast<std::time_t>(secs);
    return localtime_r(&t, &tm) != nullptr;
}
}  // namespace

std::optional<std::string> QFDateFormatterUtil::timestampForDate(std::optional<Date> date) {
    if (!date) return std::nullopt;
    std::tm tm{};
    int millis = 0;
    if (!localParts(*date, tm, millis)) return std::nullopt;
    // The locale's own date and time of day, to the whole second.
    char buf[128];
    size_t n = strftime_l(buf, sizeof buf, "%x %X", &tm, static_cast<locale_t>(locale));
    if (n == 0) return std::nullopt;
    return std::string(buf, n);
}

std::optional<std::string> QFDateFormatterUtil::MMddHHmmssSSSForDate(std::optional<Date> date) {
    if (!date) return std::nullopt;
    std::tm tm{};
    int millis = 0;
    if (!localParts(*date, tm, millis)) return std::nullopt;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d %02d:%02d:%02d %03d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec, millis);
    return std::string(buf);
}
