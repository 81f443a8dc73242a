#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <memory>

#include "keychain/Keychain.h"
#include "platform/files.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using namespace testkit::pki;
using keychain::Store;

const std::string kOddName = "Apple Development: Zoë O'Brien (A1B2: C3) ünïcode";

// Leaves are costly to make: one set per process.
struct Leaves {
    Credential good = TestPKI::shared().issueLeaf({.commonName = kOddName});
    Credential second = TestPKI::shared().issueLeaf({.commonName = "Apple Distribution: Second (ABCDE12345)"});
    Credential expired = TestPKI::shared().issueLeaf({.commonName = "Expired", .validity = Validity::Expired});
    Credential future = TestPKI::shared().issueLeaf({.commonName = "Future", .validity = Validity::NotYetValid});
    Credential noUsage = TestPKI::shared().issueLeaf({.commonName = "No usage", .codeSigningUsage = false});
    Credential ec = TestPKI::shared().issueLeaf({.commonName = "EC key", .keyType = KeyType::EcP256});
};
const Leaves& leaves() {
    static const Leaves l;
    return l;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

keychain::Identity identityOf(const Credential& c) {
    return {*keychain::Certificate::fromDer(c.certDer), c.keyDer};
}

class KeychainStore : public ::testing::Test {
protected:
    std::string location = testkit::makeScratchDir("kc") + "/ipa-resigner/keychain";
    Store store{location};

    void import(const Credential& c, const std::string& password = "pw", Pkcs12Cipher cipher = Pkcs12Cipher::Modern) {
        auto imported = store.importPkcs12(pkcs12(c, {TestPKI::shared().intermediate()}, password, cipher), password);
        ASSERT_TRUE(imported) << imported.text();
    }
};

TEST_F(KeychainStore, ImportedIdentityComesThroughWholeWithPrivateModes) {
    import(leaves().good);
    auto ids = store.identities();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].certificate.commonName, kOddName);
    EXPECT_EQ(ids[0].certificate.sha1, leaves().good.sha1());
    EXPECT_EQ(ids[0].certificate.der, leaves().good.certDer);
    EXPECT_EQ(Store::invalidReason(ids[0]), "") << "the critical vendor extension must not invalidate";

    EXPECT_EQ(modeOf(location), 0700u);
    EXPECT_EQ(modeOf(location + "/identities"), 0700u);
    std::string folder = location + "/identities/" + platform::fs::contentsOfDirectory(location + "/identities")[0];
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(folder + "/key.der"), 0600u);
    EXPECT_EQ(modeOf(folder + "/cert.der"), 0600u);

    // The intermediate of the bundle went to the certificates.
    auto certs = store.certificates();
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0].sha1, TestPKI::shared().intermediate().sha1());
}

TEST_F(KeychainStore, EveryPkcs12FlavourImports) {
    import(leaves().good, "", Pkcs12Cipher::Modern);
    import(leaves().second, "legacy-pw", Pkcs12Cipher::Legacy);
    import(leaves().ec, "", Pkcs12Cipher::Legacy);
    auto ids = store.identities();
    ASSERT_EQ(ids.size(), 3u);
    for (const auto& id : ids) EXPECT_EQ(Store::invalidReason(id), "") << id.certificate.commonName;
}

TEST_F(KeychainStore, BadInputIsRefusedAndNothingIsWritten) {
    std::string p12 = pkcs12(leaves().good, {}, "right");
    struct Case {
        std::string bytes, password, message;
    } cases[] = {
        {p12, "wrong", "MAC verification failed during PKCS12 import (wrong password?)"},
        {p12, "", "MAC verification failed during PKCS12 import (wrong password?)"},
        {p12.substr(0, p12.size() / 2), "right", "Unknown format in import."},
        {"not a bundle at all", "right", "Unknown format in import."},
        {"", "", "Unknown format in import."},
    };
    for (const auto& c : cases) {
        auto imported = store.importPkcs12(c.bytes, c.password);
        ASSERT_FALSE(imported);
        EXPECT_EQ(imported.text(), c.message);
    }
    EXPECT_FALSE(platform::fs::fileExists(location));

    auto imported = store.importCertificates("-----BEGIN CERTIFICATE-----\nnonsense\n-----END CERTIFICATE-----\n");
    ASSERT_FALSE(imported);
    EXPECT_EQ(imported.text(), "Unknown format in import.");
    EXPECT_FALSE(platform::fs::fileExists(location));
}

