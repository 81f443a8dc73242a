// Listing identities end to end: the real security command over a keychain
// made with the test PKI.
#include <gtest/gtest.h>

#include <cstdlib>

#include "keychain/Keychain.h"
#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using namespace testkit::pki;

struct Listing {
    std::optional<std::vector<std::string>> names;
    std::optional<std::string> error;
};

Listing listIdentities() {
    QFToolPaths paths = QFToolPaths::defaults();
    paths.security = testkit::binDir() + "/security";
    QFToolPaths::setCurrent(paths);
    auto result = std::make_shared<Listing>();
    QFFileHelper::sharedInstance().getCertificatesSuccess(
        [result](std::vector<std::string> names) { result->names = std::move(names); },
        [result](std::string message) { result->error = std::move(message); });
    testkit::pumpUntil([&] { return result->names || result->error; }, std::chrono::seconds(30));
    return *result;
}

class KeychainIdentities : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("XDG_DATA_HOME", testkit::makeScratchDir("xdg").c_str(), 1); }
};

TEST_F(KeychainIdentities, OnlyTheValidSigningIdentitiesReachTheCaller) {
    const auto& pki = TestPKI::shared();
    const std::string first = "Apple Development: Jürgen Müller (TEAM: 1) (ABCDE12345)";
    const std::string second = "iPhone Distribution: Ça Va: Ltd (ABCDE12345)";
    keychain::Store store;
    for (const auto& leaf : {pki.issueLeaf({.commonName = first}),
                             pki.issueLeaf({.commonName = "Expired", .validity = Validity::Expired}),
                             pki.issueLeaf({.commonName = second}),
                             pki.issueLeaf({.commonName = "No usage", .codeSigningUsage = false})}) {
        auto imported = store.importPkcs12(pkcs12(leaf, {pki.intermediate()}, "pw"), "pw");
        ASSERT_TRUE(imported) << imported.text();
    }

    auto listing = listIdentities();
    EXPECT_FALSE(listing.error);
    ASSERT_TRUE(listing.names);
    EXPECT_EQ(*listing.names, (std::vector<std::string>{first, second}));
}

TEST_F(KeychainIdentities, EmptyKeychainReportsNoCertificates) {
    auto listing = listIdentities();
    EXPECT_FALSE(listing.names);
    EXPECT_EQ(listing.error, "There aren't Signign Certificates");
}

}  // namespace
