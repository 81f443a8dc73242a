// Signatures as the platform's own toolchains wrote them over the years,
// rebuilt from real Mach-O files: a CMS whose CDHashes2 values are stored
// out of DER order, a single SHA-1 CodeDirectory without cdhash attributes
// and a seal of that age, and certificates that have expired. Each must be
// read right, re-signed, and caught when tampered with.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <functional>

#include "codesign/Bytes.h"
#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "codesign/SuperBlob.h"
#include "crypto/Certificate.h"
#include "crypto/Der.h"
#include "crypto/Hash.h"
#include "crypto/OpenSsl.h"
#include "signing_fixture.h"

namespace {

using namespace cstest;
namespace der = crypto::der;
using crypto::HashType;
using Clock = std::chrono::system_clock;

// ---- Rewriting a thin binary's signature -----------------------------------

// Lets edit change the blobs of the binary's signature, then packs them back
// into the space reserved for it.
void rewriteSignature(const std::string& binary, const std::function<void(codesign::BlobMap&)>& edit) {
    std::string bytes = testkit::readFile(binary);
    codesign::macho::Slice slice;
    {
        codesign::InputFile input;
        ASSERT_TRUE(input.open(binary));
        auto file = codesign::macho::parse(input);
        ASSERT_TRUE(file && !file->fat && file->slices[0].hasSignature()) << binary;
        slice = file->slices[0];
    }
    auto parsed = codesign::parseSuperBlob(std::string_view(bytes).substr(slice.signatureOffset, slice.signatureSize));
    ASSERT_TRUE(parsed);
    codesign::BlobMap blobs;
    for (const auto& [slot, blob] : *parsed) blobs[slot] = std::string(blob);
    edit(blobs);
    std::string packed = codesign::buildSuperBlob(blobs);
    ASSERT_LE(packed.size(), slice.signatureSize);
    packed.resize(slice.signatureSize, '\0');
    bytes.replace(slice.signatureOffset, slice.signatureSize, packed);
    testkit::writeFile(binary, bytes, true);
}

HashType hashTypeOfCd(const std::string& cd) { return HashType(static_cast<unsigned char>(cd[37])); }

// Puts a hash into special slot -slot of a CodeDirectory.
void setSpecialSlot(std::string& cd, unsigned slot, const std::string& hash) {
    const uint32_t hashOffset = *codesign::bytes::be32(cd, 16);
    const size_t hashSize = static_cast<unsigned char>(cd[36]);
    ASSERT_LE(slot, *codesign::bytes::be32(cd, 24));
    ASSERT_EQ(hash.size(), hashSize);
    cd.replace(hashOffset - slot * hashSize, hashSize, hash);
}

// ---- A CMS made by hand -----------------------------------------------------

std::string oid(const char* dotted) {
    crypto::Asn1ObjectPtr obj(OBJ_txt2obj(dotted, 1));
    return der::tlv(0x06, std::string_view(reinterpret_cast<const char*>(OBJ_get0_data(obj.get())),
                                           size_t(OBJ_length(obj.get()))));
}
std::string algorithm(const char* dotted) { return der::tlv(0x30, oid(dotted) + std::string("\x05\x00", 2)); }
std::string attribute(const char* dotted, const std::string& values) { return der::tlv(0x30, oid(dotted) + der::tlv(0x31, values)); }

std::string utcTime(Clock::time_point when) {
    std::time_t t = Clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%y%m%d%H%M%SZ", &tm);
    return der::tlv(0x17, text);
}

struct CmsShape {
    HashType digest = HashType::SHA256;
    bool cdHashes = true;         // both cdhash attributes
    bool typedOutOfOrder = false;  // CDHashes2 values stored against DER order
    std::optional<Clock::time_point> signingTime = Clock::now();
    std::optional<testkit::pki::Credential> signer;  // the identity's leaf when not given
};

// A detached SignedData over the primary CodeDirectory of blobs, its signed
// attributes laid out here and signed exactly as stored.
std::string handMadeCms(const codesign::BlobMap& blobs, const CmsShape& shape) {
    const testkit::pki::Credential signer = shape.signer.value_or(pki().leaf);
    const auto& ca = testkit::pki::TestPKI::shared();
    const char* digestOid = crypto::hashOid(shape.digest);
    const std::string& primary = blobs.at(codesign::CSSLOT_CODEDIRECTORY);

    std::string attributes = attribute("1.2.840.113549.1.9.3", oid("1.2.840.113549.1.7.1"));
    if (shape.signingTime) attributes += attribute("1.2.840.113549.1.9.5", utcTime(*shape.signingTime));
    attributes += attribute("1.2.840.113549.1.9.4", der::tlv(0x04, crypto::digest(shape.digest, primary)));
    if (shape.cdHashes) {
        platform::plist::Array truncated;
        std::vector<std::string> typed;
        for (const auto& [slot, blob] : blobs) {
            if (slot != codesign::CSSLOT_CODEDIRECTORY && (slot < codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES ||
                                                          slot >= codesign::CSSLOT_SIGNATURESLOT))
                continue;
            const HashType type = hashTypeOfCd(blob);
            truncated.push_back(platform::plist::Data{crypto::digest(type, blob).substr(0, 20)});
            typed.push_back(der::tlv(0x30, oid(crypto::hashOid(type)) + der::tlv(0x04, crypto::digest(type, blob))));
        }
        std::sort(typed.begin(), typed.end());
        if (shape.typedOutOfOrder) std::reverse(typed.begin(), typed.end());
        std::string values;
        for (const auto& v : typed) values += v;
        attributes += attribute("1.2.840.113635.100.9.1",
                                der::tlv(0x04, platform::plist::toXml(platform::plist::Dict{{"cdhashes", truncated}})));
        attributes += attribute("1.2.840.113635.100.9.2", values);
    }

    const unsigned char* kp = reinterpret_cast<const unsigned char*>(signer.keyDer.data());
    crypto::PKeyPtr key(d2i_AutoPrivateKey(nullptr, &kp, long(signer.keyDer.size())));
    crypto::MdCtxPtr ctx(EVP_MD_CTX_new());
    const std::string covered = der::tlv(0x31, attributes);
    size_t length = 0;
    EXPECT_EQ(EVP_DigestSignInit(ctx.get(), nullptr, EVP_get_digestbyname(crypto::hashInfo(shape.digest).digestName),
                                 nullptr, key.get()),
              1);
    EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(covered.data()),
                             covered.size()),
              1);
    std::string signature(length, '\0');
    EXPECT_EQ(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                             reinterpret_cast<const unsigned char*>(covered.data()), covered.size()),
              1);
    signature.resize(length);

    auto leaf = crypto::certificateFromDer(signer.certDer);
    unsigned char* out = nullptr;
    int n = i2d_X509_NAME(X509_get_issuer_name(leaf->get()), &out);
    std::string issuer(reinterpret_cast<char*>(out), size_t(n));
    OPENSSL_free(out);
    out = nullptr;
    n = i2d_ASN1_INTEGER(X509_get_serialNumber(leaf->get()), &out);
    std::string serial(reinterpret_cast<char*>(out), size_t(n));
    OPENSSL_free(out);

    const std::string signerInfo =
        der::tlv(0x30, der::integer(1) + der::tlv(0x30, issuer + serial) + algorithm(digestOid) +
                           der::tlv(0xA0, attributes) + algorithm("1.2.840.113549.1.1.1") + der::tlv(0x04, signature));
    const std::string signedData =
        der::tlv(0x30, der::integer(1) + der::tlv(0x31, algorithm(digestOid)) +
                           der::tlv(0x30, oid("1.2.840.113549.1.7.1")) +
                           der::tlv(0xA0, signer.certDer + ca.intermediate().certDer + ca.root().certDer) +
                           der::tlv(0x31, signerInfo));
    const std::string cms = der::tlv(0x30, oid("1.2.840.113549.1.7.2") + der::tlv(0xA0, signedData));
    std::string wrapper(8, '\0');
    codesign::bytes::putBe32(wrapper, 0, codesign::CSMAGIC_BLOBWRAPPER);
    codesign::bytes::putBe32(wrapper, 4, uint32_t(8 + cms.size()));
    return wrapper + cms;
}

