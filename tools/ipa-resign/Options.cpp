#include "Options.h"

#include <CLI/CLI.hpp>
#include <cctype>
#include <filesystem>
#include <map>
#include <variant>

namespace ipa_resign {

namespace {

// A flag that may be followed by a value ("--install [UDID]"). The next
// argument is its value unless it is an option or a package (a name ending in
// ".ipa" or a file that is there), which stays a package.
struct FlagWithValue {
    bool Options::* flag;
    std::optional<std::string> Options::* value;  // given at most once
};

using Target = std::variant<bool Options::*,                        // a flag
                            std::optional<std::string> Options::*,  // a value, given at most once
                            std::vector<std::string> Options::*,    // a value, repeatable
                            FlagWithValue>;

struct Row {
    const char* names;  // as CLI11 takes them: "--name" or "-h,--help"
    Target target;
    const char* usage;  // the option's lines of the usage text
};

// Every option of ipa-resign, in the order the usage text lists them.
const Row kOptions[] = {
    {"--ipa", &Options::packages,
     "  --ipa FILE            a package to re-sign; give it more than once, or name\n"
     "                        the packages as plain arguments, to re-sign several in\n"
     "                        turn (a summary follows; one failure does not stop the\n"
     "                        others)\n"},
    {"--identity", &Options::identity,
     "  --identity NAME       the signing identity, exactly as\n"
     "                        `security find-identity -v -p codesigning` prints it\n"
     "                        between the double quotes\n"},
    {"--p12", &Options::p12,
     "  --p12 FILE            sign with the identity in this PKCS#12 file instead: it\n"
     "                        goes into a keychain of this run's own, removed at the\n"
     "                        end; your keychain is neither read nor changed\n"},
    {"--p12-password-env", &Options::p12PasswordEnv,
     "  --p12-password-env VAR   the PKCS#12 password is in environment variable VAR\n"},
    {"--p12-password-file", &Options::p12PasswordFile,
     "  --p12-password-file FILE the PKCS#12 password is the first line of FILE\n"
     "                        (without either, the file must have no password)\n"},
    {"--profile", &Options::profiles,
     "  --profile FILE        the provisioning profile (.mobileprovision) to embed;\n"
     "                        give it again for a nested application or extension:\n"
     "                        each further profile goes to the nested bundle whose\n"
     "                        new identifier it fits (exact before wildcard)\n"},
    {"--name", &Options::name,
     "  --name NAME           the display name; the new archive is NAME.ipa\n"
     "                        (a \"/\" in NAME becomes \"_\" in the file name only);\n"
     "                        left out, the package keeps its own display name\n"},
    {"--bundle-id", &Options::bundleId,
     "  --bundle-id ID        the bundle identifier to write; left out, the package\n"
     "                        keeps its own\n"},
    {"--profile-bundle-id", &Options::profileBundleId,
     "  --profile-bundle-id   take the bundle identifier from the profile instead\n"},
    {"--entitlements", &Options::entitlements,
     "  --entitlements FILE   sign the application with this property list instead of\n"
     "                        what it claimed before, moved to the profile's team; a\n"
     "                        key or value the profile does not permit is refused\n"
     "                        before anything changes (extensions keep their own)\n"},
    {"--output", &Options::output,
     "  --output DIR          the folder that receives the archives (created if missing)\n"},
    {"--overwrite", &Options::overwrite,
     "  --overwrite           replace an archive of the same name already in DIR;\n"
     "                        without it, such a package is refused before it is\n"
     "                        signed\n"},
    {"--short-version", &Options::shortVersion,
     "\n"
     "Changes to the package (each off unless given; each change is one line of the\n"
     "log, made before signing, and listed in the JSON result's \"changes\"):\n"
     "  --short-version X     CFBundleShortVersionString of the application and its\n"
     "                        extensions and nested applications\n"},
    {"--bundle-version", &Options::bundleVersion,
     "  --bundle-version Y    CFBundleVersion of the same bundles\n"},
    {"--min-os", &Options::minOS,
     "  --min-os V            MinimumOSVersion of the application and its own\n"
     "                        extensions; V is a version such as 14.0\n"},
    {"--remove-supported-devices", &Options::removeSupportedDevices,
     "  --remove-supported-devices  remove UISupportedDevices\n"},
    {"--device-family", &Options::deviceFamily,
     "  --device-family F     UIDeviceFamily: iphone, ipad or both\n"},
    {"--file-sharing", &Options::fileSharing,
     "  --file-sharing        set UIFileSharingEnabled and\n"
     "                        LSSupportsOpeningDocumentsInPlace to true\n"},
    {"--remove-extensions", &Options::removeExtensions,
     "  --remove-extensions   remove every extension in PlugIns and Extensions\n"},
    {"--remove-watch-app", &Options::removeWatchApp,
     "  --remove-watch-app    remove the watch application (the Watch folder)\n"},
    {"--remove", &Options::removeBundles,
     "  --remove NAME         remove one nested bundle, by its name or its path below\n"
     "                        the application; repeatable. Removed bundles are not\n"
     "                        signed and need no profile\n"},
    {"--icon", &Options::icon,
     "  --icon PNG            replace every icon file the Info.plist names by this\n"
     "                        image, scaled to each file's size (an icon compiled into\n"
     "                        Assets.car stays)\n"},
    {"--inject", &Options::inject,
     "  --inject DYLIB        copy the library into Frameworks and add a load command\n"
     "                        for it to the application's executable, in every slice;\n"
     "                        repeatable. Refused when the executable has no room for\n"
     "                        the command: sections are never moved\n"},
    {"--inject-weak", &Options::injectWeak,
     "  --inject-weak         load the injected libraries weakly (LC_LOAD_WEAK_DYLIB)\n"},
    {"--inject-into-extensions", &Options::injectIntoExtensions,
     "  --inject-into-extensions  the application's extensions load them too\n"},
    {"--remove-library", &Options::removeLibraries,
     "  --remove-library NAME remove the load commands of a library, by file name or\n"
     "                        path, from every executable; repeatable\n"
     "\n"},
    {"--json", &Options::json,
     "  --json                one JSON object a line on standard output: every log\n"
     "                        line (\"type\":\"log\") with its stage and colour, one\n"
     "                        \"type\":\"result\" per package (status, archive, the\n"
     "                        identity and profile of every signed item, seconds per\n"
     "                        stage) and a closing \"type\":\"summary\"; the readable\n"
     "                        lines go to standard error then\n"},
    {"--quiet", &Options::quiet,
     "  --quiet               print failures, each naming its package, and the\n"
     "                        summary only\n"},
    {"--keep-work", &Options::keepWork,
     "  --keep-work           keep the unpacked work directories afterwards\n"},
    {"--print-usage", &Options::printUsage,
     "  --print-usage         at the end, print this program's own CPU time and\n"
     "                        peak memory (its tools not included) to standard error\n"},
    {"--install", FlagWithValue{&Options::install, &Options::installUdid},
     "  --install [UDID]      install each new archive on the device with this UDID\n"
     "                        (also --install=UDID), or on the only device connected;\n"
     "                        the device is checked before any work (its UDID in the\n"
     "                        profiles, its iOS version, its processor)\n"},
    {"--list-devices", &Options::listDevices,
     "  --list-devices        list the connected devices (with --json, as one JSON\n"
     "                        object) and end\n"},
    {"--version", &Options::version,
     "  --version             print the version and end\n"},
    {"-h,--help", &Options::help,
     "  -h, --help            show this text\n"},
};

const char* const kUsageHead =
    "Usage: ipa-resign [options] --output DIR (--identity NAME | --p12 FILE) --profile FILE\n"
    "                  (--ipa FILE)... [FILE...]\n"
    "\n"
    "Re-signs iOS application packages (.ipa) with your signing identity and\n"
    "provisioning profile, and writes each into DIR. The steps are those of the\n"
    "desktop application's Resign: entitlements from the profile, the bundle\n"
    "identifier and display name in Info.plist, the profile embedded in the\n"
    "application, every framework and library signed and verified, then the\n"
    "application itself, and the result packed again.\n"
    "\n";

const char* const kUsageTail =
    "\n"
    "Each option takes its value as the next argument or after \"=\"; \"--\" ends\n"
    "the options. Progress goes to standard output, failures to standard error,\n"
    "each line stamped like the application's log. Exit status: 0 when every new\n"
    "archive was written (and installed, with --install), 1 when any re-sign or\n"
    "installation failed, 2 for a usage error.\n";

bool isFlag(const Row& row) { return std::holds_alternative<bool Options::*>(row.target); }
bool mayTakeValue(const Row& row) { return std::holds_alternative<FlagWithValue>(row.target); }
// A value that must follow the option's name.
bool needsValue(const Row& row) { return !isFlag(row) && !mayTakeValue(row); }

// What a FlagWithValue row read after its name: a package, not its value.
bool looksLikePackage(const std::string& argument) {
    std::string lower = argument;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::error_code ec;
    return lower.ends_with(".ipa") || std::filesystem::exists(argument, ec);
}

// The row whose long name is `name` ("--ipa"), if any.
const Row* rowNamed(const std::string& name) {
    for (const auto& row : kOptions) {
        const std::string names = row.names;
        const auto comma = names.find(',');
        if ((comma == std::string::npos ? names : names.substr(comma + 1)) == name) return &row;
    }
    return nullptr;
}

// The arguments as CLI11 should see them. It reads "--name=" as a name whose
// value is the next argument; ours is the empty text, given apart.
std::vector<std::string> normalised(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        optionsEnded = optionsEnded || argument == "--";
        const Row* row = !optionsEnded && argument.size() > 3 && argument.back() == '='
                             ? rowNamed(argument.substr(0, argument.size() - 1))
                             : nullptr;
        if (row && needsValue(*row)) {
            arguments.push_back(argument.substr(0, argument.size() - 1));
            arguments.emplace_back();
        } else {
            arguments.push_back(argument);
        }
    }
    return arguments;
}

// Our words for what CLI11 refuses while it reads: a value missing at the
// end, or a value given to a flag.
std::string refusal(const std::vector<std::string>& arguments, const CLI::ParseError& error) {
    if (!arguments.empty())
        if (const Row* row = rowNamed(arguments.back()); row && needsValue(*row))
            return arguments.back() + " needs a value";
    for (const auto& argument : arguments) {
        if (argument == "--") break;
        const Row* row = rowNamed(argument.substr(0, argument.find('=')));
        if (row && isFlag(*row) && argument.find('=') != std::string::npos)
            return "unknown argument \"" + argument + "\"";
    }
    return error.what();
}

}  // namespace

