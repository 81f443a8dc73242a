// The stage that gives the application its new identity in Info.plist, and
// what the options change in it and, right after it, in the files.
#include "engine/QFAppPackageHandler.h"
#include "platform/files.h"
#include "platform/plist.h"

namespace fs = platform::fs;
namespace plist = platform::plist;

void QFAppPackageHandler::editInfoPlistWithIdentifier(std::optional<std::string> identifier,
                                                      std::optional<std::string> displayName, LogBlock log,
                                                      ErrorBlock error, SuccessBlock success) {
    logLocalBlock = std::move(log);
    errorLocalBlock = std::move(error);
    successLocalBlock = std::move(success);
    reportLog("Editing the Info.plist file...");

    constexpr const char* kCorrupted =
        "The IPA file you selected is corrupted: the app is unable to find a proper Info.plist file";
    constexpr const char* kNotSaved = "Failed to re-save the Info.plist file properly. Please try again.";

    auto file = infoPlistPath();
    if (!file || !fs::fileExists(*file)) {
        reportError(kCorrupted);
        return;
    }
    // A damaged file, or one whose root is not a dictionary, is no proper
    // Info.plist either; it is left as it is.
    auto bytes = fs::readFile(*file);
    auto info = bytes ? plist::parse(*bytes) : std::nullopt;
    if (!info || !info->asDict()) {
        reportError(kCorrupted);
        return;
    }
    // An absent value (a profile without a bundle identifier) cannot be
    // written; the file keeps its old values.
    if (!identifier || !displayName) {
        reportError(kNotSaved);
        return;
    }
    plist::Dict& keys = *info->asDict();
    keys["CFBundleIdentifier"] = *identifier;
    keys["CFBundleDisplayName"] = *displayName;
    // The options' keys, here and in the nested bundles that follow the
    // application; none at all when every option is off.
    engine::OptionsOutcome edits;
    if (!options.empty()) {
        if (!optionsPlan) {
            engine::OptionsCheck check = engine::checkOptions(options, appPath());
            if (check.refusal) {
                reportError(*check.refusal);
                return;
            }
            optionsPlan = std::make_shared<engine::OptionsPlan>(std::move(check.plan));
        }
        edits = engine::editInfoPlists(options, *optionsPlan, appPath(), keys);
        if (edits.error) {
            reportError(*edits.error);
            return;
        }
    }
    if (!fs::writeFileAtomically(*file, plist::toXml(*info))) {
        reportError(kNotSaved);
        return;
    }
    for (const auto& line : edits.lines) {
        if (line.change) changes.push_back(line.text);
        reportLog(line.text);
    }
    reportSuccess("File Info.plist edited properly");
}

bool QFAppPackageHandler::changePackageFiles() {
    if (options.empty() || !optionsPlan) return true;
    engine::OptionsOutcome outcome = engine::changeFiles(options, *optionsPlan, appPath());
    for (const auto& line : outcome.lines) {
        if (line.change) changes.push_back(line.text);
        if (auto log = logResignBlock) log(line.text);
    }
    if (!outcome.error) return true;
    if (auto error = errorResignBlock) error(*outcome.error);
    return false;
}
