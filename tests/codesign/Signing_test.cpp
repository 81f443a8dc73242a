// The codesign command end to end, as the system runs it: real Mach-O files
// built here, the test PKI's identity in the keychain, and checks by our own
// verifier, by OpenSSL's CMS verification and by an independent script.
#include <gtest/gtest.h>

#include "signing_fixture.h"

namespace {

using namespace cstest;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

size_t find(const std::string& path, const std::string& needle) {
    size_t at = testkit::readFile(path).find(needle);
    EXPECT_NE(at, std::string::npos) << needle;
    return at;
}

class SigningTest : public ::testing::Test {
protected:
    void SetUp() override { pki(); }
};

TEST_F(SigningTest, ThinExecutableSignsVerifiesAndPassesTheIndependentCheck) {
    const std::string dir = testkit::makeScratchDir("thin");
    const std::string exe = buildBinary(dir + "/tool");
    ToolRun signing = signAsTheEngineDoes(exe, entitlementsFile(dir));
    EXPECT_EQ(signing.status, 0);
    EXPECT_EQ(signing.output, exe + ": signed Mach-O thin (arm64) [tool]\n");
    EXPECT_EQ(verify(exe).output, "");
    EXPECT_EQ(verify(exe).status, 0);
    ToolRun independent = independentVerify(exe);
    EXPECT_EQ(independent.status, 0) << independent.output;

    // The designated requirement asks for the vendor's root, which the test
    // PKI's is not: valid, but the requirement is not met (status 3).
    ToolRun verbose = codesign({"-vv", exe});
    EXPECT_EQ(verbose.output, exe + ": valid on disk\n" + exe + ": does not satisfy its designated Requirement\n");
    EXPECT_EQ(verbose.status, 3);
    const std::string adhoc = copyTree(exe);
    ASSERT_EQ(codesign({"-fs", "-", adhoc}).status, 0);
    EXPECT_EQ(codesign({"-vv", adhoc}).output,
              adhoc + ": valid on disk\n" + adhoc + ": satisfies its Designated Requirement\n");

    ToolRun display = codesign({"-dvvv", exe});
    EXPECT_EQ(display.status, 0);
    for (const char* line : {"Identifier=tool\n", "Format=Mach-O thin (arm64)\n", "CodeDirectory v=20400 ",
                             "Hash choices=sha256\n", "TeamIdentifier=ABCDE12345\n",
                             "Authority=Apple Development: Test User (ABCDE12345)\n",
                             "Internal requirements count=1 size="})
        EXPECT_TRUE(contains(display.output, line)) << line << "\n" << display.output;
}

TEST_F(SigningTest, ResigningReplacesTheSignatureAndTheLinkersAdHocOneSilently) {
    const std::string dir = testkit::makeScratchDir("resign");
    testkit::MachOSpec recipe;
    recipe.adhocSign = true;
    const std::string exe = buildBinary(dir + "/linked", recipe);
    EXPECT_TRUE(contains(codesign({"-dv", exe}).output, "flags=0x20002(adhoc,linker-signed)"));
    ToolRun first = signAsTheEngineDoes(exe, entitlementsFile(dir));
    EXPECT_EQ(first.output, exe + ": signed Mach-O thin (arm64) [linked]\n");
    const std::string once = testkit::readFile(exe);
    ToolRun second = signAsTheEngineDoes(exe, entitlementsFile(dir));
    EXPECT_EQ(second.output,
              exe + ": replacing existing signature\n" + exe + ": signed Mach-O thin (arm64) [linked]\n");
    EXPECT_EQ(testkit::readFile(exe).size(), once.size());  // the same layout again
    EXPECT_EQ(verify(exe).output, "");

    ToolRun withoutForce = codesign({"-s", kIdentityName, exe});
    EXPECT_EQ(withoutForce.status, 1);
    EXPECT_EQ(withoutForce.output, exe + ": is already signed\n");
}

TEST_F(SigningTest, FatFilesSignEverySliceKeptAligned) {
    const std::string dir = testkit::makeScratchDir("fat");
    auto fatOf = [&](const std::string& name, std::vector<std::string> archs) {
        std::vector<std::string> thins;
        for (const auto& arch : archs) {
            testkit::MachOSpec recipe;
            recipe.arch = arch;
            recipe.kind = testkit::MachOSpec::Kind::Dylib;
            thins.push_back(buildBinary(dir + "/" + name + "-" + arch, recipe));
            if (arch == "arm64e") {
                // The linker at hand writes subtype 0 for arm64e; mark the slice
                // as the real toolchain does (CPU_SUBTYPE_ARM64E with the
                // pointer-authentication ABI bit).
                std::string bytes = testkit::readFile(thins.back());
                bytes.replace(8, 4, std::string("\x02\x00\x00\x80", 4));
                testkit::writeFile(thins.back(), bytes);
            }
        }
        const std::string fat = dir + "/" + name + ".dylib";
        EXPECT_EQ(testkit::makeFat(fat, thins), "");
        return fat;
    };
    const std::string fat = fatOf("libFat", {"arm64", "x86_64"});
    ToolRun signing = signAsTheEngineDoes(fat, entitlementsFile(dir));
    EXPECT_EQ(signing.output, fat + ": signed Mach-O universal (x86_64 arm64) [libFat]\n");
    EXPECT_EQ(verify(fat).output, "");
    ToolRun independent = independentVerify(fat);
    EXPECT_EQ(independent.status, 0) << independent.output;
    std::string lipo;
    EXPECT_EQ(testkit::run({"/usr/bin/llvm-lipo-14", "-info", fat}, &lipo), 0) << lipo;

    const std::string arm64e = fatOf("libE", {"arm64e", "x86_64"});
    EXPECT_EQ(signAsTheEngineDoes(arm64e, entitlementsFile(dir)).output,
              arm64e + ": signed Mach-O universal (x86_64 arm64e) [libE]\n");
    EXPECT_EQ(verify(arm64e).output, "");
    EXPECT_EQ(independentVerify(arm64e).status, 0);

    // A change in the second slice is found and named by its architecture.
    const std::string bytes = testkit::readFile(fat);
    const uint64_t second = (uint8_t(bytes[8 + 20 + 8]) << 24) | (uint8_t(bytes[8 + 20 + 9]) << 16) |
                            (uint8_t(bytes[8 + 20 + 10]) << 8) | uint8_t(bytes[8 + 20 + 11]);
    const uint32_t cputype = (uint8_t(bytes[8 + 20]) << 24) | (uint8_t(bytes[8 + 20 + 3]));
    flipByte(fat, second + 0x2000);
    ToolRun tampered = verify(fat);
    EXPECT_EQ(tampered.status, 1);
    EXPECT_EQ(tampered.output, fat + ": invalid signature (code or signature have been modified)\nIn architecture: " +
                                   std::string(cputype == 0x0100000c ? "arm64" : "x86_64") + "\n");
}

TEST_F(SigningTest, LargeBinariesAreHashedInRangesThatJoinUp) {
    const std::string dir = testkit::makeScratchDir("large");
    testkit::MachOSpec recipe;
    recipe.extraDataBytes = size_t(40) << 20;  // past the size where ranges run side by side
    recipe.minOS = "10.0";                     // and two hash types per page
    const std::string exe = buildBinary(dir + "/large", recipe);
    ASSERT_EQ(signAsTheEngineDoes(exe, entitlementsFile(dir)).status, 0);
    EXPECT_EQ(verify(exe).output, "");
    ToolRun independent = independentVerify(exe);
    EXPECT_EQ(independent.status, 0) << independent.output;
    // A change near the end of the code, in the last range, is found.
    flipByte(exe, find(exe, "puts") - 64);
    EXPECT_TRUE(contains(verify(exe).output, "invalid signature (code or signature have been modified)"));
}

TEST_F(SigningTest, ThirtyTwoBitSlicesAreSignedBesideSixtyFourBitOnes) {
    // armv7 next to arm64, for iOS 9: LC_SEGMENT (32-bit) layout and two hash types.
    const std::string dir = testkit::makeScratchDir("armv7");
    testkit::writeFile(dir + "/libSystem.tbd",
                       "--- !tapi-tbd\ntbd-version:     4\ntargets:         [ armv7-ios, arm64-ios ]\n"
                       "install-name:    '/usr/lib/libSystem.B.dylib'\ncurrent-version: 1311\nexports:\n"
                       "  - targets:         [ armv7-ios, arm64-ios ]\n    symbols:         [ dyld_stub_binder ]\n...\n");
    testkit::writeFile(dir + "/lib.c", "int answer(void) { return 42; }\n");
    std::string linker = "/usr/bin/ld64.lld";
    for (const char* candidate : {"/usr/bin/ld64.lld", "/usr/bin/ld64.lld-14", "/usr/lib/llvm-14/bin/ld64.lld"})
        if (fs::exists(candidate)) linker = candidate;
    std::vector<std::string> thins;
    for (const std::string arch : {"armv7", "arm64"}) {
        const std::string object = dir + "/lib-" + arch + ".o";
        const std::string out = dir + "/lib-" + arch + ".dylib";
        std::string log;
        ASSERT_EQ(testkit::run({"/usr/bin/clang", "-target", arch + "-apple-ios9.0", "-O1", "-c", dir + "/lib.c", "-o",
                                object},
                               &log),
                  0)
            << log;
        ASSERT_EQ(testkit::run({linker, "-arch", arch, "-platform_version", "ios", "9.0", "9.0",
                                "-dylib", "-install_name", "@rpath/libOld.dylib", "-o", out, object,
                                dir + "/libSystem.tbd"},
                               &log),
                  0)
            << log;
        thins.push_back(out);
    }
    const std::string fat = dir + "/libOld.dylib";
    ASSERT_EQ(testkit::makeFat(fat, thins), "");
    EXPECT_EQ(signAsTheEngineDoes(fat, entitlementsFile(dir)).output,
              fat + ": signed Mach-O universal (armv7 arm64) [libOld]\n");
    EXPECT_EQ(verify(fat).output, "");
    EXPECT_TRUE(contains(codesign({"-dvvv", fat}).output, "Hash choices=sha1,sha256\n"));
    ToolRun independent = independentVerify(fat);
    EXPECT_EQ(independent.status, 0) << independent.output;
}

TEST_F(SigningTest, OldDeploymentTargetsGetASha1PrimaryAndSha256Alternate) {
    const std::string dir = testkit::makeScratchDir("old");
    testkit::MachOSpec recipe;
    recipe.minOS = "10.0";
    const std::string exe = buildBinary(dir + "/old", recipe);
    ASSERT_EQ(signAsTheEngineDoes(exe, entitlementsFile(dir)).status, 0);
    ToolRun display = codesign({"-dvvv", exe});
    EXPECT_TRUE(contains(display.output, "Hash choices=sha1,sha256\n")) << display.output;
    EXPECT_TRUE(contains(display.output, "Hash type=sha256 size=32\n")) << display.output;
    EXPECT_EQ(verify(exe).output, "");
    ToolRun independent = independentVerify(exe);
    EXPECT_EQ(independent.status, 0) << independent.output;
}

TEST_F(SigningTest, TamperedCodeOrSignatureIsCaught) {
    const std::string dir = testkit::makeScratchDir("tamper");
    const std::string original = buildBinary(dir + "/tool");
    EXPECT_EQ(verify(original).output, original + ": code object is not signed at all\nIn architecture: arm64\n");
    ASSERT_EQ(signAsTheEngineDoes(original, entitlementsFile(dir)).status, 0);

    const std::string code = copyTree(original);
    flipByte(code, 0x2000);
    EXPECT_EQ(verify(code).output,
              code + ": invalid signature (code or signature have been modified)\nIn architecture: arm64\n");
    EXPECT_NE(independentVerify(code).status, 0);

    // The CodeDirectory's identifier: the CMS no longer signs it.
    const std::string identifier = copyTree(original);
    flipByte(identifier, find(identifier, std::string("tool\0ABCDE12345", 15)));
    EXPECT_TRUE(contains(verify(identifier).output, "invalid signature (code or signature have been modified)"));

    // The entitlements the signature carries.
    const std::string entitlements = copyTree(original);
    flipByte(entitlements, find(entitlements, "<key>get-task-allow</key>") + 6);
    EXPECT_TRUE(contains(verify(entitlements).output, "invalid signature (code or signature have been modified)"));
}

TEST_F(SigningTest, ALibraryReachedThroughALinkIsSignedWhereItLives) {
    const std::string dir = testkit::makeScratchDir("link");
    testkit::MachOSpec recipe;
    recipe.kind = testkit::MachOSpec::Kind::Dylib;
    buildBinary(dir + "/libz.1.2.dylib", recipe);
    fs::create_symlink("libz.1.2.dylib", dir + "/libz.dylib");
    ToolRun signing = signAsTheEngineDoes(dir + "/libz.dylib", entitlementsFile(dir));
    EXPECT_EQ(signing.output, dir + "/libz.dylib: signed Mach-O thin (arm64) [libz.1]\n");
    EXPECT_TRUE(fs::is_symlink(dir + "/libz.dylib"));
    EXPECT_EQ(verify(dir + "/libz.dylib").output, "");
    EXPECT_EQ(verify(dir + "/libz.1.2.dylib").output, "");
}

TEST_F(SigningTest, FailuresLeaveTheFileAsItWas) {
    const std::string dir = testkit::makeScratchDir("fail");
    const std::string exe = buildBinary(dir + "/tool");
    const std::string before = testkit::readFile(exe);

    ToolRun unknown = codesign({"-vvv", "-fs", "Nobody (0000000000)", exe});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.output, "Nobody (0000000000): no identity found\n");

