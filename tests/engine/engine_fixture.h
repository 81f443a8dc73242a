#pragma once
// Shared set-up of the engine tests: tool doubles written into a scratch
// folder, a signed test profile, an opened package, and a recorder of the
// run's callbacks.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/QFAppPackageHandler.h"
#include "platform/plist.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFToolPaths.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace enginetest {

// What the codesign double does. It records every call's arguments, one per
// line, each call closed by a line "--".
struct CodesignScript {
    std::string failVerifying;      // an item name: its verification prints a complaint
    std::string lateFailVerifying;  // an item name: the complaint comes from a child left behind, after the tool ended
    bool verifyExitsNonZero = false;  // every verification exits 1 without output
    bool verifyDiesBySignal = false;  // every verification kills itself without output
    int signSeconds = 0;              // every signing takes this long, silently
    std::string slowSigning;          // an item name: its signing takes 0.3 s longer than the others
};

inline std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline std::string writeCodesignDouble(const std::string& dir, const std::string& logPath,
                                       const CodesignScript& script = {}) {
    std::string s = "#!/bin/sh\n";
    // A display finds no signature, as for an unsigned build; not recorded.
    s += "[ \"$1\" = -d ] && { echo \"$3: code object is not signed at all\"; exit 1; }\n";
    // One write per call: two calls may run at once.
    s += "record=$(for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo --)\n";
    s += "printf '%s\\n' \"$record\" >> " + shellQuote(logPath) + "\n";
    s += "if [ \"$1\" = -v ]; then\n";
    if (!script.failVerifying.empty())
        s += "  case \"$2\" in */" + script.failVerifying + ") echo \"$2: invalid signature (code or signature have been modified)\";; esac\n";
    if (!script.lateFailVerifying.empty())
        s += "  case \"$2\" in */" + script.lateFailVerifying +
             ") ( sleep 0.4; echo \"$2: a sealed resource is missing or invalid\" ) & ;; esac\n";
    if (script.verifyDiesBySignal) s += "  kill -KILL $$\n";
    s += script.verifyExitsNonZero ? "  exit 1\n" : "  exit 0\n";
    s += "fi\n";
    if (!script.slowSigning.empty()) s += "case \"$4\" in */" + script.slowSigning + ") sleep 0.3;; esac\n";
    if (script.signSeconds > 0) s += "exec sleep " + std::to_string(script.signSeconds) + "\n";
    s += "echo \"$4: replacing existing signature\"\n";
    s += "echo \"$4: signed bundle with Mach-O thin (arm64)\"\n";
    std::string path = dir + "/codesign";
    testkit::writeFile(path, s, true);
    return path;
}

// The decode double: the CMS content of the profile, as the real tool prints
// it, optionally after a policy warning line or replaced by other text.
inline std::string writeSecurityDouble(const std::string& dir, const std::string& firstLine = "",
                                       std::optional<std::string> wholeOutput = std::nullopt, int status = 0) {
    std::string s = "#!/bin/sh\n";
    // The identity's certificate: the leaf the test profiles list.
    const std::string leafPem = dir + "/identity-certificate.pem";
    testkit::writeFile(leafPem, testkit::pki::defaultLeaf().certPem());
    s += "if [ \"$1\" = find-certificate ]; then cat " + shellQuote(leafPem) + "; exit 0; fi\n";
    if (!firstLine.empty()) s += "printf '%s\\n' " + shellQuote(firstLine) + "\n";
    if (wholeOutput) s += "printf '%s' " + shellQuote(*wholeOutput) + "\n";
    else s += "openssl cms -verify -noverify -inform DER -in \"$4\" 2>/dev/null\n";
    s += "exit " + std::to_string(status) + "\n";
    std::string path = dir + "/security";
    testkit::writeFile(path, s, true);
    return path;
}

// One recorded call of the codesign double.
inline std::vector<std::vector<std::string>> recordedCalls(const std::string& logPath) {
    std::vector<std::vector<std::string>> calls(1);
    std::istringstream lines(testkit::readFile(logPath));
    for (std::string line; std::getline(lines, line);) {
        if (line == "--") calls.emplace_back();
        else calls.back().push_back(line);
    }
    calls.pop_back();
    return calls;
}

