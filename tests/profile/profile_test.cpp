#include <gtest/gtest.h>

#include <openssl/cms.h>

#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "platform/plist.h"
#include "profile/CmsContent.h"
#include "profile/QFProvisioningProfile.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using namespace testkit::pki;
using platform::plist::Array;
using platform::plist::Data;
using platform::plist::Dict;
using platform::plist::Value;
using Clock = std::chrono::system_clock;

std::string writeProfile(const std::string& bytes, const std::string& name = "p.mobileprovision") {
    std::string path = testkit::makeScratchDir("profile") + "/" + name;
    testkit::writeFile(path, bytes);
    return path;
}

// A record built from a dictionary given directly, judged at `now`.
QFProvisioningProfile recordOf(Value dict, Clock::time_point now = Clock::now()) {
    QFProvisioningProfile record(std::nullopt);
    record.setProfileDictionary(std::move(dict));
    record.processDictionary(now);
    return record;
}

Dict withEntitlements(Dict ents, Dict rest = {}) {
    rest["Entitlements"] = std::move(ents);
    return rest;
}

void expectEmpty(const QFProvisioningProfile& r) {
    EXPECT_FALSE(r.profileDictionary());
    EXPECT_FALSE(r.name());
    EXPECT_FALSE(r.teamName());
    EXPECT_FALSE(r.UUID());
    EXPECT_FALSE(r.appIdName());
    EXPECT_FALSE(r.teamIdentifier());
    EXPECT_FALSE(r.applicationIdentifier());
    EXPECT_FALSE(r.bundleIdentifier());
    EXPECT_FALSE(r.creationDate());
    EXPECT_FALSE(r.expirationDate());
    EXPECT_FALSE(r.devices());
    EXPECT_FALSE(r.certificates());
    EXPECT_FALSE(r.prefixes());
    EXPECT_EQ(r.timeToLive(), 0);
    EXPECT_EQ(r.version(), 0);
    EXPECT_EQ(r.debug(), "NO");
    EXPECT_EQ(r.valid(), "NO");
}

// The content may be an XML or a binary property list; both read alike.
TEST(ProfileDecoding, SignedXmlAndBinaryProfilesFillEveryField) {
    for (bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary content" : "XML content");
        ProfileOptions o;
        o.name = "Team Profile: com.example.app";
        o.uuid = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
        o.version = 3;
        o.timeToLive = 7;
        o.devices = {"dev-1", "dev-2"};
        std::string path = writeProfile(makeProfile(o, binary));
        testing::internal::CaptureStderr();
        QFProvisioningProfile r(path);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

        EXPECT_EQ(r.path(), path);
        ASSERT_TRUE(r.profileDictionary());
        EXPECT_EQ(*r.profileDictionary(), profileValue(o));
        EXPECT_EQ(r.name(), o.name);
        EXPECT_EQ(r.teamName(), "Test Team");
        EXPECT_EQ(r.appIdName(), "Test App");
        EXPECT_EQ(r.teamIdentifier(), "ABCDE12345");
        EXPECT_EQ(r.UUID(), o.uuid);
        EXPECT_EQ(r.version(), 3);
        EXPECT_EQ(r.timeToLive(), 7);
        EXPECT_EQ(r.creationDate(), o.creationDate);
        EXPECT_EQ(r.expirationDate(), o.expirationDate);
        EXPECT_EQ(r.applicationIdentifier(), "ABCDE12345.com.example.app");
        EXPECT_EQ(r.bundleIdentifier(), "com.example.app");
        EXPECT_EQ(r.debug(), "YES");
        EXPECT_EQ(r.valid(), "YES");
        ASSERT_TRUE(r.devices());
        EXPECT_EQ(*r.devices(), (Array{Value("dev-1"), Value("dev-2")}));
        ASSERT_TRUE(r.prefixes());
        EXPECT_EQ(*r.prefixes(), Array{Value("ABCDE12345")});
        ASSERT_TRUE(r.certificates());
        ASSERT_EQ(r.certificates()->size(), 1u);
        EXPECT_TRUE(r.certificates()->at(0).asData());
    }
}