    const std::string text = dir + "/notes.txt";
    testkit::writeFile(text, "not code at all");
    ToolRun notMachO = signAsTheEngineDoes(text, entitlementsFile(dir));
    EXPECT_EQ(notMachO.status, 1);
    EXPECT_EQ(notMachO.output, text + ": not a Mach-O binary\n");
    EXPECT_EQ(testkit::readFile(text), "not code at all");
    EXPECT_EQ(verify(text).output, text + ": code object is not signed at all\n");

    const std::string truncated = dir + "/truncated";
    testkit::writeFile(truncated, before.substr(0, 200), true);
    ToolRun broken = signAsTheEngineDoes(truncated, entitlementsFile(dir));
    EXPECT_EQ(broken.status, 1);
    EXPECT_TRUE(contains(broken.output, truncated + ": malformed Mach-O file: ")) << broken.output;
    EXPECT_EQ(std::count(broken.output.begin(), broken.output.end(), '\n'), 1);
    EXPECT_EQ(testkit::readFile(truncated), before.substr(0, 200));

    ToolRun badEntitlements = codesign({"-fs", kIdentityName, exe, "--entitlements", dir + "/missing.plist"});
    EXPECT_EQ(badEntitlements.status, 1);
    EXPECT_EQ(testkit::readFile(exe), before);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().string().find(".cstmp."), std::string::npos) << entry.path();

    EXPECT_EQ(codesign({"--bogus", exe}).status, 2);
    EXPECT_EQ(codesign({"-v"}).status, 2);
}

