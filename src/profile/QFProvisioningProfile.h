#pragma once
// The record of one provisioning profile file: a CMS SignedData message whose
// encapsulated content is a property list. Decoding never fails the record:
// a file that cannot be decoded leaves every field empty but `path`.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/plist.h"

class QFProvisioningProfile {
public:
    using Date = std::chrono::system_clock::time_point;
    using Text = std::optional<std::string>;

    // initWithPath: an absent path gives a record with every field empty.
    explicit QFProvisioningProfile(std::optional<std::string> path);

    // The decoded property list of a profile file (a dictionary), or nothing.
    // The file's CMS content must be UTF-8 text holding a property list (XML,
    // or binary when its bytes happen to be valid UTF-8). Writes
    // "Could not decode file.\n" to standard error when decoding fails.
    static std::optional<platform::plist::Value> provisioningProfileAtPath(const std::optional<std::string>& path);
    // Fills every field but path and profileDictionary from profileDictionary.
    // A value of an unexpected type under a key leaves its field empty.
    void processDictionary();
    // The same, with `valid` judged against the given moment.
    void processDictionary(Date now);

    const Text& name() const { return _name; }
    void setName(Text v) { _name = std::move(v); }
    const Text& teamName() const { return _teamName; }
    void setTeamName(Text v) { _teamName = std::move(v); }
    const std::string& valid() const { return _valid; }  // "YES" or "NO"
    void setValid(std::string v) { _valid = std::move(v); }
    const std::string& debug() const { return _debug; }  // "YES" or "NO"
    void setDebug(std::string v) { _debug = std::move(v); }
    const std::optional<Date>& creationDate() const { return _creationDate; }
    void setCreationDate(std::optional<Date> v) { _creationDate = v; }
    const std::optional<Date>& expirationDate() const { return _expirationDate; }
    void setExpirationDate(std::optional<Date> v) { _expirationDate = v; }
    const Text& UUID() const { return _UUID; }
    void setUUID(Text v) { _UUID = std::move(v); }
    const std::optional<platform::plist::Array>& devices() const { return _devices; }
    void setDevices(std::optional<platform::plist::Array> v) { _devices = std::move(v); }
    int64_t timeToLive() const { return _timeToLive; }
    void setTimeToLive(int64_t v) { _timeToLive = v; }
    const Text& applicationIdentifier() const { return _applicationIdentifier; }
    void setApplicationIdentifier(Text v) { _applicationIdentifier = std::move(v); }
    const Text& bundleIdentifier() const { return _bundleIdentifier; }
    void setBundleIdentifier(Text v) { _bundleIdentifier = std::move(v); }
    const std::optional<platform::plist::Array>& certificates() const { return _certificates; }
    void setCertificates(std::optional<platform::plist::Array> v) { _certificates = std::move(v); }
    int64_t version() const { return _version; }
    void setVersion(int64_t v) { _version = v; }
    const std::optional<platform::plist::Array>& prefixes() const { return _prefixes; }
    void setPrefixes(std::optional<platform::plist::Array> v) { _prefixes = std::move(v); }
    const Text& appIdName() const { return _appIdName; }
    void setAppIdName(Text v) { _appIdName = std::move(v); }
    const Text& teamIdentifier() const { return _teamIdentifier; }
    void setTeamIdentifier(Text v) { _teamIdentifier = std::move(v); }
    const std::optional<std::string>& path() const { return _path; }
    void setPath(std::optional<std::string> v) { _path = std::move(v); }
    const std::optional<platform::plist::Value>& profileDictionary() const { return _profileDictionary; }
    void setProfileDictionary(std::optional<platform::plist::Value> v) { _profileDictionary = std::move(v); }

private:
    Text _name, _teamName;
    std::string _valid = "NO", _debug = "NO";
    std::optional<Date> _creationDate, _expirationDate;
    Text _UUID;
    std::optional<platform::plist::Array> _devices;
    int64_t _timeToLive = 0;
    Text _applicationIdentifier, _bundleIdentifier;
    std::optional<platform::plist::Array> _certificates;
    int64_t _version = 0;
    std::optional<platform::plist::Array> _prefixes;
    Text _appIdName, _teamIdentifier;
    std::optional<std::string> _path;
    std::optional<platform::plist::Value> _profileDictionary;
};