void replaceCms(const std::string& binary, const CmsShape& shape) {
    rewriteSignature(binary, [&](codesign::BlobMap& blobs) { blobs[codesign::CSSLOT_SIGNATURESLOT] = handMadeCms(blobs, shape); });
}

// ---- A seal of 2015: SHA-1 only, "^" and "^Info\.plist$" at one weight -------

std::string sealOf2015(const std::string& bundle, const std::string& executable) {
    namespace plist = platform::plist;
    plist::Dict files, files2;
    for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), bundle).string();
        if (rel == "_CodeSignature") {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_directory() || rel == executable) continue;
        const std::string sha1 = crypto::digest(HashType::SHA1, testkit::readFile(it->path().string()));
        const bool optional = rel.find(".lproj/") != std::string::npos && rel.rfind("Base.lproj/", 0) != 0;
        files[rel] = optional ? plist::Value(plist::Dict{{"hash", plist::Data{sha1}}, {"optional", true}})
                              : plist::Value(plist::Data{sha1});
        if (rel == "Info.plist" || rel == "PkgInfo") continue;
        plist::Dict entry{{"hash", plist::Data{sha1}}};
        if (optional) entry["optional"] = true;
        files2[rel] = entry;
    }
    auto weighted = [](double weight, bool omit = false, bool optional = false) {
        plist::Dict d{{"weight", weight}};
        if (omit) d["omit"] = true;
        if (optional) d["optional"] = true;
        return plist::Value(d);
    };
    plist::Dict rules{{"^", true},
                      {"^.*\\.lproj/", weighted(1000, false, true)},
                      {"^.*\\.lproj/locversion.plist$", weighted(1100, true)},
                      {"^version.plist$", true}};
    plist::Dict rules2{{".*\\.dSYM($|/)", weighted(11)},
                       {"^", weighted(20)},
                       {"^(.*/)?\\.DS_Store$", weighted(2000, true)},
                       {"^.*", true},
                       {"^.*\\.lproj/", weighted(1000, false, true)},
                       {"^.*\\.lproj/locversion.plist$", weighted(1100, true)},
                       {"^Base\\.lproj/", weighted(1010)},
                       {"^Info\\.plist$", weighted(20, true)},
                       {"^PkgInfo$", weighted(20, true)},
                       {"^embedded\\.provisionprofile$", weighted(20)},
                       {"^version\\.plist$", weighted(20)}};
    return plist::toXml(plist::Dict{{"files", files}, {"files2", files2}, {"rules", rules}, {"rules2", rules2}});
}