TEST_F(SigningTest, ApplicationSignedInsideOutVerifiesEverywhere) {
    App a = makeApp();
    ToolRun framework = signAsTheEngineDoes(a.framework, a.entitlements);
    EXPECT_EQ(framework.output, a.framework + ": signed bundle with Mach-O thin (arm64) [com.example.Lib]\n");
    ToolRun dylib = signAsTheEngineDoes(a.dylib, a.entitlements);
    EXPECT_EQ(dylib.output, a.dylib + ": signed Mach-O thin (arm64) [libextra]\n");
    ToolRun app = signAsTheEngineDoes(a.app, a.entitlements);
    EXPECT_EQ(app.output, a.app + ": signed app bundle with Mach-O thin (arm64) [com.example.app]\n");
    for (const std::string& item : {a.framework, a.dylib, a.app}) {
        ToolRun v = verify(item);
        EXPECT_EQ(v.output, "") << item;
        EXPECT_EQ(v.status, 0);
    }
    EXPECT_EQ(codesign({"-v", "--deep", a.app}).output, "");
    ToolRun independent = independentVerify(a.app);
    EXPECT_EQ(independent.status, 0) << independent.output;

    // The entitlements come back exactly as given, and only on the main executable.
    ToolRun shown = codesign({"-d", "--entitlements", "-", a.app});
    EXPECT_TRUE(contains(shown.output, testkit::readFile(a.entitlements))) << shown.output;
    EXPECT_FALSE(contains(codesign({"-d", "--entitlements", "-", a.framework}).output, "<plist"));
    ToolRun requirements = codesign({"-d", "-r-", a.app});
    EXPECT_TRUE(contains(requirements.output,
                         "designated => identifier \"com.example.app\" and anchor apple generic and certificate "
                         "leaf[subject.CN] = \"Apple Development: Test User (ABCDE12345)\" and certificate "
                         "1[field.1.2.840.113635.100.6.2.1] /* exists */\n"))
        << requirements.output;
    ToolRun display = codesign({"-dvvv", a.app});
    for (const char* line : {"Identifier=com.example.app\n", "Format=app bundle with Mach-O thin (arm64)\n",
                             "hashes=", "+7 location=embedded\n", "Sealed Resources version=2 rules=10 files="})
        EXPECT_TRUE(contains(display.output, line)) << line << "\n" << display.output;
}

