// The identity and profile pickers take their items from the controller. The
// lists are read again when asked; each profile is marked for the chosen
// identity, and usable profiles come first.
#include <algorithm>
#include <ctime>

#include "engine/QFAppPackageHandler.h"
#include "platform/paths.h"
#include "platform/queues.h"
#include "platform/text.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFToolLaunch.h"
#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"
#include "ui/ViewController.h"

namespace {

std::string dayText(std::chrono::system_clock::time_point when) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    char text[16];
    if (!gmtime_r(&t, &parts) || !std::strftime(text, sizeof text, "%Y-%m-%d", &parts)) return "unknown";
    return text;
}

}  // namespace

void ViewController::getCertificates() { loadCertificates(true, std::nullopt); }

void ViewController::loadCertificates(bool startUp, std::optional<std::vector<std::string>> before) {
    auto self = shared_from_this();
    QFFileHelper::sharedInstance().getCertificatesSuccess(
        [self, before](std::vector<std::string> identities) { self->takeCertificates(std::move(identities), before); },
        [self, startUp](std::string message) {
            if (startUp) {
                self->addLog(message, LogColor::red);
                self->addLog("Import your signing identity (a .p12 file) with Signing > Import Identity..., or drop "
                             "it onto the window.",
                             LogColor::black);
            }
            // Read again after a removal: the keychain holds none any more.
            // At start-up the list stays as it is.
            if (!startUp) self->takeCertificates({}, std::nullopt);
            if (self->_importIdentityButton) self->_importIdentityButton->setHidden(!self->_certificatesArray.empty());
        });
}

std::string ViewController::selectedIdentity() const {
    int index = _certificateComboBox ? _certificateComboBox->indexOfSelectedItem() : -1;
    if (index < 0 || static_cast<size_t>(index) >= _certificatesArray.size()) return "";
    return _certificatesArray[static_cast<size_t>(index)];
}

void ViewController::takeCertificates(std::vector<std::string> identities,
                                      const std::optional<std::vector<std::string>>& before) {
    const std::string chosen = selectedIdentity();
    setCertificatesArray(std::move(identities));
    int select = -1;
    if (before)
        for (size_t i = 0; i < _certificatesArray.size() && select < 0; ++i)
            if (std::find(before->begin(), before->end(), _certificatesArray[i]) == before->end())
                select = static_cast<int>(i);
    for (size_t i = 0; i < _certificatesArray.size() && select < 0 && !chosen.empty(); ++i)
        if (_certificatesArray[i] == chosen) select = static_cast<int>(i);
    // One valid identity is the one to sign with.
    if (select < 0 && _certificatesArray.size() == 1) select = 0;
    if (_certificateComboBox) {
        _certificateComboBox->reloadData();
        _certificateComboBox->selectItemAtIndex(select);
    }
    if (_importIdentityButton) _importIdentityButton->setHidden(!_certificatesArray.empty());
    certificateSelectionChanged();
}

void ViewController::getProvisioningProfiles() {
    // Read again while the window lives: the profile chosen stays chosen
    // while its file is still installed.
    auto chosen = selectedProfile();
    std::optional<std::string> chosenPath = chosen ? chosen->path() : std::nullopt;
    setProvisioningArray(QFFileHelper::sharedInstance().getProvisioningProfiles());
    int select = -1;
    for (size_t i = 0; i < _provisioningArray.size() && chosenPath && select < 0; ++i)
        if (_provisioningArray[i] && _provisioningArray[i]->path() == chosenPath) select = static_cast<int>(i);
    if (_provisioningComboBox) {
        _provisioningComboBox->reloadData();
        if (_provisioningComboBox->indexOfSelectedItem() != select) _provisioningComboBox->selectItemAtIndex(select);
    }
    if (select < 0) profilePreselected = false;
    remarkProfiles();
}

void ViewController::refreshLists() {
    getProvisioningProfiles();
    // The identity's certificate may have changed with the keychain.
    certificateStale = true;
    loadCertificates(false, std::nullopt);
}

std::shared_ptr<QFProvisioningProfile> ViewController::selectedProfile() const {
    int index = _provisioningComboBox ? _provisioningComboBox->indexOfSelectedItem() : -1;
    if (index < 0 || static_cast<size_t>(index) >= _provisioningArray.size()) return nullptr;
    return _provisioningArray[static_cast<size_t>(index)];
}