// Turns a bundle signed by this codesign (a SHA-1 primary and a SHA-256
// alternate) into one of 2015: the alternate gone, the 2015 seal, and a
// SHA-1 CMS without cdhash attributes.
void makeItLookLike2015(const std::string& bundle, const std::string& executable) {
    const std::string seal = sealOf2015(bundle, executable);
    testkit::writeFile(bundle + "/_CodeSignature/CodeResources", seal);
    rewriteSignature(bundle + "/" + executable, [&](codesign::BlobMap& blobs) {
        blobs.erase(codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES);
        std::string& cd = blobs[codesign::CSSLOT_CODEDIRECTORY];
        ASSERT_EQ(hashTypeOfCd(cd), HashType::SHA1);
        setSpecialSlot(cd, 3, crypto::digest(HashType::SHA1, seal));
        CmsShape shape;
        shape.digest = HashType::SHA1;
        shape.cdHashes = false;
        blobs[codesign::CSSLOT_SIGNATURESLOT] = handMadeCms(blobs, shape);
    });
}

testkit::MachOSpec oldTarget(testkit::MachOSpec::Kind kind) {
    testkit::MachOSpec target;
    target.kind = kind;
    target.minOS = "9.0";  // old enough for a SHA-1 primary CodeDirectory
    return target;
}