TEST_F(SigningTest, UniversalApplicationForAnOldSystemSealsWithBothHashTypes) {
    App a = makeApp();
    // Replace the main executable by a universal one targeting iOS 10.
    std::vector<std::string> thins;
    for (const char* arch : {"arm64", "x86_64"}) {
        testkit::MachOSpec recipe;
        recipe.arch = arch;
        recipe.minOS = "10.0";
        thins.push_back(buildBinary(a.work + "/App-" + arch, recipe));
    }
    ASSERT_EQ(testkit::makeFat(a.app + "/App", thins), "");
    signApp(a);
    const std::string seal = testkit::readFile(a.app + "/_CodeSignature/CodeResources");
    EXPECT_TRUE(contains(seal, "<key>hash</key>")) << "SHA-1 entries in files2";
    EXPECT_TRUE(contains(seal, "<key>hash2</key>"));
    ToolRun display = codesign({"-dvvv", a.app});
    EXPECT_TRUE(contains(display.output, "Format=app bundle with Mach-O universal (x86_64 arm64)\n")) << display.output;
    EXPECT_TRUE(contains(display.output, "Hash choices=sha1,sha256\n")) << display.output;
    EXPECT_EQ(codesign({"-v", "--deep", a.app}).output, "");
    ToolRun independent = independentVerify(a.app);
    EXPECT_EQ(independent.status, 0) << independent.output;

    // The CMS binds both CodeDirectories: a changed SHA-256 page is caught
    // although the primary CodeDirectory is the SHA-1 one.
    const std::string copy = copyTree(a.app);
    flipByte(copy + "/App", 0x4000 + 0x2000);
    EXPECT_TRUE(contains(verify(copy).output, "invalid signature (code or signature have been modified)"));
}