void ViewController::certificateSelectionChanged() {
    const std::string name = selectedIdentity();
    if (name == certificateFor && !certificateStale) {
        updateVerdict();
        return;
    }
    certificateFor = name;
    certificateStale = false;
    certificatePem.clear();
    uint64_t generation = ++certificateGeneration;
    certificateKnown = name.empty();
    remarkProfiles();
    if (name.empty()) {
        updateVerdict();
        return;
    }
    // The certificate, as the checks before a re-sign read it.
    // NOTE: keep in step with QFAppPackageHandler::checkProvisioning.
    auto self = shared_from_this();
    auto take = [self, generation](int status, std::string pem) {
        if (generation != self->certificateGeneration) return;
        self->certificatePem = status == 0 ? std::move(pem) : std::string();
        self->certificateKnown = true;
        self->remarkProfiles();
        self->updateVerdict();
    };
    QFToolLaunchRequest request{QFToolPaths::current().security, QFToolCommands::identityCertificate(name), "", true, {}};
    bool launched = QFLaunchTool(request, [take](QFToolLaunchResult result) {
        take(result.status, platform::text::decodeUtf8Lossy(result.output));
    });
    if (!launched) platform::MainQueue::async([take] { take(-1, ""); });
}

void ViewController::profileSelectionChanged(bool byUser) {
    if (byUser) profilePreselected = false;
    updateVerdict();
}

std::string ViewController::profileMark(engine::ProfileUse use) {
    using engine::ProfileUse;
    switch (use) {
        case ProfileUse::usable: return "";
        case ProfileUse::unreadable: return "not a readable profile";
        case ProfileUse::certificateNotListed: return "does not list this identity's certificate";
        case ProfileUse::otherTeam: return "another team";
        case ProfileUse::expired: return "expired";
        case ProfileUse::notYetValid: return "not valid yet";
        case ProfileUse::noApplicationIdentifier: return "no application identifier";
    }
    return "";
}

void ViewController::remarkProfiles() {
    const auto now = std::chrono::system_clock::now();
    const bool withIdentity = !certificateFor.empty() && certificateKnown;
    auto chosen = selectedProfile();
    // Until an identity's certificate is known, only what the profile says of
    // itself counts.
    std::vector<std::pair<std::shared_ptr<QFProvisioningProfile>, engine::ProfileUse>> marked;
    for (const auto& profile : _provisioningArray) {
        engine::ProfileUse use = engine::ProfileUse::unreadable;
        if (profile && withIdentity) {
            use = engine::profileUse(*profile, certificatePem, now);
        } else if (profile && profile->profileDictionary()) {
            use = !profile->expirationDate() || *profile->expirationDate() < now ? engine::ProfileUse::expired
                  : profile->creationDate() && *profile->creationDate() > now   ? engine::ProfileUse::notYetValid
                                                                                : engine::ProfileUse::usable;
        }
        marked.emplace_back(profile, use);
    }
    // Usable first; each group in the listing's order, by name (a marking
    // before may have moved some).
    // NOTE: keep in step with QFFileHelper::getProvisioningProfiles.
    std::stable_sort(marked.begin(), marked.end(), [](const auto& a, const auto& b) {
        return (a.first ? a.first->name().value_or("") : "") < (b.first ? b.first->name().value_or("") : "");
    });
    std::stable_partition(marked.begin(), marked.end(),
                          [](const auto& m) { return m.second == engine::ProfileUse::usable; });
    std::vector<std::shared_ptr<QFProvisioningProfile>> profiles;
    std::vector<engine::ProfileUse> uses;
    int select = -1;
    for (auto& [profile, use] : marked) {
        if (profile && profile == chosen) select = static_cast<int>(profiles.size());
        profiles.push_back(profile);
        uses.push_back(use);
    }
    // The picker is filled again only when what it shows changed.
    const bool changed = profiles != _provisioningArray || uses != profileUses;
    _provisioningArray = std::move(profiles);
    profileUses = std::move(uses);
    if (_provisioningComboBox && changed) {
        _provisioningComboBox->reloadData();
        if (_provisioningComboBox->indexOfSelectedItem() != select) _provisioningComboBox->selectItemAtIndex(select);
    }
    // A suggestion of ours that turned out unusable gives way to a usable one.
    if (profilePreselected && select >= 0 && profileUses[static_cast<size_t>(select)] != engine::ProfileUse::usable) {
        if (_provisioningComboBox) _provisioningComboBox->selectItemAtIndex(-1);
        profilePreselected = false;
        preselectProfile();
    }
}

