#include "engine/QFEntitlements.h"

#include <algorithm>

namespace plist = platform::plist;

namespace engine {

namespace {

constexpr const char* kApplicationIdentifier = "application-identifier";
constexpr const char* kTeamIdentifier = "com.apple.developer.team-identifier";
constexpr const char* kGetTaskAllow = "get-task-allow";
constexpr const char* kKeychainGroups = "keychain-access-groups";

// What a capability is called in the log, and what the app goes without
// when its profile does not grant it.
struct Capability {
    const char* key;
    const char* name;
    const char* consequence;
};
constexpr Capability kCapabilities[] = {
    {"aps-environment", "Push notifications", "the app will not receive them"},
    {"com.apple.security.application-groups", "App groups",
     "the app will not share data with its extensions and the team's other apps"},
    {kKeychainGroups, "Keychain groups", "the app will not reach the keychain items it keeps there"},
    {"com.apple.developer.associated-domains", "Associated domains",
     "universal links and shared web credentials will not work"},
    {"com.apple.developer.icloud-services", "iCloud services", "the app will not reach iCloud"},
    {"com.apple.developer.icloud-container-identifiers", "iCloud containers", "the app will not reach its iCloud data"},
    {"com.apple.developer.ubiquity-container-identifiers", "iCloud document containers",
     "the app will not reach its iCloud documents"},
    {"com.apple.developer.ubiquity-kvstore-identifier", "iCloud key-value storage",
     "the app will not reach its iCloud settings"},
    {"com.apple.developer.icloud-container-environment", "The iCloud environment", "the app will not reach iCloud"},
};

// NOTE: keep in step with isLostCapabilityLine, which finds these lines by them.
constexpr const char* kNotInProfile = " not in the profile \"";
constexpr const char* kNotInCarrier = " not among the entitlements of \"";

std::string capabilityName(const std::string& key) {
    for (const auto& c : kCapabilities)
        if (key == c.key) return c.name;
    return "The capability";
}

std::string consequence(const std::string& key) {
    for (const auto& c : kCapabilities)
        if (key == c.key) return c.consequence;
    return "the app will go without it";
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// A value as the log shows it: strings quoted, lists joined.
std::string shown(const plist::Value& value) {
    if (const std::string* s = value.asString()) return quoted(*s);
    if (const bool* b = value.asBool()) return *b ? "true" : "false";
    if (const int64_t* i = value.asInteger()) return std::to_string(*i);
    if (const plist::Array* list = value.asArray()) {
        std::string out;
        for (const auto& item : *list) out += (out.empty() ? "" : ", ") + shown(item);
        return out.empty() ? "(none)" : out;
    }
    return "(a value)";
}

bool isPatternText(const std::string& text) { return text.find('*') != std::string::npos; }

std::string lostLine(const std::string& key, const std::string& profileName, const std::string& values = "") {
    std::string line = capabilityName(key) + " (" + key + ")";
    if (!values.empty()) line += " for " + values;
    return line + " " + (values.empty() ? "are" : "is") + kNotInProfile + profileName + "\": " + consequence(key) + ".";
}

// The old team's prefix moved to the new team, in a string or in the
// strings of a list.
plist::Value moveTeam(const plist::Value& value, const std::string& oldTeam, const std::string& team) {
    if (const std::string* s = value.asString()) {
        if (oldTeam.empty() || oldTeam == team) return value;
        if (*s == oldTeam) return team;
        if (s->size() > oldTeam.size() && s->compare(0, oldTeam.size(), oldTeam) == 0 && (*s)[oldTeam.size()] == '.')
            return team + s->substr(oldTeam.size());
        return value;
    }
    if (const plist::Array* list = value.asArray()) {
        plist::Array out;
        for (const auto& item : *list) out.push_back(moveTeam(item, oldTeam, team));
        return out;
    }
    return value;
}

std::string oldTeamOf(const plist::Dict& claimed) {
    if (auto it = claimed.find(kTeamIdentifier); it != claimed.end() && it->second.asString())
        return *it->second.asString();
    if (auto it = claimed.find(kApplicationIdentifier); it != claimed.end() && it->second.asString()) {
        const std::string& id = *it->second.asString();
        auto dot = id.find('.');
        if (dot != std::string::npos) return id.substr(0, dot);
    }
    return "";
}

// The claimed value, or the entries of a claimed list, that the profile
// permits; what a list loses goes to dropped.
std::optional<plist::Value> fitting(const plist::Value& allowed, const plist::Value& wanted, plist::Array& dropped) {
    if (const plist::Array* list = wanted.asArray()) {
        plist::Array kept;
        for (const auto& item : *list) {
            if (!holdsPattern(item) && permits(allowed, item)) kept.push_back(item);
            else dropped.push_back(item);
        }
        if (kept.empty() && !list->empty()) return std::nullopt;
        return plist::Value(std::move(kept));
    }
    if (!holdsPattern(wanted) && permits(allowed, wanted)) return wanted;
    return std::nullopt;
}

// The profile's own concrete values, shaped like the claim: what a bundle
// is given when none of its claimed values fits (app groups and containers
// after a change of team).
std::optional<plist::Value> profileConcrete(const plist::Value& allowed, const plist::Value& wanted) {
    plist::Array concrete;
    if (const plist::Array* list = allowed.asArray()) {
        for (const auto& item : *list)
            if (!holdsPattern(item)) concrete.push_back(item);
    } else if (!holdsPattern(allowed)) {
        concrete.push_back(allowed);
    }
    if (concrete.empty()) return std::nullopt;
    if (wanted.asArray()) return plist::Value(std::move(concrete));
    if (concrete.front().v.index() != wanted.v.index()) return std::nullopt;
    return concrete.front();
}

// A profile's value without a claim to go by: concrete entries kept, the
// team's own pattern "TEAM.*" made the bundle's "TEAM.identifier", other
// patterns left out.
std::optional<plist::Value> madeConcrete(const plist::Value& allowed, const std::string& team,
                                         const std::string& identifier) {
    if (const std::string* s = allowed.asString()) {
        if (!isPatternText(*s)) return allowed;
        if (*s == team + ".*") return plist::Value(team + "." + identifier);
        return std::nullopt;
    }
    if (const plist::Array* list = allowed.asArray()) {
        plist::Array out;
        for (const auto& item : *list)
            if (auto concrete = madeConcrete(item, team, identifier);
                concrete && std::find(out.begin(), out.end(), *concrete) == out.end())
                out.push_back(std::move(*concrete));
        if (out.empty() && !list->empty()) return std::nullopt;
        return plist::Value(std::move(out));
    }
    if (holdsPattern(allowed)) return std::nullopt;
    return allowed;
}

bool isIdentityKey(const std::string& key) {
    return key == kApplicationIdentifier || key == kTeamIdentifier || key == kGetTaskAllow;
}

}  // namespace

bool permits(const plist::Value& allowed, const plist::Value& claimed) {
    if (const plist::Array* claimedList = claimed.asArray()) {
        if (!allowed.asArray() && !allowed.asString()) return allowed == claimed;
        return std::all_of(claimedList->begin(), claimedList->end(),
                           [&](const plist::Value& item) { return permits(allowed, item); });
    }
    if (const plist::Array* allowedList = allowed.asArray())
        return std::any_of(allowedList->begin(), allowedList->end(),
                           [&](const plist::Value& entry) { return permits(entry, claimed); });
    if (const std::string* pattern = allowed.asString()) {
        const std::string* text = claimed.asString();
        if (!text) return false;
        if (!pattern->empty() && pattern->back() == '*')
            return text->compare(0, pattern->size() - 1, *pattern, 0, pattern->size() - 1) == 0 &&
                   text->size() >= pattern->size() - 1;
        return *pattern == *text;
    }
    if (const bool* granted = allowed.asBool()) {
        const bool* wanted = claimed.asBool();
        return wanted && (*granted || !*wanted);
    }
    return allowed == claimed;
}

bool holdsPattern(const plist::Value& value) {
    if (const std::string* s = value.asString()) return isPatternText(*s);
    if (const plist::Array* list = value.asArray())
        return std::any_of(list->begin(), list->end(), [](const plist::Value& item) { return holdsPattern(item); });
    if (const plist::Dict* dict = value.asDict())
        return std::any_of(dict->begin(), dict->end(), [](const auto& entry) { return holdsPattern(entry.second); });
    return false;
}

SignedEntitlements signedEntitlements(const EntitlementsInput& input) {
    SignedEntitlements out;
    plist::Dict& signedKeys = out.entitlements;
    auto note = [&](std::string text, bool lost) { out.notes.push_back({std::move(text), lost}); };
    const std::string ownGroup = input.team + "." + input.identifier;

    signedKeys[kApplicationIdentifier] = ownGroup;
    signedKeys[kTeamIdentifier] = input.team;
    if (auto it = input.profile.find(kGetTaskAllow); it != input.profile.end() && it->second.asBool())
        signedKeys[kGetTaskAllow] = it->second;

    const bool claimedSome = input.claimed && std::any_of(input.claimed->begin(), input.claimed->end(),
                                                          [](const auto& e) { return !isIdentityKey(e.first); });
    if (!claimedSome) {
        // Nothing to go by: what the profile grants, made concrete.
        for (const auto& [key, allowed] : input.profile) {
            if (isIdentityKey(key)) continue;
            std::optional<plist::Value> value;
            if (key == kKeychainGroups) {
                plist::Value own = plist::Array{plist::Value(ownGroup)};
                if (permits(allowed, own)) value = own;
            } else {
                value = madeConcrete(allowed, input.team, input.identifier);
            }
            if (value) signedKeys[key] = std::move(*value);
            else
                note(capabilityName(key) + " (" + key + ") left out: the profile \"" + input.profileName +
                         "\" names no value of its own for it, and the app claimed none.",
                     false);
        }
        return out;
    }

    const std::string oldTeam = oldTeamOf(*input.claimed);
    for (const auto& [key, claimedValue] : *input.claimed) {
        if (isIdentityKey(key)) continue;
        auto granted = input.profile.find(key);
        if (granted == input.profile.end()) {
            note(lostLine(key, input.profileName), true);
            continue;
        }
        const plist::Value wanted = moveTeam(claimedValue, oldTeam, input.team);
        plist::Array dropped;
        if (auto kept = fitting(granted->second, wanted, dropped)) {
            signedKeys[key] = std::move(*kept);
            if (!dropped.empty()) note(lostLine(key, input.profileName, shown(plist::Value(dropped))), true);
            continue;
        }
        if (auto replacement = profileConcrete(granted->second, wanted)) {
            note(capabilityName(key) + " (" + key + "): " + shown(wanted) + " replaced by " + shown(*replacement) +
                     ", the values the profile \"" + input.profileName + "\" names.",
                 false);
            signedKeys[key] = std::move(*replacement);
            continue;
        }
        note(lostLine(key, input.profileName, shown(wanted)), true);
    }
    // An app that claimed no keychain group still has its own.
    if (!signedKeys.count(kKeychainGroups))
        if (auto granted = input.profile.find(kKeychainGroups); granted != input.profile.end())
            if (plist::Value own = plist::Array{plist::Value(ownGroup)}; permits(granted->second, own))
                signedKeys[kKeychainGroups] = std::move(own);
    return out;
}

SignedEntitlements helperEntitlements(const std::optional<plist::Dict>& claimed, const plist::Dict& carrier,
                                      const std::string& carrierName) {
    SignedEntitlements out;
    if (!claimed) return out;
    std::string team;
    if (auto it = carrier.find(kTeamIdentifier); it != carrier.end() && it->second.asString()) team = *it->second.asString();
    const std::string oldTeam = oldTeamOf(*claimed);
    for (const auto& [key, claimedValue] : *claimed) {
        auto granted = carrier.find(key);
        if (granted == carrier.end()) {
            out.notes.push_back({capabilityName(key) + " (" + key + ") is" + kNotInCarrier + carrierName +
                                     "\", which carries this code: it goes without it.",
                                 true});
            continue;
        }
        if (isIdentityKey(key)) {
            out.entitlements[key] = granted->second;
            continue;
        }
        plist::Array dropped;
        const plist::Value wanted = moveTeam(claimedValue, oldTeam, team);
        auto kept = fitting(granted->second, wanted, dropped);
        if (!kept)
            if (auto replacement = profileConcrete(granted->second, wanted)) {
                out.notes.push_back({capabilityName(key) + " (" + key + "): " + shown(wanted) + " replaced by " +
                                         shown(*replacement) + ", as in \"" + carrierName + "\", which carries this code.",
                                     false});
                out.entitlements[key] = std::move(*replacement);
                continue;
            }
        if (kept) out.entitlements[key] = std::move(*kept);
        if (!kept && dropped.empty()) dropped.push_back(wanted);
        if (!dropped.empty())
            out.notes.push_back({capabilityName(key) + " (" + key + ") for " + shown(plist::Value(dropped)) + " is" +
                                     kNotInCarrier + carrierName + "\", which carries this code: it goes without it.",
                                 true});
    }
    return out;
}

std::optional<std::string> chosenEntitlementsFault(const plist::Dict& chosen, const EntitlementsInput& input,
                                                   const std::string& fileName) {
    const std::string file = "The entitlements file " + quoted(fileName);
    const std::string profile = "the profile " + quoted(input.profileName);
    for (const auto& [key, value] : chosen) {
        if (holdsPattern(value))
            return file + " gives " + key + " a pattern (" + shown(value) +
                   "): a signature names concrete values; write the ones the app uses.";
        std::optional<std::string> own;
        if (key == kApplicationIdentifier) own = input.team + "." + input.identifier;
        if (key == kTeamIdentifier) own = input.team;
        if (own) {
            if (value == plist::Value(*own)) continue;
            return file + " gives " + key + " the value " + shown(value) + ", but the application is signed as " +
                   quoted(*own) + ": write that value, or leave the key out.";
        }
        auto granted = input.profile.find(key);
        if (granted == input.profile.end())
            return file + " claims " + key + ", which " + profile +
                   " does not grant: leave it out of the file, or choose a profile that grants it.";
        if (!permits(granted->second, value))
            return file + " gives " + key + " the value " + shown(value) + ", which " + profile +
                   " does not permit: use a value the profile allows.";
    }
    return std::nullopt;
}

std::string entitlementKeysLine(const std::string& bundleName, const plist::Dict& entitlements) {
    std::string keys;
    for (const auto& entry : entitlements) keys += (keys.empty() ? "" : ", ") + entry.first;
    return bundleName + " is signed with the entitlements " + (keys.empty() ? "(none)" : keys) + ".";
}

bool isLostCapabilityLine(const std::string& line) {
    return line.find(kNotInProfile) != std::string::npos || line.find(kNotInCarrier) != std::string::npos;
}

std::optional<plist::Dict> claimedEntitlementsFromFile(const std::string& bytes) {
    std::string_view text = bytes;
    // The blob header some displays keep: magic 0xfade7171 and a length.
    if (text.size() >= 8 && static_cast<unsigned char>(text[0]) == 0xfa && static_cast<unsigned char>(text[1]) == 0xde &&
        static_cast<unsigned char>(text[2]) == 0x71 && static_cast<unsigned char>(text[3]) == 0x71)
        text.remove_prefix(8);
    auto parsed = plist::parse(text);
    if (!parsed || !parsed->asDict()) return std::nullopt;
    return *parsed->asDict();
}

std::string profileTeam(const plist::Value& profileDictionary) {
    const plist::Value* entitlements = profileDictionary.get("Entitlements");
    if (const plist::Value* team = entitlements ? entitlements->get(kTeamIdentifier) : nullptr;
        team && team->asString() && !team->asString()->empty())
        return *team->asString();
    if (const plist::Value* teams = profileDictionary.get("TeamIdentifier"); teams && teams->asArray())
        if (!teams->asArray()->empty())
            if (const std::string* first = teams->asArray()->front().asString()) return *first;
    const plist::Value* id = entitlements ? entitlements->get(kApplicationIdentifier) : nullptr;
    if (!id || !id->asString()) return "";
    return id->asString()->substr(0, id->asString()->find('.'));
}

}  // namespace engine