// Everything one run reports, in order; "E:" and "S:" mark the ends.
struct Recorder {
    std::vector<std::string> lines;
    std::optional<std::string> error;
    std::optional<std::string> success;
    int ends = 0;

    QFAppPackageHandler::LogBlock log() {
        return [this](const std::string& m) { lines.push_back(m); };
    }
    QFAppPackageHandler::ErrorBlock onError() {
        return [this](const std::string& m) {
            error = m;
            ++ends;
        };
    }
    QFAppPackageHandler::SuccessBlock onSuccess() {
        return [this](const std::string& m) {
            success = m;
            ++ends;
        };
    }
    bool ended() const { return ends > 0; }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testkit::makeScratchDir("engine");
        codesignLog = dir + "/codesign.log";
        useDoubles();
        profilePath = dir + "/Chosen.mobileprovision";
        testkit::writeFile(profilePath, testkit::pki::makeProfile(profileOptions()));
    }
    void TearDown() override { QFToolPaths::setCurrent(QFToolPaths::defaults()); }

    static testkit::pki::ProfileOptions profileOptions() {
        testkit::pki::ProfileOptions o;
        // A wildcard profile: it fits any identifier the tests write, the
        // application's and its extension's alike.
        o.name = "Chosen Profile";
        o.bundleId = "*";
        return o;
    }

    // Tools for this test: real zip and unzip, the given doubles.
    void useDoubles(const CodesignScript& script = {}, std::optional<std::string> security = std::nullopt) {
        QFToolPaths tools = QFToolPaths::defaults();
        tools.zip = "/usr/bin/zip";
        tools.unzip = "/usr/bin/unzip";
        tools.codesign = writeCodesignDouble(dir, codesignLog, script);
        tools.security = security ? *security : writeSecurityDouble(dir);
        QFToolPaths::setCurrent(tools);
    }

    // A package built and opened; answers the handler (unpacked).
    std::shared_ptr<QFAppPackageHandler> open(const testkit::PackageSpec& shape = {}) {
        return openIpa(testkit::buildPackage(dir + "/in/" + shape.appName + ".ipa", shape));
    }
    std::shared_ptr<QFAppPackageHandler> openIpa(const std::string& ipa) {
        auto package = QFAppPackageHandler::initWithPackagePath(ipa);
        bool opened = false;
        std::optional<std::string> failed;
        package->unzipIpa([&] { opened = true; }, [&](const std::string& m) { failed = m; });
        EXPECT_TRUE(testkit::pumpUntil([&] { return opened || failed.has_value(); }));
        EXPECT_TRUE(opened) << failed.value_or("");
        return package;
    }

    std::shared_ptr<QFProvisioningProfile> chosenProfile() { return std::make_shared<QFProvisioningProfile>(profilePath); }

    // Runs a whole re-sign and waits for its end.
    void resign(const std::shared_ptr<QFAppPackageHandler>& package, Recorder& r,
                std::optional<std::string> bundleId = std::string("com.example.new"),
                const std::string& displayName = "New Name", std::optional<std::string> destination = std::nullopt,
                const std::string& identity = "Apple Development: Jane Doe (ABCDE12345)") {
        package->removeCodeSignatureDirectory();
        package->resignWithProvisioningProfile(chosenProfile(), identity, bundleId, displayName,
                                               destination.value_or(dir + "/out"), r.log(), r.onError(),
                                               r.onSuccess());
        ASSERT_TRUE(testkit::pumpUntil([&] { return r.ended(); }));
        testkit::pumpUntil([] { return false; }, std::chrono::milliseconds(20));  // nothing may follow the end
        EXPECT_EQ(r.ends, 1);
    }

    std::string dir;
    std::string codesignLog;
    std::string profilePath;
};

inline std::string lastComponent(const std::string& path) { return std::filesystem::path(path).filename().string(); }

// A command run as a program: its status, standard output and standard error.
struct Outcome {
    int status = -1;
    std::string out, err;
};

inline Outcome runProgram(const std::string& program, const std::vector<std::string>& args, const std::string& scratch) {
    const std::string errPath = scratch + "/stderr.txt";
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>" + shellQuote(errPath), program};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome o;
    o.status = testkit::run(argv, &o.out);
    o.err = testkit::readFile(errPath);
    return o;
}

}  // namespace enginetest