void ViewController::preselectProfile() {
    if (!_package || !_provisioningComboBox || _provisioningComboBox->indexOfSelectedItem() != -1) return;
    // A list that was never marked counts as usable throughout.
    auto usable = [this](size_t i) { return i >= profileUses.size() || profileUses[i] == engine::ProfileUse::usable; };
    // The profile whose bundle identifier is the embedded profile's...
    auto embedded = _package->embeddedMobileprovision();
    if (!embedded || !embedded->bundleIdentifier()) return;
    constexpr size_t none = static_cast<size_t>(-1);
    size_t match = none;
    for (size_t i = 0; i < _provisioningArray.size() && match == none; ++i)
        if (_provisioningArray[i] && _provisioningArray[i]->bundleIdentifier() == embedded->bundleIdentifier())
            match = i;
    if (match == none) return;
    // ...unless it cannot be used: then one that can and whose
    // application-identifier fits the package's identifier, an exact fit
    // before a wildcard, else none.
    if (!usable(match)) {
        match = none;
        const std::string identifier = _package->bundleID().value_or("");
        for (auto wanted : {engine::IdentifierFit::Exact, engine::IdentifierFit::Wildcard}) {
            for (size_t i = 0; i < _provisioningArray.size() && match == none; ++i) {
                if (!usable(i) || !_provisioningArray[i]) continue;
                auto applicationIdentifier = engine::profileApplicationIdentifier(*_provisioningArray[i]);
                if (applicationIdentifier &&
                    engine::fitsApplicationIdentifier(*applicationIdentifier, identifier) == wanted)
                    match = i;
            }
        }
    }
    if (match == none) return;
    _provisioningComboBox->selectItemAtIndex(static_cast<int>(match));
    profilePreselected = true;
}

long ViewController::numberOfItemsInComboBox(const ui::ComboBox* comboBox) const {
    if (!comboBox) return 0;
    if (comboBox == _provisioningComboBox) return static_cast<long>(_provisioningArray.size());
    if (comboBox == _certificateComboBox) return static_cast<long>(_certificatesArray.size());
    if (comboBox == _deviceComboBox) return numberOfDeviceItems();
    return 0;
}

std::optional<std::string> ViewController::comboBox(const ui::ComboBox* comboBox, long index) const {
    if (!comboBox || index < 0) return std::nullopt;
    auto i = static_cast<size_t>(index);
    if (comboBox == _provisioningComboBox) {
        if (i >= _provisioningArray.size() || !_provisioningArray[i]) return std::nullopt;
        std::string item = pickerItemForProfile(*_provisioningArray[i]);
        if (i < profileUses.size() && profileUses[i] != engine::ProfileUse::usable)
            item += " \u2014 cannot be used: " + profileMark(profileUses[i]);
        return item;
    }
    if (comboBox == _certificateComboBox) {
        if (i >= _certificatesArray.size()) return std::nullopt;
        return _certificatesArray[i];
    }
    if (comboBox == _deviceComboBox) return deviceItem(index);
    return std::nullopt;
}

std::string ViewController::pickerItemForProfile(const QFProvisioningProfile& profile) {
    // A file that could not be decoded still gets an item the user can
    // recognise: its file name, and a plain word for the missing identifier.
    std::string name = profile.name().value_or(platform::path::lastPathComponent(profile.path().value_or("")));
    std::string identifier = profile.bundleIdentifier().value_or("no bundle identifier");
    return name + " (" + identifier + ")";
}

std::vector<std::pair<std::string, std::string>> ViewController::profileDetails(const QFProvisioningProfile& profile) {
    namespace plist = platform::plist;
    const auto& dictionary = profile.profileDictionary();
    auto flag = [&](const char* key) {
        const plist::Value* value = dictionary ? dictionary->get(key) : nullptr;
        return value && value->asBool() && *value->asBool();
    };
    const plist::Value* entitlements = dictionary ? dictionary->get("Entitlements") : nullptr;
    const plist::Value* taskAllow = entitlements ? entitlements->get("get-task-allow") : nullptr;
    // The kind, from what the profile provisions: every device of the team,
    // a list of devices (debuggable or not), or no device at all.
    std::string type = "App Store";
    if (flag("ProvisionsAllDevices"))
        type = "Enterprise (in-house)";
    else if (profile.devices())
        type = taskAllow && taskAllow->asBool() && *taskAllow->asBool() ? "Development" : "Ad Hoc";
    std::string keys;
    if (entitlements && entitlements->asDict())
        for (const auto& [key, value] : *entitlements->asDict()) keys += (keys.empty() ? "" : "\n") + key;
    std::string devices = profile.devices() ? std::to_string(profile.devices()->size())
                          : flag("ProvisionsAllDevices") ? "all of the team's devices"
                                                          : "none (App Store)";
    std::string team = engine::profileTeam(profile);
    if (profile.teamName() && !profile.teamName()->empty()) team += " (" + *profile.teamName() + ")";
    return {
        {"Name", profile.name().value_or("")},
        {"UUID", profile.UUID().value_or("")},
        {"Team", team},
        {"Type", dictionary ? type : "not a readable profile"},
        {"Expires", profile.expirationDate() ? dayText(*profile.expirationDate()) : "unknown"},
        {"Devices", devices},
        {"Application identifier", engine::profileApplicationIdentifier(profile).value_or("")},
        {"Entitlements", keys},
        {"File", profile.path().value_or("")},
    };
}