class RealSignatures : public ::testing::Test {
protected:
    void SetUp() override { pki(); }
};

TEST_F(RealSignatures, CdHashes2OutOfDerOrderIsReadAsStoredAndCaughtWhenWrong) {
    const std::string dir = testkit::makeScratchDir("xcode10");
    const std::string binary = buildBinary(dir + "/tool", oldTarget(testkit::MachOSpec::Kind::Executable));
    ASSERT_EQ(signAsTheEngineDoes(binary, entitlementsFile(dir)).status, 0);
    CmsShape shape;
    shape.typedOutOfOrder = true;
    replaceCms(binary, shape);
    EXPECT_EQ(verify(binary).output, "");

    // The same out-of-order values bound to a CodeDirectory changed after
    // signing: a genuine mismatch stays one.
    rewriteSignature(binary, [](codesign::BlobMap& blobs) {
        std::string& alternate = blobs[codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES];
        alternate[alternate.size() - 1] ^= 1;
    });
    ToolRun changed = verify(binary);
    EXPECT_NE(changed.output.find("invalid signature (code or signature have been modified)"), std::string::npos)
        << changed.output;
}

TEST_F(RealSignatures, AppOf2015VerifiesDeeplyIsCaughtWhenTamperedAndResigns) {
    const std::string dir = testkit::makeScratchDir("app2015");
    const std::string app = dir + "/Payload/Old.app";
    const std::string framework = app + "/Frameworks/Kit.framework";
    writeInfoPlist(app, "com.example.old", "Old", "APPL");
    buildBinary(app + "/Old", oldTarget(testkit::MachOSpec::Kind::Executable));
    testkit::writeFile(app + "/PkgInfo", "APPL????");
    testkit::writeFile(app + "/en.lproj/Main.strings", "\"a\" = \"b\";");
    testkit::writeFile(app + "/Base.lproj/Main.storyboardc", "nib");
    testkit::writeFile(app + "/data/table.bin", std::string(5000, 't'));
    writeInfoPlist(framework, "com.example.Kit", "Kit", "FMWK");
    buildBinary(framework + "/Kit", oldTarget(testkit::MachOSpec::Kind::Dylib));
    const std::string entitlements = entitlementsFile(dir);
    for (const std::string& item : {framework, app}) {
        ASSERT_EQ(signAsTheEngineDoes(item, entitlements).status, 0);
        makeItLookLike2015(item, item == app ? "Old" : "Kit");
    }
    EXPECT_EQ(cstest::codesign({"-v", "--deep", app}).output, "");
    ToolRun shown = cstest::codesign({"-dvvv", app});
    for (const char* line : {"Hash type=sha1 size=20", "Hash choices=sha1", "Authority=Apple Development: Test User",
                             "Authority=", "Signed Time=", "Sealed Resources version=2 rules=11 files="})
        EXPECT_NE(shown.output.find(line), std::string::npos) << line << "\n" << shown.output;

    struct Tamper {
        const char* what;
        std::function<void(const std::string& copy)> change;
        const char* message;
    };
    const std::vector<Tamper> tampers = {
        {"resource", [](const std::string& c) { flipByte(c + "/data/table.bin", 10); },
         "a sealed resource is missing or invalid"},
        {"Info.plist", [](const std::string& c) { writeInfoPlist(c, "com.example.changed", "Old", "APPL"); },
         "invalid Info.plist (plist or signature have been modified)"},
        {"nested code", [](const std::string& c) { flipByte(c + "/Frameworks/Kit.framework/Kit", 100); },
         "a sealed resource is missing or invalid"},
        {"signature",
         [](const std::string& c) {
             rewriteSignature(c + "/Old", [](codesign::BlobMap& blobs) {
                 std::string& cms = blobs[codesign::CSSLOT_SIGNATURESLOT];
                 cms[cms.size() - 1] ^= 1;  // the last byte of the signer's signature
             });
         },
         "invalid signature (code or signature have been modified)"},
    };
    for (const Tamper& t : tampers) {
        SCOPED_TRACE(t.what);
        const std::string copy = copyTree(app);
        t.change(copy);
        ToolRun deep = cstest::codesign({"-v", "--deep", copy});
        EXPECT_NE(deep.status, 0);
        EXPECT_NE(deep.output.find(t.message), std::string::npos) << deep.output;
    }

    // Re-signed the way the system does it, it passes the independent check.
    for (const std::string& item : {framework, app}) {
        ASSERT_EQ(signAsTheEngineDoes(item, entitlements).status, 0);
        EXPECT_EQ(verify(item).output, "");
    }
    EXPECT_EQ(cstest::codesign({"-v", "--deep", app}).output, "");
    ToolRun independent = independentVerify(app);
    EXPECT_EQ(independent.status, 0) << independent.output;
}

