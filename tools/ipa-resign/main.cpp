// ipa-resign: the re-sign run of the desktop application, from a script.
// It opens the package, runs the same engine run as the window's Resign and
// prints the same time-stamped log lines: progress on standard output,
// failures on standard error.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/QFAppPackageHandler.h"
#include "engine/QFRunWorkspace.h"
#include "platform/files.h"
#include "platform/queues.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFDateFormatterUtil.h"
#include "system/QFFileHelper.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* kUsage =
    "Usage: ipa-resign --ipa FILE --identity NAME --profile FILE --name NAME\n"
    "                  (--bundle-id ID | --profile-bundle-id) --output DIR [--keep-work]\n"
    "\n"
    "Re-signs an iOS application package (.ipa) with your signing identity and\n"
    "provisioning profile, and writes NAME.ipa into DIR. The steps are those of\n"
    "the desktop application's Resign: entitlements from the profile, the new\n"
    "bundle identifier and display name in Info.plist, the profile embedded in\n"
    "the application, every framework and library signed and verified, then the\n"
    "application itself, and the result packed again.\n"
    "\n"
    "  --ipa FILE            the package to re-sign\n"
    "  --identity NAME       the signing identity, exactly as\n"
    "                        `security find-identity -v -p codesigning` prints it\n"
    "                        between the double quotes\n"
    "  --profile FILE        the provisioning profile (.mobileprovision) to embed;\n"
    "                        give it again for a nested application or extension:\n"
    "                        each further profile goes to the nested bundle whose\n"
    "                        new identifier it fits (exact before wildcard)\n"
    "  --name NAME           the display name; the new archive is NAME.ipa\n"
    "                        (a \"/\" in NAME becomes \"_\" in the file name only)\n"
    "  --bundle-id ID        the bundle identifier to write\n"
    "  --profile-bundle-id   take the bundle identifier from the profile instead\n"
    "  --output DIR          the folder that receives the archive (created if missing)\n"
    "  --keep-work           keep the unpacked work directory afterwards\n"
    "  --print-usage         at the end, print this program's own CPU time and\n"
    "                        peak memory (its tools not included) to standard error\n"
    "  -h, --help            show this text\n"
    "\n"
    "Each option takes its value as the next argument or after \"=\".\n"
    "Progress goes to standard output, failures to standard error, each line\n"
    "stamped like the application's log. Exit status: 0 when the new archive\n"
    "was written, 1 when the re-sign failed, 2 for a usage error.\n";

void printLine(std::FILE* stream, const std::string& message) {
    auto stamp = QFDateFormatterUtil::sharedFormatter().MMddHHmmssSSSForDate(std::chrono::system_clock::now());
    std::string line = "[" + stamp.value_or("") + "] " + message + "\n";
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}
void progress(const std::string& message) { printLine(stdout, message); }
void failure(const std::string& message) { printLine(stderr, message); }

struct Options {
    std::map<std::string, std::string> values;  // "--ipa" -> value
    std::vector<std::string> profiles;          // every --profile, in order; the first is the application's
    bool profileBundleId = false;
    bool keepWork = false;
    bool printUsage = false;
    bool help = false;
};

const std::vector<std::string> kValueOptions = {"--ipa",  "--identity",  "--profile",
                                                "--name", "--bundle-id", "--output"};

bool isValueOption(const std::string& name) {
    for (const auto& option : kValueOptions)
        if (option == name) return true;
    return false;
}

// Answers an error text, or nothing when the command line is well formed.
std::optional<std::string> parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            options.help = true;
            continue;
        }
        if (argument == "--profile-bundle-id") {
            options.profileBundleId = true;
            continue;
        }
        if (argument == "--keep-work") {
            options.keepWork = true;
            continue;
        }
        if (argument == "--print-usage") {
            options.printUsage = true;
            continue;
        }
        std::string name = argument, value;
        bool inlineValue = false;
        if (auto eq = argument.find('='); argument.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = argument.substr(0, eq);
            value = argument.substr(eq + 1);
            inlineValue = true;
        }
        if (!isValueOption(name)) return "unknown argument \"" + argument + "\"";
        if (!inlineValue) {
            if (i + 1 >= argc) return name + " needs a value";
            value = argv[++i];
        }
        if (name == "--profile") {
            options.profiles.push_back(value);
            if (options.profiles.size() > 1) continue;
        }
        if (options.values.count(name)) return name + " is given twice";
        options.values[name] = value;
    }
    return std::nullopt;
}