std::string usage() {
    std::string text = kUsageHead;
    for (const auto& row : kOptions) text += row.usage;
    return text + kUsageTail;
}

std::optional<std::string> parse(int argc, const char* const* argv, Options& options) {
    CLI::App app;
    app.set_help_flag();  // -h and --help are ours: a usage error outranks them
    app.allow_extras();   // unknown arguments are reported in our words below
    std::map<const CLI::Option*, const Row*> rows;
    for (const auto& row : kOptions) {
        CLI::Option* option = isFlag(row)        ? app.add_flag(row.names)->disable_flag_override()
                              : mayTakeValue(row) ? app.add_option(row.names)->expected(0, 1)
                                                  : app.add_option(row.names)->expected(1);
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        rows[option] = &row;
    }
    CLI::Option* plain = app.add_option("package")->expected(0, CLI::detail::expected_max_vector_size);
    plain->allow_extra_args()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);

    auto arguments = normalised(argc, argv);
    for (const auto& argument : arguments) {
        if (argument == "--") break;
        if (const Row* row = argument.ends_with("=") ? rowNamed(argument.substr(0, argument.size() - 1)) : nullptr;
            row && mayTakeValue(*row))
            return argument + " needs a value after \"=\"; leave out \"=\" to give none";
    }
    try {
        // CLI11 takes the arguments last first.
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    } catch (const CLI::ParseError& error) {
        return refusal(arguments, error);
    }
    // CLI11 lists the "--" that ended the options among the arguments it did not take.
    for (const auto& unknown : app.remaining())
        if (unknown != "--") return "unknown argument \"" + unknown + "\"";

    // Each value in the order given, so that --ipa and plain arguments keep theirs.
    std::map<const CLI::Option*, size_t> taken;
    for (const CLI::Option* option : app.parse_order()) {
        const std::string& value = option->results().at(taken[option]++);
        if (option == plain) {
            options.packages.push_back(value);
            continue;
        }
        const Row& row = *rows.at(option);
        if (auto flag = std::get_if<bool Options::*>(&row.target)) {
            options.*(*flag) = true;
        } else if (auto optional = std::get_if<FlagWithValue>(&row.target)) {
            options.*(optional->flag) = true;
            if (value.empty()) continue;  // given bare (CLI11 reads that as an empty value)
            if (looksLikePackage(value)) {
                options.packages.push_back(value);
                continue;
            }
            auto& single = options.*(optional->value);
            if (single && *single != value) return option->get_name() + " is given twice";
            single = value;
        } else if (auto repeated = std::get_if<std::vector<std::string> Options::*>(&row.target)) {
            (options.*(*repeated)).push_back(value);
        } else {
            auto& single = options.*std::get<std::optional<std::string> Options::*>(row.target);
            if (single) return option->get_name() + " is given twice";
            single = value;
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
    auto given = [](const std::optional<std::string>& value) { return value && !value->empty(); };
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
