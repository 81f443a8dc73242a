// Writes the fuzz harnesses' seed corpus from real files: Mach-O built with
// clang and ld64.lld, signed with the test PKI, provisioning profiles,
// property lists, seals and PKCS#12 bundles, as the tests make them.
//
//   IPA_FUZZ_CORPUS=fuzz/corpus build/bin/fuzz-seeds
//
// writes <corpus>/<reader>/<name> for every reader of readers.h.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <zlib.h>

#include "codesign/Signer.h"
#include "readers.h"
#include "testkit/macho.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

namespace fs = std::filesystem;
namespace plist = platform::plist;

std::string corpusRoot() {
    const char* root = std::getenv("IPA_FUZZ_CORPUS");
    return root ? root : "";
}

void seed(const std::string& reader, const std::string& name, std::string_view bytes) {
    ASSERT_NE(fuzzreaders::reader(reader), nullptr) << reader;
    fs::create_directories(corpusRoot() + "/" + reader);
    testkit::writeFile(corpusRoot() + "/" + reader + "/" + name, std::string(bytes));
}

std::string built(const std::string& dir, const std::string& name, testkit::MachOSpec shape) {
    std::string path = dir + "/" + name;
    std::string error = testkit::buildMachO(path, shape);
    EXPECT_EQ(error, "") << name;
    return path;
}

// The signature blobs of every slice of a file, by slot.
void seedSignatureParts(const std::string& path, const std::string& name) {
    codesign::InputFile input;
    ASSERT_TRUE(input.open(path));
    auto file = codesign::macho::parse(input);
    ASSERT_TRUE(file) << file.text();
    int n = 0;
    for (const auto& slice : file->slices) {
        codesign::EmbeddedSignature signature;
        auto state = codesign::readEmbeddedSignature(input, slice, signature);
        if (!state || *state != codesign::SignatureState::Present) continue;
        const std::string tag = name + "-" + std::to_string(n++);
        seed("superblob", tag, signature.data);
        for (const auto& [slot, blob] : signature.blobs) {
            const std::string part = tag + "-slot" + std::to_string(slot);
            if (slot == codesign::CSSLOT_CODEDIRECTORY || slot >= codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES)
                if (slot < codesign::CSSLOT_SIGNATURESLOT) seed("codedirectory", part, blob);
            if (slot == codesign::CSSLOT_REQUIREMENTS) seed("requirements", part, blob);
            if (slot == codesign::CSSLOT_ENTITLEMENTS) seed("entitlements", part, blob.substr(8));
            if (slot == codesign::CSSLOT_DER_ENTITLEMENTS) seed("superblob", part + "-der", blob);
        }
    }
}

}  // namespace

