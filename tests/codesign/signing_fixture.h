#pragma once
// Shared set-up of the signing tests: an identity of the test PKI in this
// process's keychain, the codesign command, and small applications built
// from real Mach-O files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "keychain/Keychain.h"
#include "platform/plist.h"
#include "testkit/macho.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace cstest {

namespace fs = std::filesystem;
namespace plist = platform::plist;

inline constexpr const char* kIdentityName = "Apple Development: Test User (ABCDE12345)";
inline constexpr const char* kTeamId = "ABCDE12345";

struct Pki {
    std::string rootPem;  // path of the root certificate, PEM
    std::string leafSha1;
    std::string leafDer;  // the identity's certificate, for the profiles that must list it
    testkit::pki::Credential leaf;  // the same with its key, for signatures made by hand
};

// Imports the test identity with its chain into this process's keychain, once.
inline const Pki& pki() {
    static const Pki made = [] {
        const auto& ca = testkit::pki::TestPKI::shared();
        auto leaf = ca.issueLeaf({});
        keychain::Store store;
        auto imported = store.importPkcs12(testkit::pki::pkcs12(leaf, {ca.intermediate(), ca.root()}, "pw"), "pw");
        if (!imported) ADD_FAILURE() << imported.text();
        Pki pki;
        pki.rootPem = testkit::makeScratchDir("pki") + "/root.pem";
        testkit::writeFile(pki.rootPem, ca.root().certPem());
        pki.leafSha1 = leaf.sha1();
        pki.leafDer = leaf.certDer;
        pki.leaf = leaf;
        return pki;
    }();
    return made;
}

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and standard error together
};

inline ToolRun codesign(const std::vector<std::string>& args) {
    std::vector<std::string> argv{testkit::binDir() + "/codesign"};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = testkit::run(argv, &run.output);
    return run;
}

// The engine's command lines.
inline ToolRun signAsTheEngineDoes(const std::string& path, const std::string& entitlements) {
    return codesign({"-vvv", "-fs", kIdentityName, path, "--entitlements=" + entitlements});
}
inline ToolRun verify(const std::string& path) { return codesign({"-v", path}); }

inline std::string buildBinary(const std::string& path, testkit::MachOSpec recipe = {}) {
    std::string error = testkit::buildMachO(path, recipe);
    EXPECT_EQ(error, "");
    return path;
}

inline std::string entitlementsFile(const std::string& dir) {
    plist::Dict e{{"application-identifier", std::string(kTeamId) + ".com.example.app"},
                  {"com.apple.developer.team-identifier", kTeamId},
                  {"get-task-allow", true},
                  {"keychain-access-groups", plist::Array{std::string(kTeamId) + ".*"}}};
    std::string path = dir + "/Entitlements.plist";
    testkit::writeFile(path, plist::toXml(e));
    return path;
}

inline void writeInfoPlist(const std::string& bundle, const std::string& identifier, const std::string& executable,
                           const std::string& packageType) {
    plist::Dict info{{"CFBundleIdentifier", identifier},
                     {"CFBundleExecutable", executable},
                     {"CFBundlePackageType", packageType},
                     {"CFBundleName", executable},
                     {"CFBundleShortVersionString", "1.0"}};
    testkit::writeFile(bundle + "/Info.plist", plist::toXml(info));
}

// Payload/App.app with resources, a symbolic link, a framework and a bare
// library; nothing signed yet.
struct App {
    std::string work;
    std::string app;
    std::string framework;
    std::string dylib;
    std::string entitlements;
};

inline App makeApp(testkit::MachOSpec exe = {}) {
    App a;
    a.work = testkit::makeScratchDir("app");
    a.app = a.work + "/Payload/App.app";
    a.framework = a.app + "/Frameworks/Lib.framework";
    a.dylib = a.app + "/Frameworks/libextra.dylib";
    a.entitlements = entitlementsFile(a.work);
    writeInfoPlist(a.app, "com.example.app", "App", "APPL");
    buildBinary(a.app + "/App", exe);
    testkit::writeFile(a.app + "/embedded.mobileprovision", "profile bytes");
    testkit::writeFile(a.app + "/Base.lproj/Main.strings", "\"a\" = \"b\";");
    testkit::writeFile(a.app + "/en.lproj/Localizable.strings", "\"hello\" = \"Hello\";");
    testkit::writeFile(a.app + "/assets/image.png", std::string(10000, 'p'));
    fs::create_symlink("assets/image.png", a.app + "/image-link.png");
    writeInfoPlist(a.framework, "com.example.Lib", "Lib", "FMWK");
    testkit::MachOSpec lib;
    lib.kind = testkit::MachOSpec::Kind::Dylib;
    buildBinary(a.framework + "/Lib", lib);
    testkit::writeFile(a.framework + "/resource.json", "{}");
    buildBinary(a.dylib, lib);
    return a;
}

// Signs the application the way the system does: nested code first.
inline void signApp(const App& a) {
    for (const std::string& item : {a.framework, a.dylib, a.app}) {
        ToolRun signing = signAsTheEngineDoes(item, a.entitlements);
        ASSERT_EQ(signing.status, 0) << signing.output;
        ToolRun verifying = verify(item);
        ASSERT_EQ(verifying.output, "") << item;
    }
}

inline std::string copyTree(const std::string& from) {
    std::string to = testkit::makeScratchDir("copy") + "/" + fs::path(from).filename().string();
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    return to;
}

inline void flipByte(const std::string& path, uint64_t offset) {
    std::string bytes = testkit::readFile(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] = char(bytes[offset] ^ 0x01);
    testkit::writeFile(path, bytes, true);
}

// provisioning: each application and extension is also checked against
// its embedded profile, what it is signed with included.
inline ToolRun independentVerify(const std::string& path, bool provisioning = false) {
    ToolRun run;
    std::vector<std::string> argv = {"/usr/bin/python3", std::string(IPA_SOURCE_DIR) + "/tests/codesign/independent_verify.py",
                                     "--ca", pki().rootPem};
    if (provisioning) argv.push_back("--provisioning");
    argv.push_back(path);
    run.status = testkit::run(argv, &run.output);
    return run;
}

}  // namespace cstest
