#include "engine/QFRunProgress.h"

#include "engine/QFSigningList.h"

namespace engine {

namespace {

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// NOTE: keep in step with the progress lines the stages log
// (QFAppPackageHandlerProfile.cpp, ...InfoPlist.cpp, ...Codesign.cpp, ...Resign.cpp).
constexpr const char* kEntitlementsStarts = "Generating entitlements..";
constexpr const char* kInfoPlistStarts = "Editing the Info.plist file...";
constexpr const char* kEmbeddingStarts = "Editing the Embedded Provision...";
constexpr const char* kSigningStarts = "Beginning the codesign...";
constexpr const char* kItemSigningStarts = "start codesigning with ";
constexpr const char* kItemSigningEnds = "...";
constexpr const char* kPackingStarts = "Beginning the zip of the IPA file in the path: ";
constexpr const char* kInstallStarts = "Installing the package on ";
constexpr const char* kInstallStatus = "Install: ";

}  // namespace

const char* stageName(RunStage stage) {
    switch (stage) {
        case RunStage::idle: return "idle";
        case RunStage::unpacking: return "unpacking";
        case RunStage::entitlements: return "entitlements";
        case RunStage::infoPlist: return "info-plist";
        case RunStage::embeddedProfile: return "embedded-profile";
        case RunStage::signing: return "signing";
        case RunStage::packing: return "packing";
        case RunStage::installing: return "installing";
    }
    return "idle";
}

std::string installStartLine(const std::string& deviceDescription) {
    return kInstallStarts + deviceDescription + "...";
}

std::string installStatusLine(const std::string& stage, int percent) {
    return kInstallStatus + stage + (percent >= 0 ? " (" + std::to_string(percent) + "%)" : std::string());
}

void RunProgress::reset() { *this = RunProgress(); }

void RunProgress::startUnpacking() {
    reset();
    _stage = RunStage::unpacking;
}

bool RunProgress::noteLogLine(const std::string& line, const std::string& appPath) {
    RunStage next = _stage;
    if (line == kEntitlementsStarts) next = RunStage::entitlements;
    else if (line == kInfoPlistStarts) next = RunStage::infoPlist;
    else if (line == kEmbeddingStarts) next = RunStage::embeddedProfile;
    else if (line == kSigningStarts) next = RunStage::signing;
    else if (startsWith(line, kInstallStarts)) next = RunStage::installing;
    else if (startsWith(line, kPackingStarts)) {
        next = RunStage::packing;
        _archivePath = line.substr(std::char_traits<char>::length(kPackingStarts));
    }

    if (next != _stage) {
        _stage = next;
        _item = 0;
        _itemName.clear();
        _items = next == RunStage::signing && !appPath.empty() ? signingList(appPath).size() : 0;
        return true;
    }
    if (_stage == RunStage::installing && startsWith(line, kInstallStatus)) {
        std::string step = line.substr(std::char_traits<char>::length(kInstallStatus));
        int percent = -1;
        if (auto open = step.rfind(" ("); open != std::string::npos && step.size() > open + 3 && step.back() == ')') {
            const std::string number = step.substr(open + 2, step.size() - open - 4);
            if (!number.empty() && number.size() <= 3 && number.find_first_not_of("0123456789") == std::string::npos) {
                percent = std::stoi(number);
                step.resize(open);
            }
        }
        _installStep = std::move(step);
        _installPercent = percent;
        return true;
    }
    if (_stage == RunStage::signing && startsWith(line, kItemSigningStarts)) {
        std::string name = line.substr(std::char_traits<char>::length(kItemSigningStarts));
        const size_t endLength = std::char_traits<char>::length(kItemSigningEnds);
        if (name.size() >= endLength && name.compare(name.size() - endLength, endLength, kItemSigningEnds) == 0)
            name.resize(name.size() - endLength);
        ++_item;
        if (_item > _items) _items = _item;  // never "3 of 2", whatever the folder holds now
        _itemName = std::move(name);
        return true;
    }
    return false;
}

}  // namespace engine