TEST_F(SigningTest, EveryChangeToASignedApplicationIsReported) {
    App a = makeApp();
    signApp(a);
    auto fresh = [&] { return copyTree(a.app); };

    std::string app = fresh();
    testkit::writeFile(app + "/Info.plist", testkit::readFile(app + "/Info.plist") + " ");
    EXPECT_EQ(verify(app).output, app + ": invalid Info.plist (plist or signature have been modified)\n");

    app = fresh();
    testkit::writeFile(app + "/assets/image.png", "changed");
    EXPECT_EQ(verify(app).output,
              app + ": a sealed resource is missing or invalid\nfile modified: " + app + "/assets/image.png\n");

    app = fresh();
    testkit::writeFile(app + "/extra.txt", "new");
    EXPECT_EQ(verify(app).output,
              app + ": a sealed resource is missing or invalid\nfile added: " + app + "/extra.txt\n");

    app = fresh();
    fs::remove(app + "/embedded.mobileprovision");
    EXPECT_EQ(verify(app).output, app + ": a sealed resource is missing or invalid\nfile missing: " + app +
                                      "/embedded.mobileprovision\n");

    app = fresh();
    flipByte(app + "/Frameworks/Lib.framework/Lib", 0x2000);
    EXPECT_TRUE(contains(verify(app).output, "file modified: " + app + "/Frameworks/Lib.framework/Lib"));
    ToolRun deep = codesign({"--verify", "--deep", app + "/Frameworks/Lib.framework"});
    EXPECT_TRUE(contains(deep.output, "invalid signature (code or signature have been modified)"));

    app = fresh();
    testkit::writeFile(app + "/_CodeSignature/CodeResources",
                       testkit::readFile(app + "/_CodeSignature/CodeResources") + "\n");
    EXPECT_EQ(verify(app).output,
              app + ": invalid resource directory (directory or signature have been modified)\n");

    app = fresh();
    flipByte(app + "/App", 0x2000);
    EXPECT_EQ(verify(app).output,
              app + ": invalid signature (code or signature have been modified)\nIn architecture: arm64\n");
    EXPECT_NE(independentVerify(app).status, 0);
}