TEST_F(KeychainStore, ACertificateImportedBeforeItsIdentityCountsAsTheIdentitys) {
    auto imported = store.importCertificates(leaves().good.certDer);
    ASSERT_TRUE(imported) << imported.text();
    EXPECT_EQ(store.certificates().size(), 1u);
    import(leaves().good);
    auto certs = store.certificates();
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(certs[0].sha1, TestPKI::shared().intermediate().sha1());
}

TEST_F(KeychainStore, DuplicateIdentityIsRefused) {
    import(leaves().good);
    auto imported = store.importPkcs12(pkcs12(leaves().good, {}, "pw"), "pw");
    ASSERT_FALSE(imported);
    EXPECT_EQ(imported.text(), "The specified item already exists in the keychain.");
    EXPECT_EQ(store.identities().size(), 1u);
}

TEST_F(KeychainStore, OrderOfAdditionSurvivesRemoval) {
    import(leaves().good);
    import(leaves().second);
    import(leaves().ec);
    auto removed = store.removeIdentity(leaves().second.sha1());
    ASSERT_TRUE(removed) << removed.text();
    import(leaves().expired);
    std::vector<std::string> names;
    for (const auto& id : store.identities()) names.push_back(id.certificate.commonName);
    EXPECT_EQ(names, (std::vector<std::string>{kOddName, "EC key", "Expired"}));
    for (const auto& name : platform::fs::contentsOfDirectory(location + "/identities"))
        EXPECT_NE(name[0], '.') << "no leftovers of the removal";

    removed = store.removeIdentity(kOddName);
    EXPECT_TRUE(removed) << removed.text();
    removed = store.removeIdentity(kOddName);
    ASSERT_FALSE(removed);
    EXPECT_NE(removed.text().find("could not be found"), std::string::npos);
}

TEST_F(KeychainStore, RemovalByAmbiguousNameIsRefused) {
    auto twin = TestPKI::shared().issueLeaf({.commonName = kOddName});
    import(leaves().good);
    import(twin);
    EXPECT_FALSE(store.removeIdentity(kOddName));
    EXPECT_EQ(store.identities().size(), 2u);
    auto removed = store.removeIdentity(twin.sha1());
    EXPECT_TRUE(removed) << removed.text();
}

// Callers decide on the kind of a failure, never on its text.
TEST_F(KeychainStore, FailuresCarryTheirKind) {
    using platform::ErrorKind;
    import(leaves().good);
    std::string p12 = pkcs12(leaves().second, {}, "right");
    testkit::writeFile(location + "-parent/file", "a file where a folder must go");
    Store unwritable(location + "-parent/file/keychain");
    struct Case {
        const char* what;
        platform::Result<> result;
        ErrorKind kind;
    } cases[] = {
        {"wrong password", store.importPkcs12(p12, "wrong"), ErrorKind::Failed},
        {"not a bundle", store.importPkcs12("not a bundle", "right"), ErrorKind::Malformed},
        {"known identity", store.importPkcs12(pkcs12(leaves().good, {}, "pw"), "pw"), ErrorKind::Exists},
        {"no keychain folder", unwritable.importPkcs12(p12, "right"), ErrorKind::Io},
        {"unknown identity", store.removeIdentity("Nobody"), ErrorKind::NotFound},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.result) << c.what;
        EXPECT_EQ(c.result.kind(), c.kind) << c.what;
    }
    auto certificates = store.importCertificates("nonsense");
    ASSERT_FALSE(certificates);
    EXPECT_EQ(certificates.kind(), ErrorKind::Malformed);
    certificates = store.importCertificates(leaves().good.certDer);
    ASSERT_FALSE(certificates);
    EXPECT_EQ(certificates.kind(), ErrorKind::Exists);
}

TEST_F(KeychainStore, FindIdentityBySha1InAnyCaseOrByNamePrefersTheValidOne) {
    // An expired certificate with the same name, added first.
    auto oldOne = TestPKI::shared().issueLeaf({.commonName = kOddName, .validity = Validity::Expired});
    import(oldOne);
    import(leaves().good);
    auto byName = store.findIdentity(kOddName);
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->certificate.sha1, leaves().good.sha1());
    std::string lower = oldOne.sha1();
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto bySha = store.findIdentity(lower);
    ASSERT_TRUE(bySha);
    EXPECT_EQ(bySha->certificate.sha1, oldOne.sha1());
    EXPECT_FALSE(store.findIdentity("Nobody"));
    EXPECT_FALSE(store.findIdentity(kOddName.substr(0, 10)));
}

