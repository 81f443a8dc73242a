#include "engine/QFNestedBundles.h"

#include <algorithm>

#include "engine/QFEntitlements.h"
#include "engine/QFSigningList.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "profile/QFProvisioningProfile.h"

namespace fs = platform::fs;
namespace path = platform::path;
namespace plist = platform::plist;

namespace engine {

namespace {

// Rewrites one string value in place through the identifier rule.
bool follow(plist::Value* value, const ProvisioningPlan& plan) {
    const std::string* text = value ? value->asString() : nullptr;
    if (!text) return false;
    std::string moved = nestedIdentifier(*text, plan.oldIdentifier, plan.newIdentifier.value_or(plan.oldIdentifier));
    if (moved == *text) return false;
    *value = moved;
    return true;
}

plist::Value* child(plist::Value* dict, const char* key) {
    plist::Dict* keys = dict ? dict->asDict() : nullptr;
    if (!keys) return nullptr;
    auto it = keys->find(key);
    return it == keys->end() ? nullptr : &it->second;
}

bool rewriteInfo(const NestedBundle& bundle, const ProvisioningPlan& plan) {
    const std::string file = path::appendingPathComponent(bundle.path, "Info.plist");
    auto bytes = fs::readFile(file);
    auto info = bytes ? plist::parse(*bytes) : std::nullopt;
    if (!info || !info->asDict()) return false;
    bool changed = false;
    if (plist::Value* identifier = child(&*info, "CFBundleIdentifier");
        identifier && (!identifier->asString() || *identifier->asString() != bundle.newIdentifier)) {
        *identifier = bundle.newIdentifier;
        changed = true;
    }
    changed |= follow(child(&*info, "WKCompanionAppBundleIdentifier"), plan);
    changed |= follow(child(child(child(&*info, "NSExtension"), "NSExtensionAttributes"), "WKAppBundleIdentifier"), plan);
    return !changed || fs::writeFileAtomically(file, plist::toXml(*info));
}

bool replaceProfile(const NestedBundle& bundle) {
    for (const auto& entry : fs::contentsOfDirectory(bundle.path)) {
        const std::string extension = path::pathExtension(entry);
        if (extension == "mobileprovision" || extension == "provisionprofile")
            fs::removeItem(path::appendingPathComponent(bundle.path, entry));
    }
    const auto& source = bundle.profile ? bundle.profile->path() : std::nullopt;
    return source && fs::copyItem(*source, path::appendingPathComponent(bundle.path, "embedded.mobileprovision"));
}

// The bundle's entitlements from its profile and its old claims; nothing
// when the profile carries no entitlements dictionary.
std::optional<SignedEntitlements> entitlementsOf(const NestedBundle& bundle,
                                                 const std::map<std::string, std::string>& claimed) {
    const auto& dictionary = bundle.profile->profileDictionary();
    const plist::Value* granted = dictionary ? dictionary->get("Entitlements") : nullptr;
    if (!granted || !granted->asDict()) return std::nullopt;
    EntitlementsInput input;
    input.profile = *granted->asDict();
    input.profileName = bundle.profile->name().value_or("");
    input.team = profileTeam(*dictionary);
    input.identifier = bundle.newIdentifier;
    if (auto claim = claimed.find(bundle.path); claim != claimed.end() && !claim->second.empty())
        input.claimed = claimedEntitlementsFromFile(claim->second);
    return signedEntitlements(input);
}

}  // namespace

std::string nestedEntitlementsFolder(const std::string& workPath) {
    return path::appendingPathComponent(workPath, "NestedEntitlements");
}

NestedOutcome provisionNestedBundles(const ProvisioningPlan& plan, const std::string& workPath,
                                     const std::map<std::string, std::string>& claimed,
                                     const std::function<void(const std::string&)>& log) {
    NestedOutcome outcome;
    const std::string folder = nestedEntitlementsFolder(workPath);
    fs::removeItem(folder);
    if (!plan.nested.empty()) fs::createDirectory(folder);
    int index = 0;
    for (const auto& bundle : plan.nested) {
        const std::string shown = "\"" + bundle.relativePath + "\"";
        if (!rewriteInfo(bundle, plan)) {
            outcome.error = "The Info.plist of the nested bundle " + shown + " could not be rewritten. Please try again.";
            return outcome;
        }
        if (!replaceProfile(bundle)) {
            outcome.error = "The profile of the nested bundle " + shown + " could not be replaced. Please try again.";
            return outcome;
        }
        auto entitlements = bundle.profile ? entitlementsOf(bundle, claimed) : std::nullopt;
        const std::string file = path::appendingPathComponent(
            folder, std::to_string(++index) + "-" + path::lastPathComponent(bundle.path) + ".plist");
        if (!entitlements || !fs::writeFileAtomically(file, plist::toXml(plist::Value(entitlements->entitlements)))) {
            outcome.error = "The entitlements of the nested bundle " + shown + " could not be written. Please try again.";
            return outcome;
        }
        outcome.entitlements[bundle.path] = file;
        if (!log) continue;
        log("Nested bundle " + bundle.relativePath + " (" + bundle.newIdentifier + ") gets the profile \"" +
            bundle.profile->name().value_or("") + "\" (" + bundle.profile->UUID().value_or("no UUID") + "), " +
            bundle.source);
        log(entitlementKeysLine(path::lastPathComponent(bundle.path), entitlements->entitlements));
        for (const auto& note : entitlements->notes) log(note.text);
    }
    return outcome;
}

std::vector<HelperCode> helperCode(const std::string& appPath, const ProvisioningPlan* plan) {
    std::vector<std::string> carriers{appPath};
    if (plan)
        for (const auto& bundle : plan->nested) carriers.push_back(bundle.path);
    std::vector<HelperCode> helpers;
    for (const auto& item : signingList(appPath)) {
        if (std::find(carriers.begin(), carriers.end(), item) != carriers.end() || !isMainExecutable(item)) continue;
        std::string carrier = appPath;
        for (const auto& candidate : carriers)
            if (isBelow(item, candidate) && candidate.size() > carrier.size()) carrier = candidate;
        helpers.push_back({item, carrier});
    }
    return helpers;
}

NestedOutcome provisionHelperCode(const std::vector<HelperCode>& helpers, const std::string& workPath,
                                  const std::map<std::string, std::string>& claimed,
                                  const std::map<std::string, std::string>& carrierFiles,
                                  const std::function<void(const std::string&)>& log) {
    NestedOutcome outcome;
    if (helpers.empty()) return outcome;
    const std::string folder = nestedEntitlementsFolder(workPath);
    fs::createDirectory(folder);
    int index = 0;
    for (const auto& helper : helpers) {
        const std::string name = path::lastPathComponent(helper.path);
        std::optional<plist::Dict> carrier;
        if (auto file = carrierFiles.find(helper.carrier); file != carrierFiles.end())
            if (auto bytes = fs::readFile(file->second)) carrier = claimedEntitlementsFromFile(*bytes);
        std::optional<plist::Dict> claims;
        if (auto claim = claimed.find(helper.path); claim != claimed.end() && !claim->second.empty())
            claims = claimedEntitlementsFromFile(claim->second);
        const std::string file =
            path::appendingPathComponent(folder, "helper-" + std::to_string(++index) + "-" + name + ".plist");
        auto made = helperEntitlements(claims, carrier.value_or(plist::Dict{}), path::lastPathComponent(helper.carrier));
        if (!fs::writeFileAtomically(file, plist::toXml(plist::Value(made.entitlements)))) {
            outcome.error = "The entitlements of \"" + name + "\" could not be written. Please try again.";
            return outcome;
        }
        outcome.entitlements[helper.path] = file;
        if (!log) continue;
        log(entitlementKeysLine(name, made.entitlements));
        for (const auto& note : made.notes) log(note.text);
    }
    return outcome;
}

}  // namespace engine