TEST_F(SigningTest, AnIdentityWithoutItsChainStillSignsWithAWarning) {
    testkit::pki::TestPKI other;
    testkit::pki::LeafOptions options;
    options.commonName = "Apple Development: Orphan (ZZZZZ99999)";
    options.teamId = "ZZZZZ99999";
    auto leaf = other.issueLeaf(options);
    keychain::Store store;
    auto imported = store.importPkcs12(testkit::pki::pkcs12(leaf, {}, "pw"), "pw");
    ASSERT_TRUE(imported) << imported.text();
    const std::string dir = testkit::makeScratchDir("orphan");
    const std::string exe = buildBinary(dir + "/tool");
    ToolRun signing = codesign({"-vvv", "-fs", options.commonName, exe});
    EXPECT_EQ(signing.status, 0);
    EXPECT_EQ(signing.output, "Warning: unable to build chain to self-signed root for signer \"" +
                                  options.commonName + "\"\n" + exe + ": signed Mach-O thin (arm64) [tool]\n");
    EXPECT_EQ(verify(exe).output, "");
    // By fingerprint as well as by name.
    EXPECT_EQ(codesign({"-fs", leaf.sha1(), exe}).status, 0);
}

TEST_F(SigningTest, IdentitiesThatCannotSignAreRefusedWithTheKeychainsReason) {
    const auto& ca = testkit::pki::TestPKI::shared();
    keychain::Store store;
    testkit::pki::LeafOptions expired;
    expired.commonName = "Apple Development: Expired (EEEEE11111)";
    expired.validity = testkit::pki::Validity::Expired;
    auto imported = store.importPkcs12(testkit::pki::pkcs12(ca.issueLeaf(expired), {}, "pw"), "pw");
    ASSERT_TRUE(imported) << imported.text();
    testkit::pki::LeafOptions noUsage;
    noUsage.commonName = "Apple Development: No Usage (NNNNN11111)";
    noUsage.codeSigningUsage = false;
    imported = store.importPkcs12(testkit::pki::pkcs12(ca.issueLeaf(noUsage), {}, "pw"), "pw");
    ASSERT_TRUE(imported) << imported.text();

    const std::string dir = testkit::makeScratchDir("refused");
    const std::string exe = buildBinary(dir + "/tool");
    const std::string before = testkit::readFile(exe);
    ToolRun old = codesign({"-fs", expired.commonName, exe});
    EXPECT_EQ(old.status, 1);
    EXPECT_EQ(old.output, expired.commonName + ": this identity cannot be used for signing code (" +
                              keychain::kReasonExpired + ")\n");
    ToolRun plain = codesign({"-fs", noUsage.commonName, exe});
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.output, noUsage.commonName + ": this identity cannot be used for signing code (" +
                                keychain::kReasonNoCodeSigning + ")\n");
    EXPECT_EQ(testkit::readFile(exe), before);
}

}  // namespace
