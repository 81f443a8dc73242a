// The window's Options section: what it asks of a re-sign, its file pickers,
// and the nested bundles of the open package it offers for removal.
#include <algorithm>

#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "ui/ViewController.h"

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<std::string> unlessEmpty(const std::string& text) {
    std::string value = trimmed(text);
    if (value.empty()) return std::nullopt;
    return value;
}

}  // namespace

engine::ResignOptions ViewController::resignOptions() const {
    engine::ResignOptions options;
    if (!_optionsSection) return options;
    const ui::OptionsValues v = _optionsSection->values();
    options.shortVersion = unlessEmpty(v.shortVersion);
    options.bundleVersion = unlessEmpty(v.bundleVersion);
    // A minimum system is passed as typed, so that the checks name what is
    // not a version.
    if (!v.minimumOSVersion.empty()) options.minimumOSVersion = trimmed(v.minimumOSVersion);
    options.deviceFamily = engine::deviceFamilyNamed(v.deviceFamily);
    options.removeSupportedDevices = v.removeSupportedDevices;
    options.fileSharing = v.fileSharing;
    options.removeExtensions = v.removeExtensions;
    options.removeWatchApp = v.removeWatchApp;
    options.removeBundles = v.removeBundles;
    options.iconPath = unlessEmpty(v.iconPath);
    options.injectLibraries = v.injectLibraries;
    options.injectWeak = v.injectWeak;
    options.injectIntoExtensions = v.injectIntoExtensions;
    size_t start = 0;
    while (start <= v.removeLibraries.size()) {
        size_t comma = v.removeLibraries.find(',', start);
        if (comma == std::string::npos) comma = v.removeLibraries.size();
        if (auto name = unlessEmpty(v.removeLibraries.substr(start, comma - start)))
            options.removeLibraries.push_back(*name);
        start = comma + 1;
    }
    return options;
}

std::optional<std::string> ViewController::chosenEntitlements() const {
    if (!_optionsSection) return std::nullopt;
    return unlessEmpty(_optionsSection->values().entitlementsPath);
}

void ViewController::chooseOptionsFile(std::string ui::OptionsValues::*field, const std::vector<std::string>& types,
                                       const std::string& title, const std::string& typesName) {
    if (!_optionsSection) return;
    ui::OptionsValues v = _optionsSection->values();
    auto chosen = chooseOne(true, types, title, typesName, v.*field);
    if (!chosen) return;
    v.*field = *chosen;
    _optionsSection->setValues(v);
    updateVerdict();
}

void ViewController::chooseEntitlementsClick() {
    chooseOptionsFile(&ui::OptionsValues::entitlementsPath, {"plist", "entitlements", "xml"},
                      "Choose the Entitlements to Sign With", "Property lists");
}

void ViewController::chooseIconClick() {
    chooseOptionsFile(&ui::OptionsValues::iconPath, {"png"}, "Choose the New Icon", "PNG images");
}

void ViewController::addLibraryClick() {
    if (!_optionsSection) return;
    ui::OptionsValues v = _optionsSection->values();
    auto chosen = chooseOne(true, {"dylib"}, "Choose a Library to Inject", "Dynamic libraries",
                            v.injectLibraries.empty() ? std::string() : v.injectLibraries.back());
    if (!chosen) return;
    if (std::find(v.injectLibraries.begin(), v.injectLibraries.end(), *chosen) == v.injectLibraries.end())
        v.injectLibraries.push_back(*chosen);
    _optionsSection->setValues(v);
    updateVerdict();
}

void ViewController::showPackageOptions() {
    if (!_optionsSection) return;
    std::vector<std::string> bundles;
    if (_package && !_package->appPath().empty() && platform::fs::isDirectory(_package->appPath()))
        bundles = engine::nestedBundles(_package->appPath());
    _optionsSection->setNestedBundles(bundles);
}