TEST(ProfileDecoding, ProfileSignedByTheOpensslCommandDecodes) {
    const auto& pki = TestPKI::shared();
    auto leaf = pki.issueLeaf({.commonName = "iPhone Distribution: Example (ABCDE12345)"});
    std::string dir = testkit::makeScratchDir("openssl");
    ProfileOptions o;
    o.name = "Made by openssl";
    o.bundleId = "*";
    o.getTaskAllow = false;
    testkit::writeFile(dir + "/content.plist", profilePlist(o));
    testkit::writeFile(dir + "/signer.pem", leaf.certPem());
    testkit::writeFile(dir + "/key.pem", leaf.keyPem());
    testkit::writeFile(dir + "/chain.pem", certificatesPem({pki.intermediate().certDer, pki.root().certDer}));
    std::string out;
    ASSERT_EQ(testkit::run({"/usr/bin/openssl", "cms", "-sign", "-nodetach", "-outform", "DER", "-binary", "-in",
                            dir + "/content.plist", "-signer", dir + "/signer.pem", "-inkey", dir + "/key.pem",
                            "-certfile", dir + "/chain.pem", "-out", dir + "/x.mobileprovision"},
                           &out),
              0)
        << out;
    QFProvisioningProfile r(dir + "/x.mobileprovision");
    EXPECT_EQ(r.name(), "Made by openssl");
    EXPECT_EQ(r.applicationIdentifier(), "ABCDE12345.*");
    EXPECT_EQ(r.bundleIdentifier(), "*");
    EXPECT_EQ(r.debug(), "NO");
    EXPECT_EQ(r.valid(), "YES");
}

TEST(ProfileDecoding, ExpiredProfileDecodesAsNotValid) {
    ProfileOptions o;
    o.expirationDate = std::chrono::time_point_cast<std::chrono::seconds>(Clock::now()) - std::chrono::hours(1);
    QFProvisioningProfile r(writeProfile(makeProfile(o)));
    EXPECT_EQ(r.name(), "Test Profile");
    EXPECT_EQ(r.valid(), "NO");
}

TEST(ProfileDecoding, ProfileWithoutEntitlementsKeepsTheRest) {
    ProfileOptions o;
    o.withEntitlements = false;
    QFProvisioningProfile r(writeProfile(makeProfile(o)));
    EXPECT_EQ(r.name(), "Test Profile");
    EXPECT_FALSE(r.applicationIdentifier());
    EXPECT_FALSE(r.bundleIdentifier());
    EXPECT_FALSE(r.teamIdentifier());
    EXPECT_EQ(r.debug(), "NO");
    EXPECT_EQ(r.valid(), "YES");
}

TEST(ProfileDecoding, UndecodableFilesGiveARecordWithOnlyItsPath) {
    std::string dir = testkit::makeScratchDir("bad");
    std::string xml = profilePlist();
    std::string signedOther = cmsSign(xml);
    struct Case {
        std::string what, path;
    };
    std::vector<Case> cases = {
        {"missing file", dir + "/missing.mobileprovision"},
        {"plain text", writeProfile("hello, not CMS at all\n")},
        {"bare property list", writeProfile(xml)},
        {"empty file", writeProfile("")},
        {"content not UTF-8", writeProfile(cmsSign("<plist><dict><key>Name</key><string>\xff\xfe</string></dict></plist>"))},
        {"top-level array", writeProfile(cmsSign(platform::plist::toXml(Value(Array{Value("Name")}))))},
        {"truncated message", writeProfile(signedOther.substr(0, signedOther.size() - 40))},
    };
    std::filesystem::create_directories(dir + "/folder.mobileprovision");
    // Never read: a pipe (reading it would wait for ever) and a file larger
    // than any profile (sparse, so no disk is spent on it).
    const std::string pipe = dir + "/pipe.mobileprovision", huge = dir + "/huge.mobileprovision";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    testkit::writeFile(huge, makeProfile());
    std::filesystem::resize_file(huge, 17 * 1024 * 1024);
    cases.push_back({"pipe", pipe});
    cases.push_back({"larger than any profile", huge});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        QFProvisioningProfile r(c.path);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not decode file.\n");
        EXPECT_EQ(r.path(), c.path);
        expectEmpty(r);
    }
    testing::internal::CaptureStderr();
    QFProvisioningProfile folder(dir + "/folder.mobileprovision");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not decode file.\n");
    EXPECT_EQ(folder.path(), dir + "/folder.mobileprovision");
    expectEmpty(folder);

    QFProvisioningProfile absent(std::nullopt);
    EXPECT_FALSE(absent.path());
    expectEmpty(absent);
}