TEST(FuzzSeeds, WriteTheCorpus) {
    ASSERT_FALSE(corpusRoot().empty()) << "set IPA_FUZZ_CORPUS to the corpus folder";
    const auto& ca = testkit::pki::TestPKI::shared();
    const auto leaf = ca.issueLeaf({});
    codesign::SigningIdentity identity;
    identity.certificateDer = leaf.certDer;
    identity.privateKeyDer = leaf.keyDer;
    identity.chainDer = {ca.intermediate().certDer, ca.root().certDer};

    // Mach-O: linker-signed, certificate-signed with entitlements, a dylib, fat.
    const std::string dir = testkit::makeScratchDir("seeds");
    testkit::MachOSpec linkerSigned;
    linkerSigned.adhocSign = true;
    const std::string adhoc = built(dir, "adhoc", linkerSigned);
    const std::string exe = built(dir, "exe", {});
    testkit::MachOSpec dylibSpec;
    dylibSpec.kind = testkit::MachOSpec::Kind::Dylib;
    const std::string dylib = built(dir, "libx.dylib", dylibSpec);
    testkit::MachOSpec intel;
    intel.arch = "x86_64";
    const std::string x86 = built(dir, "x86", intel);
    const std::string fat = dir + "/fat";
    ASSERT_EQ(testkit::makeFat(fat, {exe, x86}), "");

    plist::Dict entitlements{{"application-identifier", "ABCDE12345.com.example.app"},
                             {"com.apple.developer.team-identifier", "ABCDE12345"},
                             {"get-task-allow", true},
                             {"keychain-access-groups", plist::Array{"ABCDE12345.*"}}};
    const std::string entitlementsPath = dir + "/Entitlements.plist";
    testkit::writeFile(entitlementsPath, plist::toXml(entitlements));
    for (const std::string& path : {exe, dylib, fat}) {
        codesign::SignRequest request;
        request.path = path;
        request.identity = identity;
        if (path != dylib) request.entitlementsPath = entitlementsPath;
        auto result = codesign::signItem(request);
        ASSERT_TRUE(result.ok) << result.error;
    }
    for (const std::string& path : {adhoc, exe, dylib, fat}) {
        const std::string name = fs::path(path).filename().string();
        const std::string bytes = testkit::readFile(path);
        seed("macho", name, bytes);
        seed("display", name, bytes);
        seed("verify", name, bytes);
        seedSignatureParts(path, name);
    }
    seed("display", "not-macho", "plain text");
    // The signed binaries compressed as packing finds them: whole, and in
    // small blocks (a flush every 4 KB).
    for (const std::string& path : {exe, fat}) {
        const std::string bytes = testkit::readFile(path);
        for (size_t every : {size_t{0}, size_t{4096}}) {
            z_stream z{};
            ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
            std::string out(deflateBound(&z, bytes.size()) + bytes.size() / 512 + 64, '\0');
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            for (size_t at = 0; at < bytes.size();) {
                const size_t n = every ? std::min(every, bytes.size() - at) : bytes.size();
                z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at));
                z.avail_in = static_cast<uInt>(n);
                at += n;
                ASSERT_NE(deflate(&z, at < bytes.size() ? Z_SYNC_FLUSH : Z_FINISH), Z_STREAM_ERROR);
            }
            out.resize(z.total_out);
            deflateEnd(&z);
            seed("deflate", fs::path(path).filename().string() + (every ? "-blocks" : ""), out);
        }
    }

    // Requirements the signer writes for each kind of chain.
    codesign::ChainFacts developer;
    developer.leafCommonName = "Apple Development: Test User (ABCDE12345)";
    developer.issuerHasWwdrMarker = true;
    developer.length = 3;
    codesign::ChainFacts anchored;
    anchored.chainEndsAtRoot = true;
    anchored.anchorSha1 = std::string(20, '\x5a');
    anchored.length = 2;
    seed("requirements", "developer", codesign::requirementsSet(codesign::designatedRequirement("com.example.app", developer)));
    seed("requirements", "anchor", codesign::requirementsSet(codesign::designatedRequirement("com.example.app", anchored)));
    seed("requirements", "empty", codesign::requirementsSet(std::nullopt));

    // A CMS signature over the content the harness checks against.
    std::vector<codesign::CodeDirectoryHash> hashes{
        {codesign::HashType::SHA1, codesign::fullCdHash(codesign::HashType::SHA1, fuzzreaders::kCmsContent)},
        {codesign::HashType::SHA256, codesign::fullCdHash(codesign::HashType::SHA256, fuzzreaders::kCmsContent)}};
    auto cms = codesign::signCodeDirectory(fuzzreaders::kCmsContent, hashes, identity);
    ASSERT_TRUE(cms) << cms.text();
    seed("cms", "signed", *cms);

    // Seals of the bundle the harness checks them against: SHA-256 and both.
    codesign::ResourceSealOptions options;
    options.mainExecutable = "Sealed";
    auto seal = codesign::buildCodeResources(fuzzreaders::sealedBundle(), options);
    ASSERT_TRUE(seal) << seal.text();
    seed("coderesources", "sha256", *seal);
    seed("plist", "coderesources", *seal);
    options.hashTypes = {codesign::HashType::SHA1, codesign::HashType::SHA256};
    seal = codesign::buildCodeResources(fuzzreaders::sealedBundle(), options);
    ASSERT_TRUE(seal) << seal.text();
    seed("coderesources", "sha1-sha256", *seal);
    seed("coderesources", "binary", plist::toBinary(*plist::parse(*seal)));

    // Profiles, their content and property lists of every value type.
    seed("profile", "xml", testkit::pki::makeProfile({}));
    seed("profile", "binary", testkit::pki::makeProfile({}, true));
    seed("profilecms", "xml", testkit::pki::makeProfile({}));
    seed("plist", "profile-xml", testkit::pki::profilePlist({}));
    seed("plist", "profile-binary", testkit::pki::profilePlist({}, true));
    plist::Dict every{{"bool", true}, {"int", int64_t(-129)}, {"real", 1.5}, {"text", "h\xc3\xa9llo"},
                      {"data", plist::Data{std::string("\0\1\2", 3)}}, {"date", std::chrono::system_clock::now()},
                      {"array", plist::Array{1, "two", plist::Array{}}}, {"dict", plist::Dict{{"k", "v"}}}};
    seed("plist", "every-xml", plist::toXml(every));
    seed("plist", "every-binary", plist::toBinary(every));
    seed("entitlements", "xml", plist::toXml(entitlements));
    seed("entitlements", "binary", plist::toBinary(entitlements));

    // Identities and certificates as the security command imports them.
    seed("pkcs12", "modern", testkit::pki::pkcs12(leaf, {ca.intermediate()}, "secret"));
    seed("pkcs12", "legacy", testkit::pki::pkcs12(leaf, {}, "secret", testkit::pki::Pkcs12Cipher::Legacy));
    seed("pkcs12", "certificate-der", leaf.certDer);
    seed("pkcs12", "certificates-pem", testkit::pki::certificatesPem({leaf.certDer, ca.root().certDer}));
}
