// The CMS signer fed with certificates and a key the keychain has already
// decoded: it must hold them to the same checks as the DER it decodes itself.
#include <gtest/gtest.h>

#include "codesign/CmsSignature.h"
#include "keychain/Keychain.h"
#include "testkit/pki.h"

namespace {

TEST(CmsSigner, KeysAndCertificatesDecodedByTheKeychainAreStillCheckedBeforeSigning) {
    const auto& ca = testkit::pki::TestPKI::shared();
    auto leaf = ca.issueLeaf({});
    keychain::Store store;  // decodes only; nothing is stored
    codesign::SigningIdentity identity;
    identity.certificateDer = leaf.certDer;
    identity.privateKeyDer = leaf.keyDer;
    identity.chainDer = {ca.intermediate().certDer, ca.root().certDer};
    identity.certificate = store.decodedCertificate(leaf.certDer);
    identity.chain = {store.decodedCertificate(ca.intermediate().certDer), store.decodedCertificate(ca.root().certDer)};
    ASSERT_TRUE(identity.certificate && identity.chain[0] && identity.chain[1]);

    // A decoded key of another identity is refused, as its DER would be.
    identity.privateKey = store.decodedPrivateKey(testkit::pki::generateKeyDer());
    ASSERT_TRUE(identity.privateKey);
    auto refused = codesign::CmsSigner::create(identity);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.text(), "the private key does not match the signing certificate");

    // The matching one signs, and the signature carries the chain it was given.
    identity.privateKey = store.decodedPrivateKey(leaf.keyDer);
    EXPECT_EQ(identity.privateKey, store.decodedPrivateKey(leaf.keyDer));  // decoded once
    auto created = codesign::CmsSigner::create(identity);
    ASSERT_TRUE(created) << created.text();
    const auto& signer = *created;
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->leafFacts().commonName, "Apple Development: Test User (ABCDE12345)");
    ASSERT_EQ(signer->chainFacts().size(), 2u);
    EXPECT_TRUE(signer->chainFacts()[1].selfSigned);
    const std::string codeDirectory = "a code directory";
    auto cms = signer->sign(codeDirectory, {{codesign::HashType::SHA256, std::string(32, 'h')}});
    ASSERT_TRUE(cms) << cms.text();
    auto check = codesign::verifyCms(*cms, codeDirectory);
    EXPECT_TRUE(check.signatureValid) << check.problem;
    ASSERT_EQ(check.chainDer.size(), 3u);
    EXPECT_EQ(check.chainDer[0], leaf.certDer);
}

}  // namespace