TEST(ProfileDecoding, TruncatedMessagesNeverCrash) {
    std::string message = makeProfile();
    std::string path = testkit::makeScratchDir("trunc") + "/t.mobileprovision";
    for (size_t n = 0; n < message.size(); n += 13) {
        testkit::writeFile(path, message.substr(0, n));
        testing::internal::CaptureStderr();
        QFProvisioningProfile r(path);
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(r.name()) << n;
    }
}

TEST(CmsContent, ReturnsTheSignedBytesAndRefusesOtherMessages) {
    std::string content("any\0bytes\xff at all", 17);
    EXPECT_EQ(profile::cmsEncapsulatedContent(cmsSign(content)), content);
    std::string error;
    EXPECT_FALSE(profile::cmsEncapsulatedContent("nope", &error));
    EXPECT_EQ(error, "not a CMS message");
    EXPECT_FALSE(profile::cmsEncapsulatedContent("", &error));

    // A detached signature and a message of another type, made by the openssl command.
    const auto& pki = TestPKI::shared();
    auto leaf = pki.issueLeaf();
    std::string dir = testkit::makeScratchDir("cms");
    testkit::writeFile(dir + "/in", content);
    testkit::writeFile(dir + "/cert.pem", leaf.certPem());
    testkit::writeFile(dir + "/key.pem", leaf.keyPem());
    std::string out;
    ASSERT_EQ(testkit::run({"/usr/bin/openssl", "cms", "-sign", "-outform", "DER", "-binary", "-in", dir + "/in",
                            "-signer", dir + "/cert.pem", "-inkey", dir + "/key.pem", "-out", dir + "/detached"},
                           &out),
              0)
        << out;
    EXPECT_FALSE(profile::cmsEncapsulatedContent(testkit::readFile(dir + "/detached"), &error));
    EXPECT_EQ(error, "the message has no embedded content");
    ASSERT_EQ(testkit::run({"/usr/bin/openssl", "cms", "-data_create", "-outform", "DER", "-binary", "-in",
                            dir + "/in", "-out", dir + "/data"},
                           &out),
              0)
        << out;
    EXPECT_FALSE(profile::cmsEncapsulatedContent(testkit::readFile(dir + "/data"), &error));
    EXPECT_EQ(error, "not a CMS SignedData message");
}

// OpenSSL's full decoder, as the reference for what the content is.
std::optional<std::string> opensslContent(const std::string& message) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(message.data());
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(message.size()));
    std::optional<std::string> out;
    if (ASN1_OCTET_STRING** c = cms ? CMS_get0_content(cms) : nullptr; c && *c)
        out = std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*c)), ASN1_STRING_length(*c));
    CMS_ContentInfo_free(cms);
    return out;
}

