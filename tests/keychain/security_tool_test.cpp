// The security command, run as the application runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "keychain/Keychain.h"
#include "platform/files.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using namespace testkit::pki;

struct Outcome {
    int status;
    std::string output;  // standard output and standard error together
};

Outcome security(std::vector<std::string> args) {
    args.insert(args.begin(), testkit::binDir() + "/security");
    Outcome o;
    o.status = testkit::run(args, &o.output);
    return o;
}

// Every test gets a keychain of its own: the command finds it through the
// XDG data folder, as it would for a user.
class SecurityTool : public ::testing::Test {
protected:
    void SetUp() override {
        dataHome = testkit::makeScratchDir("xdg");
        ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
        dir = testkit::makeScratchDir("files");
    }
    std::string dataHome, dir;

    std::string file(const std::string& name, const std::string& bytes) {
        testkit::writeFile(dir + "/" + name, bytes);
        return dir + "/" + name;
    }
    void importIdentity(const Credential& c, const std::string& password = "pw",
                        Pkcs12Cipher cipher = Pkcs12Cipher::Modern) {
        auto o = security({"import", file("id.p12", pkcs12(c, {TestPKI::shared().intermediate()}, password, cipher)),
                           "-P", password});
        ASSERT_EQ(o.status, 0) << o.output;
        EXPECT_EQ(o.output, "1 identity imported.\n");
    }
    std::string keychainFolder() const { return dataHome + "/ipa-resigner/keychain"; }
};

std::string line(int index, const Credential& c, const std::string& name, const std::string& reason = "") {
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "%3d) ", index);
    return prefix + c.sha1() + " \"" + name + "\"" + (reason.empty() ? "" : " (" + reason + ")") + "\n";
}

TEST_F(SecurityTool, CmsDecodePrintsTheSignedContentByteForByte) {
    std::string xml = profilePlist({.name = "Caf\xC3\xA9 profile \xE2\x9C\x93"});
    auto o = security({"cms", "-D", "-i", file("p.mobileprovision", cmsSign(xml))});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, xml);

    std::string raw("\x00\x01binary\xff\r\n\x00tail", 16);
    o = security({"cms", "-D", "-i", file("raw.p7", cmsSign(raw))});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, raw);

    o = security({"cms", "-D", "-i", dir + "/p.mobileprovision", "-o", dir + "/out.plist"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, "");
    EXPECT_EQ(testkit::readFile(dir + "/out.plist"), xml);
}

TEST_F(SecurityTool, CmsDecodeFailsWithOneLineAndNoOutput) {
    std::string message = cmsSign("content");
    std::vector<std::string> inputs = {
        dir + "/missing.mobileprovision",
        file("text.mobileprovision", "just some text\n"),
        file("empty.mobileprovision", ""),
        file("cut.mobileprovision", message.substr(0, message.size() / 2)),
        dir,
    };
    for (const auto& input : inputs) {
        auto o = security({"cms", "-D", "-i", input});
        EXPECT_NE(o.status, 0) << input;
        EXPECT_EQ(o.output.rfind("security: ", 0), 0u) << o.output;
        EXPECT_EQ(std::count(o.output.begin(), o.output.end(), '\n'), 1) << o.output;
    }
    EXPECT_NE(security({"cms", "-i", inputs[1]}).status, 0);
    EXPECT_NE(security({"frobnicate"}).status, 0);
    EXPECT_NE(security({}).status, 0);
}

