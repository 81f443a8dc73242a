#pragma once
// The entitlements each application and extension is signed with. A
// profile's "Entitlements" dictionary is an allowlist, holding patterns where
// a capability may take any value; a signature names concrete values. What a
// bundle is signed with comes from what its executable claimed in its old
// signature, moved to the new team and kept where the profile permits it,
// and never holds a "*". Pure: no files, no tools.
#include <optional>
#include <string>
#include <vector>

#include "platform/plist.h"

namespace engine {

// Whether a profile's value permits a claimed value: a string pattern "*"
// permits any string, one ending in "*" any string that starts with the
// rest, any other string itself; a list permits a string that fits one of
// its entries and a list whose every entry does; true permits true and
// false; anything else permits only an equal value.
// NOTE: keep in step with permits() in tests/codesign/independent_verify.py.
bool permits(const platform::plist::Value& allowed, const platform::plist::Value& claimed);

// Whether any string in the value, at any depth, holds a "*".
bool holdsPattern(const platform::plist::Value& value);

struct EntitlementsInput {
    platform::plist::Dict profile;  // the profile's "Entitlements"
    std::string profileName;        // for the log
    std::string team;               // the new team
    std::string identifier;         // the bundle's new identifier
    // What the old signature claimed; nothing when the executable was not
    // signed with entitlements (an unsigned or ad-hoc build).
    std::optional<platform::plist::Dict> claimed;
};

struct EntitlementsNote {
    std::string text;
    bool lostCapability = false;  // shown in orange; facts in black
};

struct SignedEntitlements {
    platform::plist::Dict entitlements;
    std::vector<EntitlementsNote> notes;  // in key order
};

SignedEntitlements signedEntitlements(const EntitlementsInput& input);

// What nested code with no profile of its own (an XPC service, a helper
// tool) is signed with: what its old signature claimed, moved to the new
// team, where the bundle that carries it is signed with it too; the
// carrier's values were made from its profile, so what fits them fits the
// profile; where none of its values fits, the carrier's. The identity keys
// it claimed take the carrier's values. Nothing it did not claim, and an
// empty dictionary when it claimed nothing.
SignedEntitlements helperEntitlements(const std::optional<platform::plist::Dict>& claimed,
                                      const platform::plist::Dict& carrier, const std::string& carrierName);

// A file the user chose, checked against the bundle's profile: the line
// that refuses it (naming the first key that does not fit), or nothing.
std::optional<std::string> chosenEntitlementsFault(const platform::plist::Dict& chosen, const EntitlementsInput& input,
                                                   const std::string& fileName);

// "<bundle> is signed with the entitlements a, b, c."
std::string entitlementKeysLine(const std::string& bundleName, const platform::plist::Dict& entitlements);

// Whether a log line tells of a capability the app loses (the window and the
// command line show it in orange).
bool isLostCapabilityLine(const std::string& line);

// The entitlements a display of the old signature wrote to a file: the XML
// property list, with or without the blob header before it. Nothing when
// the bytes hold no dictionary.
std::optional<platform::plist::Dict> claimedEntitlementsFromFile(const std::string& bytes);

// The team a profile is for, from its whole decoded dictionary: its
// entitlements' team identifier, else the first "TeamIdentifier", else the
// application-identifier's prefix.
std::string profileTeam(const platform::plist::Value& profileDictionary);

}  // namespace engine