TEST(CmsContent, AgreesWithOpensslOnDerAndOnStreamedBer) {
    const auto& pki = TestPKI::shared();
    auto leaf = pki.issueLeaf();
    std::string dir = testkit::makeScratchDir("ber");
    // Large enough that the streamed form cuts the content into chunks.
    std::string content = profilePlist({.devices = std::vector<std::string>(400, "00008030-001A2B3C4D5E6F70")});
    testkit::writeFile(dir + "/in", content);
    testkit::writeFile(dir + "/cert.pem", leaf.certPem());
    testkit::writeFile(dir + "/key.pem", leaf.keyPem());
    std::string out;
    ASSERT_EQ(testkit::run({"/usr/bin/openssl", "cms", "-sign", "-nodetach", "-stream", "-outform", "DER", "-binary",
                            "-in", dir + "/in", "-signer", dir + "/cert.pem", "-inkey", dir + "/key.pem", "-out",
                            dir + "/ber"},
                           &out),
              0)
        << out;
    std::string ber = testkit::readFile(dir + "/ber");
    ASSERT_EQ(ber.substr(0, 2), std::string("\x30\x80", 2)) << "openssl -stream writes indefinite lengths";
    EXPECT_EQ(profile::cmsEncapsulatedContent(ber), content);
    EXPECT_EQ(opensslContent(ber), content);
    std::string der = cmsSign(content);
    EXPECT_EQ(profile::cmsEncapsulatedContent(der), content);
    EXPECT_EQ(opensslContent(der), content);
}

TEST(CmsContent, DamagedMessagesAreRefusedWithoutReadingPastTheirEnd) {
    std::string message = cmsSign("<plist><dict/></plist>");
    for (size_t n = 0; n < message.size(); ++n)
        EXPECT_FALSE(profile::cmsEncapsulatedContent(message.substr(0, n))) << "cut at " << n;
    // Random damage: whatever the answer, it must come without a fault.
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = message;
        for (int k = 0; k < 1 + round % 4; ++k)
            damaged[random() % damaged.size()] = static_cast<char>(random() & 0xFF);
        auto content = profile::cmsEncapsulatedContent(damaged);
        if (content) {
            EXPECT_LE(content->size(), damaged.size());
        }
    }
    // Nesting without end, and lengths beyond the buffer.
    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += std::string("\x30\x80", 2);
    EXPECT_FALSE(profile::cmsEncapsulatedContent(deep));
    EXPECT_FALSE(profile::cmsEncapsulatedContent(std::string("\x30\x88\xff\xff\xff\xff\xff\xff\xff\xff", 10)));
    EXPECT_FALSE(profile::cmsEncapsulatedContent(std::string("\x30\x84\x7f\xff\xff\xff\x06", 7)));
}

TEST(ProfileFields, PrefixStrippingRemovesEveryOccurrenceWithItsDot) {
    struct Case {
        std::string appId;
        Array prefixes;
        std::string bundle;
    } cases[] = {
        {"ABCDE12345.com.example.app", {Value("ABCDE12345")}, "com.example.app"},
        {"ABCDE12345.*", {Value("ABCDE12345")}, "*"},
        {"ABCDE12345.com.ABCDE12345.app", {Value("ABCDE12345")}, "com.app"},
        {"com.example.appABCDE12345", {Value("ABCDE12345")}, "com.example.appABCDE12345"},
        {"AB.CD.app", {Value("AB"), Value("CD")}, "app"},
        {"ABC.AB.x", {Value("AB"), Value("ABC")}, "x"},
        {"QQ.app", {Value("ZZ"), Value(int64_t{5}), Value(""), Value("QQ")}, "app"},
        {"abcde12345.app", {Value("ABCDE12345")}, "abcde12345.app"},
    };
    for (const auto& c : cases) {
        auto r = recordOf(withEntitlements({{"application-identifier", c.appId}},
                                           {{"ApplicationIdentifierPrefix", c.prefixes}}));
        EXPECT_EQ(r.bundleIdentifier(), c.bundle) << c.appId;
        EXPECT_EQ(r.applicationIdentifier(), c.appId);
    }
    auto noPrefix = recordOf(withEntitlements({{"application-identifier", "ABCDE12345.com.x"}}));
    EXPECT_EQ(noPrefix.bundleIdentifier(), "ABCDE12345.com.x");
    EXPECT_FALSE(noPrefix.prefixes());
}

