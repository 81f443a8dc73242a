#include "profile/QFProvisioningProfile.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string_view>

#include "platform/files.h"
#include "platform/text.h"
#include "profile/CmsContent.h"

namespace {

using platform::plist::Array;
using platform::plist::Dict;
using platform::plist::Value;

// Real profiles are tens of kilobytes; one listing thousands of devices stays
// under a megabyte.
constexpr std::uintmax_t kMaxProfileSize = 16 * 1024 * 1024;

// Profile keys.
constexpr const char* kAppIDName = "AppIDName";
constexpr const char* kName = "Name";
constexpr const char* kTeamName = "TeamName";
constexpr const char* kCreationDate = "CreationDate";
constexpr const char* kExpirationDate = "ExpirationDate";
constexpr const char* kProvisionedDevices = "ProvisionedDevices";
constexpr const char* kTimeToLive = "TimeToLive";
constexpr const char* kDeveloperCertificates = "DeveloperCertificates";
constexpr const char* kVersion = "Version";
constexpr const char* kUUID = "UUID";
constexpr const char* kApplicationIdentifierPrefix = "ApplicationIdentifierPrefix";
constexpr const char* kEntitlements = "Entitlements";
// Keys inside "Entitlements".
constexpr const char* kTeamIdentifier = "com.apple.developer.team-identifier";
constexpr const char* kGetTaskAllow = "get-task-allow";
constexpr const char* kApplicationIdentifier = "application-identifier";

constexpr const char* kYes = "YES";
constexpr const char* kNo = "NO";

// Typed look-ups: a missing key or a value of another type gives nothing.
const Value* lookUp(const Value* dict, const char* key) { return dict ? dict->get(key) : nullptr; }

std::optional<std::string> stringAt(const Value* dict, const char* key) {
    const Value* v = lookUp(dict, key);
    if (const std::string* s = v ? v->asString() : nullptr) return *s;
    return std::nullopt;
}

std::optional<QFProvisioningProfile::Date> dateAt(const Value* dict, const char* key) {
    const Value* v = lookUp(dict, key);
    if (const auto* d = v ? v->asDate() : nullptr) return *d;
    return std::nullopt;
}

std::optional<Array> arrayAt(const Value* dict, const char* key) {
    const Value* v = lookUp(dict, key);
    if (const Array* a = v ? v->asArray() : nullptr) return *a;
    return std::nullopt;
}

const Value* dictAt(const Value* dict, const char* key) {
    const Value* v = lookUp(dict, key);
    return v && v->asDict() ? v : nullptr;
}

int64_t clampToInt64(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(d);
}

// The integer value of a number, or of a text that starts with one (as the
// platform's integerValue reads it: leading blanks, a sign, digits; saturating).
int64_t integerAt(const Value* dict, const char* key) {
    const Value* v = lookUp(dict, key);
    if (!v) return 0;
    if (const int64_t* i = v->asInteger()) return *i;
    if (const bool* b = v->asBool()) return *b ? 1 : 0;
    if (const double* d = v->asReal()) return clampToInt64(*d);
    if (const std::string* s = v->asString()) {
        size_t i = 0;
        while (i < s->size() && std::isspace(static_cast<unsigned char>((*s)[i]))) ++i;
        bool negative = false;
        if (i < s->size() && ((*s)[i] == '+' || (*s)[i] == '-')) negative = (*s)[i++] == '-';
        int64_t n = 0;
        const int64_t limit = std::numeric_limits<int64_t>::max();
        for (; i < s->size() && std::isdigit(static_cast<unsigned char>((*s)[i])); ++i) {
            int digit = (*s)[i] - '0';
            if (n > (limit - digit) / 10) return negative ? std::numeric_limits<int64_t>::min() : limit;
            n = n * 10 + digit;
        }
        return negative ? -n : n;
    }
    return 0;
}

// Numerically equal to 1; a boolean true counts as 1. Texts never do.
bool isNumericOne(const Value* v) {
    if (!v) return false;
    if (const bool* b = v->asBool()) return *b;
    if (const int64_t* i = v->asInteger()) return *i == 1;
    if (const double* d = v->asReal()) return *d == 1.0;
    return false;
}

bool isBinaryPropertyList(std::string_view bytes) { return bytes.substr(0, 6) == "bplist"; }

}  // namespace