TEST_F(RealSignatures, ExpiredCertificatesAreNamedAtTheTimeTheSignatureIsJudgedAt) {
    const std::string dir = testkit::makeScratchDir("expired");
    const std::string app = dir + "/Payload/App.app";
    const std::string framework = app + "/Frameworks/Lib.framework";
    writeInfoPlist(app, "com.example.app", "App", "APPL");
    buildBinary(app + "/App");
    writeInfoPlist(framework, "com.example.Lib", "Lib", "FMWK");
    testkit::MachOSpec lib;
    lib.kind = testkit::MachOSpec::Kind::Dylib;
    buildBinary(framework + "/Lib", lib);
    const std::string entitlements = entitlementsFile(dir);
    ASSERT_EQ(signAsTheEngineDoes(framework, entitlements).status, 0);

    const auto expired = testkit::pki::TestPKI::shared().issueLeaf(
        {.commonName = "Apple Development: Long Gone (ABCDE12345)", .validity = testkit::pki::Validity::Expired});
    struct Case {
        const char* what;
        std::optional<testkit::pki::Credential> signer;
        std::optional<Clock::time_point> signingTime;
        const char* detail;  // empty: valid
    };
    const std::vector<Case> cases = {
        {"expired, no signing time: judged now", expired, std::nullopt,
         "the certificate \"Apple Development: Long Gone (ABCDE12345)\" expired on "},
        {"valid now, signed after it expired", std::nullopt, Clock::now() + std::chrono::hours(24 * 800),
         "(its signing time)"},
        {"valid at its signing time", std::nullopt, Clock::now(), ""},
    };
    const std::string binary = framework + "/Lib";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CmsShape shape;
        shape.signer = c.signer;
        shape.signingTime = c.signingTime;
        replaceCms(binary, shape);
        ToolRun run = verify(framework);
        if (*c.detail == '\0') {
            EXPECT_EQ(run.output, "");
            continue;
        }
        EXPECT_EQ(run.output.rfind(framework + ": CSSMERR_TP_CERT_EXPIRED\n", 0), 0u) << run.output;
        EXPECT_NE(run.output.find(c.detail), std::string::npos) << run.output;
    }

    // Inside an application, --deep passes the framework's own reason up.
    CmsShape gone;
    gone.signer = expired;
    gone.signingTime = std::nullopt;
    replaceCms(binary, gone);
    ASSERT_EQ(signAsTheEngineDoes(app, entitlements).status, 0);
    EXPECT_EQ(verify(app).output, "");
    ToolRun deep = cstest::codesign({"-v", "--deep", app});
    EXPECT_EQ(deep.status, 1);
    EXPECT_EQ(deep.output.rfind(app + ": CSSMERR_TP_CERT_EXPIRED\nIn subcomponent: " + fs::absolute(framework).string() +
                                    "\nthe certificate \"Apple Development: Long Gone (ABCDE12345)\"",
                                0),
              0u)
        << deep.output;
    ToolRun shown = cstest::codesign({"-dvv", framework});
    EXPECT_NE(shown.output.find("Authority=Apple Development: Long Gone (ABCDE12345)"), std::string::npos)
        << shown.output;
}

}  // namespace