TEST_F(KeychainStore, ChainRunsThroughTheIntermediateToTheRootDespiteVendorExtensions) {
    import(leaves().good);
    auto leaf = store.identities().at(0).certificate;
    auto partial = store.chainFor(leaf);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].sha1, TestPKI::shared().intermediate().sha1());

    auto added = store.importCertificates(TestPKI::shared().root().certPem());
    ASSERT_TRUE(added) << added.text();
    EXPECT_EQ(*added, 1);
    auto chain = store.chainFor(leaf);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0].sha1, TestPKI::shared().intermediate().sha1());
    EXPECT_EQ(chain[1].sha1, TestPKI::shared().root().sha1());

    // A certificate with the same subject but another key is not taken as the issuer.
    TestPKI other;
    Store lone(testkit::makeScratchDir("kc2") + "/kc");
    ASSERT_TRUE(lone.importCertificates(certificatesPem({other.intermediate().certDer, other.root().certDer})));
    EXPECT_TRUE(lone.chainFor(leaf).empty());

    // With both namesakes present, the one whose key signed the leaf is taken.
    ASSERT_TRUE(lone.importCertificates(TestPKI::shared().intermediate().certDer));
    auto mixed = lone.chainFor(leaf);
    ASSERT_EQ(mixed.size(), 1u);
    EXPECT_EQ(mixed[0].sha1, TestPKI::shared().intermediate().sha1());
}

TEST_F(KeychainStore, StoredCertificatesReadTheSameAsFreshlyDecodedOnes) {
    import(leaves().good);
    import(leaves().ec);
    auto stored = store.identities();
    ASSERT_EQ(stored.size(), 2u);
    for (const auto& id : stored) {
        auto fresh = keychain::Certificate::fromDer(id.certificate.der);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(id.certificate.commonName, fresh->commonName);
        EXPECT_EQ(id.certificate.sha1, fresh->sha1);
    }
    // A certificate without a common name reads as "".
    auto noCn = keychain::Certificate::fromDer(TestPKI::shared().issueLeaf({.commonName = ""}).certDer);
    ASSERT_TRUE(noCn);
    EXPECT_EQ(noCn->commonName, "");
}

TEST_F(KeychainStore, CertificatesImportAsPemBundleOrDerAndSkipKnownOnes) {
    auto added = store.importCertificates(TestPKI::shared().root().certDer);
    ASSERT_TRUE(added) << added.text();
    EXPECT_EQ(*added, 1);
    const auto& pki = TestPKI::shared();
    added = store.importCertificates(certificatesPem({pki.root().certDer, pki.intermediate().certDer}));
    ASSERT_TRUE(added);
    EXPECT_EQ(*added, 1);
    added = store.importCertificates(pki.root().certPem());
    ASSERT_FALSE(added);
    EXPECT_EQ(added.text(), "The specified item already exists in the keychain.");
    EXPECT_EQ(store.certificates().size(), 2u);
    EXPECT_TRUE(store.identities().empty());
    // DER with trailing bytes is not a certificate.
    EXPECT_FALSE(store.importCertificates(pki.root().certDer + "x"));
}

TEST_F(KeychainStore, HalfWrittenAndForeignEntriesAreIgnored) {
    import(leaves().good);
    testkit::writeFile(location + "/identities/.new-abc123/cert.der", leaves().second.certDer);
    testkit::writeFile(location + "/identities/00000099-BROKEN/cert.der", "garbage");
    testkit::writeFile(location + "/identities/00000099-BROKEN/key.der", "garbage");
    testkit::writeFile(location + "/identities/00000098-NOKEY/cert.der", leaves().second.certDer);
    testkit::writeFile(location + "/certs/.ABC.der.XXXXXX", TestPKI::shared().root().certDer);
    testkit::writeFile(location + "/certs/notes.txt", "hello");
    ASSERT_EQ(store.identities().size(), 1u);
    EXPECT_EQ(store.certificates().size(), 1u);
}