TEST_F(SecurityTool, FindIdentityListsExactlyTheValidCodeSigningIdentities) {
    const auto& pki = TestPKI::shared();
    auto first = pki.issueLeaf({.commonName = "Apple Development: First (ABCDE12345)"});
    auto expired = pki.issueLeaf({.commonName = "Old One", .validity = Validity::Expired});
    auto second = pki.issueLeaf({.commonName = "Apple Distribution: Second (ABCDE12345)"});
    auto noUsage = pki.issueLeaf({.commonName = "Web Server", .codeSigningUsage = false});
    importIdentity(first);
    importIdentity(expired);
    importIdentity(second);
    importIdentity(noUsage);

    auto o = security({"find-identity", "-v", "-p", "codesigning"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, line(1, first, "Apple Development: First (ABCDE12345)") +
                            line(2, second, "Apple Distribution: Second (ABCDE12345)") +
                            "     2 valid identities found\n");

    o = security({"find-identity", "-p", "codesigning"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, "\nPolicy: Code Signing\n  Matching identities\n" +
                            line(1, first, "Apple Development: First (ABCDE12345)") +
                            line(2, expired, "Old One", "CSSMERR_TP_CERT_EXPIRED") +
                            line(3, second, "Apple Distribution: Second (ABCDE12345)") +
                            line(4, noUsage, "Web Server", "CSSMERR_APPLETP_INVALID_EXTENDED_KEY_USAGE") +
                            "     4 identities found\n\n  Valid identities only\n" +
                            line(1, first, "Apple Development: First (ABCDE12345)") +
                            line(2, second, "Apple Distribution: Second (ABCDE12345)") +
                            "     2 valid identities found\n");

    // The basic policy does not ask for the code-signing usage.
    o = security({"find-identity", "-v"});
    EXPECT_NE(o.output.find("\"Web Server\""), std::string::npos);
    EXPECT_NE(o.output.find("     3 valid identities found\n"), std::string::npos);
}

TEST_F(SecurityTool, EmptyKeychainFindsNone) {
    auto o = security({"find-identity", "-v", "-p", "codesigning"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.output, "     0 valid identities found\n");
    EXPECT_FALSE(platform::fs::fileExists(keychainFolder())) << "listing creates nothing";
}

TEST_F(SecurityTool, ImportKeepsOddNamesWholeInEveryPkcs12Flavour) {
    const auto& pki = TestPKI::shared();
    std::string odd = "iPhone Developer: Ça (Ünïcode): \"Q\" (A1B2C3D4E5)";
    auto modern = pki.issueLeaf({.commonName = odd});
    auto legacy = pki.issueLeaf({.commonName = "Legacy: RC2 (3DES)"});
    auto blank = pki.issueLeaf({.commonName = "No password", .keyType = KeyType::EcP256});
    importIdentity(modern, "pass word");
    importIdentity(legacy, "old", Pkcs12Cipher::Legacy);
    importIdentity(blank, "", Pkcs12Cipher::Modern);
    auto o = security({"find-identity", "-v", "-p", "codesigning"});
    EXPECT_EQ(o.output, line(1, modern, odd) + line(2, legacy, "Legacy: RC2 (3DES)") +
                            line(3, blank, "No password") + "     3 valid identities found\n");
    // Also without a -P at all for the bundle made without a password.
    auto another = pki.issueLeaf({.commonName = "Implicit"});
    auto r = security({"import", file("np.p12", pkcs12(another, {}, "", Pkcs12Cipher::Legacy))});
    EXPECT_EQ(r.status, 0) << r.output;
}

// Every file below a folder with its bytes: a whole keychain, to compare.
std::map<std::string, std::string> treeBytes(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[entry.path().string()] = testkit::readFile(entry.path().string());
    return files;
}

TEST_F(SecurityTool, PassphraseOffTheCommandLineAndASecondImportChangesNothing) {
    auto leaf = TestPKI::shared().issueLeaf({.commonName = "Twice"});
    std::string p12 = file("id.p12", pkcs12(leaf, {TestPKI::shared().intermediate()}, "s3cret"));
    ::setenv("IMPORT_TEST_PASSPHRASE", "s3cret", 1);
    auto o = security({"import", p12, "--passphrase-env", "IMPORT_TEST_PASSPHRASE"});
    ASSERT_EQ(o.status, 0) << o.output;
    auto before = treeBytes(keychainFolder());

    o = security({"import", p12, "--passphrase-file", file("pw.txt", "s3cret\n")});
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_NE(o.output.find("already in the keychain"), std::string::npos) << o.output;
    EXPECT_EQ(treeBytes(keychainFolder()), before);
    ::unsetenv("IMPORT_TEST_PASSPHRASE");
}

TEST_F(SecurityTool, FailedImportsSayWhyAndWriteNothing) {
    auto leaf = TestPKI::shared().issueLeaf();
    std::string p12 = pkcs12(leaf, {TestPKI::shared().intermediate()}, "right");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"import", file("a.p12", p12), "-P", "wrong"}, "wrong password"},
        {{"import", file("b.p12", p12)}, "wrong password"},
        {{"import", file("c.p12", p12.substr(0, 200)), "-P", "right"}, "Unknown format"},
        {{"import", file("d.p12", "garbage"), "-P", "right"}, "Unknown format"},
        {{"import", dir + "/none.p12", "-P", "right"}, "No such file"},
        {{"import"}, "no file given"},
        {{"import", file("e.p12", p12), "--passphrase-env", "NO_SUCH_VARIABLE_SET"}, "is not set"},
    };
    for (const auto& c : cases) {
        auto o = security(c.args);
        EXPECT_NE(o.status, 0);
        EXPECT_EQ(o.output.rfind("security: ", 0), 0u) << o.output;
        EXPECT_NE(o.output.find(c.message), std::string::npos) << o.output;
        EXPECT_FALSE(platform::fs::fileExists(keychainFolder()));
    }
}

TEST_F(SecurityTool, CertificatesImportAndIdentitiesDelete) {
    const auto& pki = TestPKI::shared();
    auto o = security({"import", file("chain.pem", certificatesPem({pki.intermediate().certDer, pki.root().certDer}))});
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(o.output, "2 certificates imported.\n");
    // A certificate already held, as a set-up script run twice imports it.
    auto before = treeBytes(keychainFolder());
    o = security({"import", file("root.cer", pki.root().certDer)});
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(o.output.find("imported."), std::string::npos) << o.output;
    EXPECT_NE(o.output.find("already in the keychain"), std::string::npos) << o.output;
    EXPECT_EQ(treeBytes(keychainFolder()), before);

    auto a = pki.issueLeaf({.commonName = "Alpha"});
    auto b = pki.issueLeaf({.commonName = "Beta (B): x"});
    importIdentity(a);
    importIdentity(b);
    o = security({"delete-identity", "-c", "Beta (B): x"});
    EXPECT_EQ(o.status, 0) << o.output;
    std::string lower = a.sha1();
    for (auto& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    o = security({"delete-identity", "-Z", lower});
    EXPECT_EQ(o.status, 0) << o.output;
    EXPECT_EQ(security({"find-identity", "-v", "-p", "codesigning"}).output, "     0 valid identities found\n");
    o = security({"delete-identity", "-Z", a.sha1()});
    EXPECT_NE(o.status, 0);
    EXPECT_NE(o.output.find("could not be found"), std::string::npos);
    EXPECT_NE(security({"delete-identity"}).status, 0);
    // The certificates stay: only identities were deleted.
    EXPECT_EQ(keychain::Store(keychainFolder()).certificates().size(), 2u);
}

}  // namespace