QFProvisioningProfile::QFProvisioningProfile(std::optional<std::string> path) {
    _path = std::move(path);
    _profileDictionary = provisioningProfileAtPath(_path);
    processDictionary();
}

std::optional<platform::plist::Value> QFProvisioningProfile::provisioningProfileAtPath(
    const std::optional<std::string>& path) {
    // An absent path is not a file to decode: nothing, and nothing to report.
    if (!path) return std::nullopt;
    std::optional<Value> result;
    // A file far larger than any profile is not read into memory at all.
    std::error_code ec;
    const auto size = std::filesystem::file_size(*path, ec);
    try {
        if (!ec && size <= kMaxProfileSize) {
            if (auto bytes = platform::fs::readFile(*path)) {
                auto content = profile::cmsEncapsulatedContent(*bytes);
                // An XML content is read as UTF-8 text first: bytes that are not
                // valid UTF-8 give no property list. A binary property list is no
                // text and is read as it stands.
                if (content && (isBinaryPropertyList(*content) || platform::text::isValidUtf8(*content))) {
                    auto parsed = platform::plist::parse(*content);
                    // Only a dictionary is a profile; any other value is not.
                    if (parsed && parsed->asDict()) result = std::move(parsed);
                }
            }
        }
    } catch (const std::exception&) {  // out of memory: no profile, never an end of the process
        result.reset();
    }
    if (!result) std::fputs("Could not decode file.\n", stderr);
    return result;
}

void QFProvisioningProfile::processDictionary() { processDictionary(std::chrono::system_clock::now()); }

void QFProvisioningProfile::processDictionary(Date now) {
    const Value* dict = _profileDictionary && _profileDictionary->asDict() ? &*_profileDictionary : nullptr;
    const Value* entitlements = dictAt(dict, kEntitlements);

    _appIdName = stringAt(dict, kAppIDName);
    _teamIdentifier = stringAt(entitlements, kTeamIdentifier);
    _name = stringAt(dict, kName);
    _teamName = stringAt(dict, kTeamName);
    _debug = isNumericOne(lookUp(entitlements, kGetTaskAllow)) ? kYes : kNo;
    _creationDate = dateAt(dict, kCreationDate);
    _expirationDate = dateAt(dict, kExpirationDate);
    _devices = arrayAt(dict, kProvisionedDevices);
    _timeToLive = integerAt(dict, kTimeToLive);
    _applicationIdentifier = stringAt(entitlements, kApplicationIdentifier);
    _certificates = arrayAt(dict, kDeveloperCertificates);
    // Valid until the expiration moment itself; expired strictly after it.
    _valid = _expirationDate && !(now - *_expirationDate > Date::duration::zero()) ? kYes : kNo;
    _version = integerAt(dict, kVersion);
    _bundleIdentifier = _applicationIdentifier;
    _UUID = stringAt(dict, kUUID);
    _prefixes = arrayAt(dict, kApplicationIdentifierPrefix);

    // Strip the identifier prefix: each prefix that occurs anywhere removes
    // every occurrence of itself followed by a dot, working on the result of
    // the prefix before. The search tests the prefix without its dot.
    if (_bundleIdentifier && _prefixes) {
        for (const Value& item : *_prefixes) {
            const std::string* prefix = item.asString();
            if (!prefix || prefix->empty()) continue;  // an empty text occurs nowhere
            if (_bundleIdentifier->find(*prefix) == std::string::npos) continue;
            _bundleIdentifier = platform::text::replaceAll(*_bundleIdentifier, *prefix + ".", "");
        }
    }
}