// The same key as OpenSSL's own decoding gives, or nothing when that gives nothing.
std::shared_ptr<EVP_PKEY> genericDecoding(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return std::shared_ptr<EVP_PKEY>(d2i_AutoPrivateKey(nullptr, &p, long(der.size())), EVP_PKEY_free);
}

std::string signatureBy(EVP_PKEY* key, const std::string& data) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t length = 0;
    if (EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return {};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    if (EVP_DigestSign(context.get(), nullptr, &length, bytes, data.size()) != 1) return {};
    std::string signature(length, '\0');
    if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, bytes,
                       data.size()) != 1)
        return {};
    signature.resize(length);
    return signature;
}

TEST(KeychainDecoding, KeysAndCertificatesAreDecodedOnceAndActAsOpenSslsOwnDecoding) {
    const auto& l = leaves();
    Store store;
    auto cert = store.decodedCertificate(l.good.certDer);
    ASSERT_TRUE(cert);
    EXPECT_EQ(store.decodedCertificate(l.good.certDer), cert);
    Store copy = store;
    EXPECT_EQ(copy.decodedCertificate(l.good.certDer), cert);

    // RSA (decoded from its numbers): the key pair OpenSSL reads, signing alike.
    auto key = store.decodedPrivateKey(l.good.keyDer);
    auto generic = genericDecoding(l.good.keyDer);
    ASSERT_TRUE(key && generic);
    EXPECT_EQ(store.decodedPrivateKey(l.good.keyDer), key);
    EXPECT_EQ(EVP_PKEY_eq(key.get(), generic.get()), 1);
    EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1);
    const std::string signature = signatureBy(key.get(), "a code directory");
    EXPECT_FALSE(signature.empty());
    EXPECT_EQ(signature, signatureBy(generic.get(), "a code directory"));
    EXPECT_EQ(X509_check_private_key(cert.get(), store.decodedPrivateKey(l.second.keyDer).get()), 0);

    // Other keys and odd forms: whatever OpenSSL's own decoding makes of them.
    auto ec = store.decodedPrivateKey(l.ec.keyDer);
    ASSERT_TRUE(ec);
    EXPECT_EQ(EVP_PKEY_eq(ec.get(), genericDecoding(l.ec.keyDer).get()), 1);
    for (const std::string& odd : {l.good.keyDer + "x", l.good.keyDer.substr(0, 300), std::string("not a key")})
        EXPECT_EQ(store.decodedPrivateKey(odd) != nullptr, genericDecoding(odd) != nullptr) << odd.size();
    EXPECT_EQ(store.decodedCertificate("not a certificate"), nullptr);
}

TEST(KeychainValidity, ReasonsNameTheFirstFault) {
    const auto& l = leaves();
    EXPECT_EQ(Store::invalidReason(identityOf(l.good)), "");
    EXPECT_EQ(Store::invalidReason(identityOf(l.ec)), "");
    EXPECT_EQ(Store::invalidReason(identityOf(l.expired)), keychain::kReasonExpired);
    EXPECT_EQ(Store::invalidReason(identityOf(l.future)), keychain::kReasonNotYetValid);
    EXPECT_EQ(Store::invalidReason(identityOf(l.noUsage)), keychain::kReasonNoCodeSigning);
    auto mismatched = identityOf(l.good);
    mismatched.privateKeyDer = l.second.keyDer;
    EXPECT_EQ(Store::invalidReason(mismatched), keychain::kReasonKeyMismatch);
    mismatched.privateKeyDer = "not a key";
    EXPECT_EQ(Store::invalidReason(mismatched), keychain::kReasonKeyMismatch);
    // The clock decides: two years on the certificate has expired; a day ago it had not begun.
    auto later = std::chrono::system_clock::now() + std::chrono::hours(24 * 365 * 2);
    EXPECT_EQ(Store::invalidReason(identityOf(l.good), later), keychain::kReasonExpired);
    auto earlier = std::chrono::system_clock::now() - std::chrono::hours(24);
    EXPECT_EQ(Store::invalidReason(identityOf(l.good), earlier), keychain::kReasonNotYetValid);
    keychain::Identity broken{{"xx", "", ""}, l.good.keyDer};
    EXPECT_EQ(Store::invalidReason(broken), keychain::kReasonBadCertificate);
}

}  // namespace
