// The test PKI itself: what other tests build on must look like the real
// thing to the openssl command.
#include <gtest/gtest.h>

#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using namespace testkit::pki;

std::string openssl(const std::vector<std::string>& args, int* rc = nullptr) {
    std::vector<std::string> argv{"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    int code = testkit::run(argv, &out);
    if (rc) *rc = code;
    return out;
}

TEST(TestPKI, LeafCarriesSubjectUsageAndCriticalVendorExtension) {
    auto leaf = TestPKI::shared().issueLeaf({.commonName = "iPhone Developer: Zoë Smith (A1: (B))"});
    std::string dir = testkit::makeScratchDir("pki");
    testkit::writeFile(dir + "/leaf.der", leaf.certDer);
    int rc = 0;
    std::string text = openssl({"x509", "-inform", "DER", "-in", dir + "/leaf.der", "-noout", "-text", "-nameopt",
                                "utf8,sep_multiline"},
                               &rc);
    ASSERT_EQ(rc, 0) << text;
    EXPECT_NE(text.find("CN=iPhone Developer: Zoë Smith (A1: (B))"), std::string::npos) << text;
    EXPECT_NE(text.find("OU=ABCDE12345"), std::string::npos);
    EXPECT_NE(text.find("Code Signing"), std::string::npos);
    EXPECT_NE(text.find("1.2.840.113635.100.6.1.2: critical"), std::string::npos) << text;

    std::string fp = openssl({"x509", "-inform", "DER", "-in", dir + "/leaf.der", "-noout", "-fingerprint", "-sha1"});
    std::string hex;
    for (char c : fp.substr(fp.find('=') + 1))
        if (c != ':' && c != '\n') hex += c;
    EXPECT_EQ(hex, leaf.sha1());
}

TEST(TestPKI, OptionsRemoveUsageAndVendorExtensionAndShiftValidity) {
    const auto& pki = TestPKI::shared();
    auto plain = pki.issueLeaf({.codeSigningUsage = false, .vendorExtension = false, .validity = Validity::Expired});
    std::string dir = testkit::makeScratchDir("pki");
    testkit::writeFile(dir + "/leaf.pem", plain.certPem());
    std::string text = openssl({"x509", "-in", dir + "/leaf.pem", "-noout", "-text"});
    EXPECT_EQ(text.find("Code Signing"), std::string::npos);
    EXPECT_EQ(text.find("1.2.840.113635.100.6.1.2"), std::string::npos);
    int rc = 0;
    openssl({"x509", "-in", dir + "/leaf.pem", "-noout", "-checkend", "0"}, &rc);
    EXPECT_NE(rc, 0) << "an expired certificate must fail -checkend 0";

    testkit::writeFile(dir + "/inter.pem", pki.intermediate().certPem());
    text = openssl({"x509", "-in", dir + "/inter.pem", "-noout", "-text"});
    EXPECT_NE(text.find("1.2.840.113635.100.6.2.1"), std::string::npos);
    EXPECT_EQ(text.find("1.2.840.113635.100.6.2.1: critical"), std::string::npos);
}

TEST(TestPKI, ChainVerifiesWhenTheVendorExtensionIsTolerated) {
    const auto& pki = TestPKI::shared();
    auto leaf = pki.issueLeaf({.keyType = KeyType::EcP256});
    std::string dir = testkit::makeScratchDir("pki");
    testkit::writeFile(dir + "/root.pem", pki.root().certPem());
    testkit::writeFile(dir + "/inter.pem", pki.intermediate().certPem());
    testkit::writeFile(dir + "/leaf.pem", leaf.certPem());
    int rc = 0;
    std::string out = openssl({"verify", "-ignore_critical", "-CAfile", dir + "/root.pem", "-untrusted",
                               dir + "/inter.pem", dir + "/leaf.pem"},
                              &rc);
    EXPECT_EQ(rc, 0) << out;
    testkit::writeFile(dir + "/key.pem", leaf.keyPem());
    out = openssl({"pkey", "-in", dir + "/key.pem", "-noout", "-text"}, &rc);
    EXPECT_EQ(rc, 0) << out;
}

TEST(TestPKI, Pkcs12BundlesOpenWithOpensslInEveryCipherAndPassword) {
    const auto& pki = TestPKI::shared();
    auto leaf = pki.issueLeaf();
    std::string dir = testkit::makeScratchDir("pki");
    struct Case {
        Pkcs12Cipher cipher;
        std::string password;
        std::vector<std::string> extra;
    } cases[] = {
        {Pkcs12Cipher::Modern, "s3cret", {}},
        {Pkcs12Cipher::Modern, "", {}},
        {Pkcs12Cipher::Legacy, "s3cret", {"-legacy"}},
    };
    for (const auto& c : cases) {
        testkit::writeFile(dir + "/id.p12", pkcs12(leaf, {pki.intermediate()}, c.password, c.cipher));
        std::vector<std::string> args{"pkcs12", "-in", dir + "/id.p12", "-passin", "pass:" + c.password, "-nokeys"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        int rc = 0;
        std::string out = openssl(args, &rc);
        EXPECT_EQ(rc, 0) << out;
        EXPECT_NE(out.find("friendlyName: Apple Development: Test User (ABCDE12345)"), std::string::npos) << out;
    }
}

TEST(TestPKI, SignedProfileVerifiesAndEmbedsTheContentVerbatim) {
    const auto& pki = TestPKI::shared();
    std::string content = profilePlist({.name = "Wildcard", .bundleId = "*"});
    std::string dir = testkit::makeScratchDir("pki");
    testkit::writeFile(dir + "/p.mobileprovision", cmsSign(content));
    testkit::writeFile(dir + "/root.pem", pki.root().certPem());
    int rc = 0;
    std::string out = openssl({"cms", "-verify", "-inform", "DER", "-in", dir + "/p.mobileprovision", "-CAfile",
                               dir + "/root.pem", "-purpose", "any", "-ignore_critical", "-binary", "-out", dir + "/content"},
                              &rc);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_EQ(testkit::readFile(dir + "/content"), content);
    EXPECT_NE(content.find("<string>ABCDE12345.*</string>"), std::string::npos);
    EXPECT_EQ(content.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);

    auto parsed = platform::plist::parse(profilePlist({}, true));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, profileValue({}));
}

}  // namespace
