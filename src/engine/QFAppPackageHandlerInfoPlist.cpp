// The stage that gives the application its new identity in Info.plist.
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
    if (fs::writeFileAtomically(*file, plist::toXml(*info))) reportSuccess("File Info.plist edited properly");
    else reportError(kNotSaved);
}