std::optional<std::string> checkComplete(const Options& options) {
    std::vector<std::string> missing;
    for (const char* name : {"--ipa", "--identity", "--profile", "--name", "--output"}) {
        auto it = options.values.find(name);
        if (it == options.values.end() || it->second.empty()) missing.push_back(name);
    }
    auto bundleId = options.values.find("--bundle-id");
    bool hasBundleId = bundleId != options.values.end();
    if (hasBundleId && options.profileBundleId) return "give either --bundle-id or --profile-bundle-id, not both";
    if (!options.profileBundleId && (!hasBundleId || bundleId->second.empty()))
        missing.push_back("--bundle-id (or --profile-bundle-id)");
    if (missing.empty()) return std::nullopt;
    std::string text = "missing or empty: ";
    for (size_t i = 0; i < missing.size(); ++i) text += (i ? ", " : "") + missing[i];
    return text;
}

// The program's own share of a run: waiting, parsing and bookkeeping, not
// the tools it runs (they are children, counted apart).
void printOwnUsage() {
    struct rusage self {};
    if (::getrusage(RUSAGE_SELF, &self) != 0) return;
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    std::fprintf(stderr, "ipa-resign usage: user %.3f s, system %.3f s, peak memory %ld KiB\n",
                 seconds(self.ru_utime), seconds(self.ru_stime), self.ru_maxrss);
}

int usageError(const std::string& text) {
    std::fprintf(stderr, "ipa-resign: %s\nTry 'ipa-resign --help' for more information.\n", text.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto error = parse(argc, argv, options)) return usageError(*error);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (auto error = checkComplete(options)) return usageError(*error);

    QFRunWorkspace::interceptInterruptions();  // before any other thread starts
    platform::MainQueue::bindToCurrentThread();

    // The same checks as the window makes before it starts, with its messages.
    auto missingTools = QFFileHelper::sharedInstance().lackSupportUtility();
    for (const auto& tool : missingTools) failure("This command requires the support of " + tool);
    if (!missingTools.empty()) return kExitFailure;
    const std::string ipa = options.values["--ipa"];
    if (!platform::fs::fileExists(ipa)) {
        failure("Not found ipa file " + ipa);
        return kExitFailure;
    }

    auto profile = std::make_shared<QFProvisioningProfile>(options.values["--profile"]);
    std::optional<std::string> bundleIdentifier =
        options.profileBundleId ? profile->bundleIdentifier() : std::optional<std::string>(options.values["--bundle-id"]);
    const std::string displayName = options.values["--name"];
    const std::string destination = options.values["--output"];
    const std::string identity = options.values["--identity"];
    std::vector<std::shared_ptr<QFProvisioningProfile>> nestedProfiles;
    for (size_t i = 1; i < options.profiles.size(); ++i)
        nestedProfiles.push_back(std::make_shared<QFProvisioningProfile>(options.profiles[i]));

    bool finished = false;
    int status = kExitFailure;
    auto package = QFAppPackageHandler::initWithPackagePath(ipa);
    // A folder of this run's own, out of the window's reach.
    auto workspace = QFRunWorkspace::create();
    if (!workspace) {
        failure("Unable to create a private work folder in the temporary folder");
        return kExitFailure;
    }
    workspace->setKeep(options.keepWork);
    package->setWorkPath(workspace->workPath());
    package->setNestedProfiles(nestedProfiles);
    auto end = [&](int code) {
        status = code;
        finished = true;
    };

    progress("Start unzip the ipa file to path: " + package->workPath());
    package->unzipIpa(
        [&] {
            progress("Unzip ipa file succeeded");
            // Refused before anything in the package changes, like the window's Resign.
            package->checkProvisioning(profile, identity, bundleIdentifier, [&](std::optional<std::string> refusal) {
                if (refusal) {
                    failure(*refusal);
                    end(kExitFailure);
                    return;
                }
                package->removeCodeSignatureDirectory();
                package->resignWithProvisioningProfile(
                    profile, identity, bundleIdentifier, displayName, destination,
                    [](const std::string& line) { progress(line); },
                    [&](const std::string& message) {
                        failure(message);
                        end(kExitFailure);
                    },
                    [&](const std::string&) {
                        progress("Resign done, ipa saved to " + destination);
                        end(0);
                    });
            });
        },
        [&](const std::string& message) {
            failure(message);
            end(kExitFailure);
        });
    platform::MainQueue::runUntil([&] { return finished; });
    if (QFRunWorkspace::interruption() && status != 0) {
        workspace->remove();
        failure("Interrupted: the work folder was removed and no archive was written");
        QFRunWorkspace::endIfInterrupted();
    }

    if (!options.keepWork) package->removeWorkDirectory();
    if (options.printUsage) printOwnUsage();
    return status;
}