TEST(ProfileFields, DebugIsYesOnlyForANumericOne) {
    struct Case {
        std::optional<Value> value;
        std::string debug;
    } cases[] = {
        {Value(true), "YES"},     {Value(int64_t{1}), "YES"}, {Value(1.0), "YES"},
        {Value(false), "NO"},     {Value(int64_t{0}), "NO"},  {Value(int64_t{2}), "NO"},
        {Value("1"), "NO"},       {Value("YES"), "NO"},       {std::nullopt, "NO"},
    };
    for (const auto& c : cases) {
        Dict ents;
        if (c.value) ents["get-task-allow"] = *c.value;
        EXPECT_EQ(recordOf(withEntitlements(ents)).debug(), c.debug);
    }
    // get-task-allow outside the entitlements does not count.
    EXPECT_EQ(recordOf(Dict{{"get-task-allow", true}}).debug(), "NO");
}

TEST(ProfileFields, ValidUntilTheExpirationInstantItself) {
    auto now = Clock::now();
    using std::chrono::seconds;
    EXPECT_EQ(recordOf(Dict{{"ExpirationDate", now - seconds(1)}}, now).valid(), "NO");
    EXPECT_EQ(recordOf(Dict{{"ExpirationDate", now}}, now).valid(), "YES");
    EXPECT_EQ(recordOf(Dict{{"ExpirationDate", now + seconds(1)}}, now).valid(), "YES");
    EXPECT_EQ(recordOf(Dict{}, now).valid(), "NO");
    EXPECT_EQ(recordOf(Dict{{"ExpirationDate", "2099-01-01T00:00:00Z"}}, now).valid(), "NO");
}

TEST(ProfileFields, IntegersReadNumbersAndLeadingDigitsElseZero) {
    struct Case {
        std::optional<Value> value;
        int64_t expected;
    } cases[] = {
        {std::nullopt, 0},       {Value(int64_t{365}), 365}, {Value(7.9), 7},      {Value(true), 1},
        {Value(" 42days"), 42},  {Value("-3"), -3},          {Value("none"), 0},   {Value(Array{}), 0},
        {Value("99999999999999999999999"), INT64_MAX},       {Value(1e300), INT64_MAX},
    };
    for (const auto& c : cases) {
        Dict d;
        if (c.value) d["TimeToLive"] = d["Version"] = *c.value;
        auto r = recordOf(d);
        EXPECT_EQ(r.timeToLive(), c.expected);
        EXPECT_EQ(r.version(), c.expected);
    }
}

TEST(ProfileFields, ValuesOfTheWrongTypeLeaveTheirFieldEmpty) {
    auto r = recordOf(Dict{
        {"Name", int64_t{5}},
        {"TeamName", Array{}},
        {"UUID", Data{"x"}},
        {"AppIDName", true},
        {"CreationDate", "yesterday"},
        {"ExpirationDate", int64_t{0}},
        {"ProvisionedDevices", Dict{}},
        {"DeveloperCertificates", "cert"},
        {"ApplicationIdentifierPrefix", "ABCDE12345"},
        {"Entitlements", "not a dictionary"},
    });
    EXPECT_FALSE(r.name());
    EXPECT_FALSE(r.teamName());
    EXPECT_FALSE(r.UUID());
    EXPECT_FALSE(r.appIdName());
    EXPECT_FALSE(r.creationDate());
    EXPECT_FALSE(r.expirationDate());
    EXPECT_FALSE(r.devices());
    EXPECT_FALSE(r.certificates());
    EXPECT_FALSE(r.prefixes());
    EXPECT_FALSE(r.applicationIdentifier());
    EXPECT_EQ(r.valid(), "NO");
    EXPECT_EQ(r.debug(), "NO");

    auto inner = recordOf(withEntitlements({{"application-identifier", int64_t{1}},
                                            {"com.apple.developer.team-identifier", Array{}}},
                                           {{"ApplicationIdentifierPrefix", Array{Value("A")}}}));
    EXPECT_FALSE(inner.applicationIdentifier());
    EXPECT_FALSE(inner.bundleIdentifier());
    EXPECT_FALSE(inner.teamIdentifier());
}

}  // namespace
