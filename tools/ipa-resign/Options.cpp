#include "Options.h"

namespace ipa_resign {

const char* const kUsage =
    "Usage: ipa-resign [options] --output DIR (--identity NAME | --p12 FILE) --profile FILE\n"
    "                  (--ipa FILE)... [FILE...]\n"
    "\n"
    "Re-signs iOS application packages (.ipa) with your signing identity and\n"
    "provisioning profile, and writes each into DIR. The steps are those of the\n"
    "desktop application's Resign: entitlements from the profile, the bundle\n"
    "identifier and display name in Info.plist, the profile embedded in the\n"
    "application, every framework and library signed and verified, then the\n"
    "application itself, and the result packed again.\n"
    "\n"
    "  --ipa FILE            a package to re-sign; give it more than once, or name\n"
    "                        the packages as plain arguments, to re-sign several in\n"
    "                        turn (a summary follows; one failure does not stop the\n"
    "                        others)\n"
    "  --identity NAME       the signing identity, exactly as\n"
    "                        `security find-identity -v -p codesigning` prints it\n"
    "                        between the double quotes\n"
    "  --p12 FILE            sign with the identity in this PKCS#12 file instead: it\n"
    "                        goes into a keychain of this run's own, removed at the\n"
    "                        end; your keychain is neither read nor changed\n"
    "  --p12-password-env VAR   the PKCS#12 password is in environment variable VAR\n"
    "  --p12-password-file FILE the PKCS#12 password is the first line of FILE\n"
    "                        (without either, the file must have no password)\n"
    "  --profile FILE        the provisioning profile (.mobileprovision) to embed;\n"
    "                        give it again for a nested application or extension:\n"
    "                        each further profile goes to the nested bundle whose\n"
    "                        new identifier it fits (exact before wildcard)\n"
    "  --name NAME           the display name; the new archive is NAME.ipa\n"
    "                        (a \"/\" in NAME becomes \"_\" in the file name only);\n"
    "                        left out, the package keeps its own display name\n"
    "  --bundle-id ID        the bundle identifier to write; left out, the package\n"
    "                        keeps its own\n"
    "  --profile-bundle-id   take the bundle identifier from the profile instead\n"
    "  --output DIR          the folder that receives the archives (created if missing)\n"
    "\n"
    "Changes to the package (each off unless given; each change is one line of the\n"
    "log, made before signing, and listed in the JSON result's \"changes\"):\n"
    "  --short-version X     CFBundleShortVersionString of the application and its\n"
    "                        extensions and nested applications\n"
    "  --bundle-version Y    CFBundleVersion of the same bundles\n"
    "  --min-os V            MinimumOSVersion of the application and its own\n"
    "                        extensions; V is a version such as 14.0\n"
    "  --remove-supported-devices  remove UISupportedDevices\n"
    "  --device-family F     UIDeviceFamily: iphone, ipad or both\n"
    "  --file-sharing        set UIFileSharingEnabled and\n"
    "                        LSSupportsOpeningDocumentsInPlace to true\n"
    "  --remove-extensions   remove every extension in PlugIns and Extensions\n"
    "  --remove-watch-app    remove the watch application (the Watch folder)\n"
    "  --remove NAME         remove one nested bundle, by its name or its path below\n"
    "                        the application; repeatable. Removed bundles are not\n"
    "                        signed and need no profile\n"
    "  --icon PNG            replace every icon file the Info.plist names by this\n"
    "                        image, scaled to each file's size (an icon compiled into\n"
    "                        Assets.car stays)\n"
    "  --inject DYLIB        copy the library into Frameworks and add a load command\n"
    "                        for it to the application's executable, in every slice;\n"
    "                        repeatable. Refused when the executable has no room for\n"
    "                        the command: sections are never moved\n"
    "  --inject-weak         load the injected libraries weakly (LC_LOAD_WEAK_DYLIB)\n"
    "  --inject-into-extensions  the application's extensions load them too\n"
    "  --remove-library NAME remove the load commands of a library, by file name or\n"
    "                        path, from every executable; repeatable\n"
    "\n"
    "  --json                one JSON object a line on standard output: every log\n"
    "                        line (\"type\":\"log\") with its stage and colour, one\n"
    "                        \"type\":\"result\" per package (status, archive, the\n"
    "                        identity and profile of every signed item, seconds per\n"
    "                        stage) and a closing \"type\":\"summary\"; the readable\n"
    "                        lines go to standard error then\n"
    "  --quiet               print failures and the summary only\n"
    "  --keep-work           keep the unpacked work directories afterwards\n"
    "  --print-usage         at the end, print this program's own CPU time and\n"
    "                        peak memory (its tools not included) to standard error\n"
    "  --version             print the version and end\n"
    "  -h, --help            show this text\n"
    "\n"
    "Each option takes its value as the next argument or after \"=\"; \"--\" ends\n"
    "the options. Progress goes to standard output, failures to standard error,\n"
    "each line stamped like the application's log. Exit status: 0 when every new\n"
    "archive was written, 1 when any re-sign failed, 2 for a usage error.\n";

namespace {

struct ValueOption {
    const char* name;
    std::optional<std::string> Options::*single;  // null for the repeatable ones
    std::vector<std::string> Options::*repeated;
};

const ValueOption kValueOptions[] = {
    {"--ipa", nullptr, &Options::packages},
    {"--profile", nullptr, &Options::profiles},
    {"--identity", &Options::identity, nullptr},
    {"--p12", &Options::p12, nullptr},
    {"--p12-password-env", &Options::p12PasswordEnv, nullptr},
    {"--p12-password-file", &Options::p12PasswordFile, nullptr},
    {"--name", &Options::name, nullptr},
    {"--bundle-id", &Options::bundleId, nullptr},
    {"--output", &Options::output, nullptr},
    {"--short-version", &Options::shortVersion, nullptr},
    {"--bundle-version", &Options::bundleVersion, nullptr},
    {"--min-os", &Options::minOS, nullptr},
    {"--device-family", &Options::deviceFamily, nullptr},
    {"--icon", &Options::icon, nullptr},
    {"--remove", nullptr, &Options::removeBundles},
    {"--inject", nullptr, &Options::inject},
    {"--remove-library", nullptr, &Options::removeLibraries},
};

struct Flag {
    const char* name;
    bool Options::*value;
};

const Flag kFlags[] = {
    {"--profile-bundle-id", &Options::profileBundleId},
    {"--keep-work", &Options::keepWork},
    {"--print-usage", &Options::printUsage},
    {"--json", &Options::json},
    {"--quiet", &Options::quiet},
    {"--version", &Options::version},
    {"--remove-supported-devices", &Options::removeSupportedDevices},
    {"--file-sharing", &Options::fileSharing},
    {"--remove-extensions", &Options::removeExtensions},
    {"--remove-watch-app", &Options::removeWatchApp},
    {"--inject-weak", &Options::injectWeak},
    {"--inject-into-extensions", &Options::injectIntoExtensions},
    {"--help", &Options::help},
    {"-h", &Options::help},
};

bool given(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

std::optional<std::string> parse(int argc, char** argv, Options& options) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            options.packages.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        bool isFlag = false;
        for (const auto& flag : kFlags) {
            if (argument == flag.name) {
                options.*flag.value = true;
                isFlag = true;
            }
        }
        if (isFlag) continue;

        std::string name = argument, value;
        bool inlineValue = false;
        if (auto eq = argument.find('='); argument.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = argument.substr(0, eq);
            value = argument.substr(eq + 1);
            inlineValue = true;
        }
        const ValueOption* option = nullptr;
        for (const auto& candidate : kValueOptions)
            if (name == candidate.name) option = &candidate;
        if (!option) return "unknown argument \"" + argument + "\"";
        if (!inlineValue) {
            if (i + 1 >= argc) return name + " needs a value";
            value = argv[++i];
        }
        if (option->repeated) {
            (options.*option->repeated).push_back(value);
        } else {
            if ((options.*option->single).has_value()) return name + " is given twice";
            options.*option->single = value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> checkComplete(const Options& options) {
    if (options.identity && options.p12) return "give either --identity or --p12, not both";
    if (options.bundleId && options.profileBundleId) return "give either --bundle-id or --profile-bundle-id, not both";
    if (options.p12PasswordEnv && options.p12PasswordFile)
        return "give either --p12-password-env or --p12-password-file, not both";
    if ((options.p12PasswordEnv || options.p12PasswordFile) && !options.p12)
        return "a PKCS#12 password option needs --p12 FILE";
    if (options.name && options.packages.size() > 1)
        return "--name gives every package the same name and archive; leave it out to re-sign several packages";

    std::vector<std::string> missing;
    bool emptyPackage = options.packages.empty();
    for (const auto& package : options.packages) emptyPackage = emptyPackage || package.empty();
    if (emptyPackage) missing.push_back("--ipa");
    if (!given(options.identity) && !given(options.p12)) missing.push_back(options.p12 ? "--p12" : "--identity");
    bool emptyProfile = options.profiles.empty();
    for (const auto& profile : options.profiles) emptyProfile = emptyProfile || profile.empty();
    if (emptyProfile) missing.push_back("--profile");
    if (!given(options.output)) missing.push_back("--output");
    for (auto [value, name] : {std::pair{&options.name, "--name"}, {&options.bundleId, "--bundle-id"},
                               {&options.p12PasswordEnv, "--p12-password-env"},
                               {&options.p12PasswordFile, "--p12-password-file"}})
        if (value->has_value() && (*value)->empty()) missing.push_back(name);
    if (missing.empty()) return std::nullopt;
    std::string text = "missing or empty: ";
    for (size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + missing[i];
    return text;
}

std::optional<std::string> packageChanges(const Options& options, engine::ResignOptions& changes) {
    if (options.minOS && !engine::isVersionText(*options.minOS))
        return "--min-os takes a version such as 14.0, not \"" + *options.minOS + "\"";
    if (options.deviceFamily && !engine::deviceFamilyNamed(*options.deviceFamily))
        return "--device-family takes iphone, ipad or both, not \"" + *options.deviceFamily + "\"";
    if ((options.injectWeak || options.injectIntoExtensions) && options.inject.empty())
        return "--inject-weak and --inject-into-extensions need a library to --inject";
    for (auto [value, name] : {std::pair{&options.shortVersion, "--short-version"},
                               {&options.bundleVersion, "--bundle-version"}, {&options.icon, "--icon"}})
        if (value->has_value() && (*value)->empty()) return name + std::string(" needs a value");
    changes.shortVersion = options.shortVersion;
    changes.bundleVersion = options.bundleVersion;
    changes.minimumOSVersion = options.minOS;
    changes.removeSupportedDevices = options.removeSupportedDevices;
    if (options.deviceFamily) changes.deviceFamily = engine::deviceFamilyNamed(*options.deviceFamily);
    changes.fileSharing = options.fileSharing;
    changes.removeExtensions = options.removeExtensions;
    changes.removeWatchApp = options.removeWatchApp;
    changes.removeBundles = options.removeBundles;
    changes.iconPath = options.icon;
    changes.injectLibraries = options.inject;
    changes.injectWeak = options.injectWeak;
    changes.injectIntoExtensions = options.injectIntoExtensions;
    changes.removeLibraries = options.removeLibraries;
    return std::nullopt;
}

}  // namespace ipa_resign
