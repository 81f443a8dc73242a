#pragma once
// Every reader of outside bytes, driven the way the commands drive it. The
// fuzz harnesses call these with generated inputs; the regression test runs
// the inputs that once crashed through the very same calls. A reader must
// answer every input with a value or a refusal: no exception, no abort, no
// read outside what it was given.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "codesign/CmsSignature.h"
#include "codesign/CodeDirectory.h"
#include "codesign/CodeResources.h"
#include "codesign/DerEntitlements.h"
#include "codesign/Display.h"
#include "codesign/EmbeddedSignature.h"
#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "codesign/MachOEdit.h"
#include "codesign/Requirements.h"
#include "codesign/SuperBlob.h"
#include "codesign/Verifier.h"
#include "keychain/Keychain.h"
#include "platform/plist.h"
#include "profile/CmsContent.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFDeflateReuse.h"

namespace fuzzreaders {

// A private folder for the files the readers that take a path are given.
inline const std::string& scratch() {
    static const std::string dir = [] {
        std::error_code ec;
        std::string base = std::filesystem::temp_directory_path(ec).string();
        if (base.empty()) base = "/tmp";
        std::string pattern = base + "/ipa-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }();
    return dir;
}

inline std::string writeInput(const std::string& name, std::string_view data) {
    std::string path = scratch() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
    std::fclose(f);
    return path;
}

// Touches every byte of a view, so that a view past its buffer is caught.
inline unsigned touch(std::string_view v) {
    unsigned sum = 0;
    for (char c : v) sum += static_cast<unsigned char>(c);
    return sum;
}

inline void codeDirectory(std::string_view data) {
    auto cd = codesign::parseCodeDirectory(data);
    if (!cd) return;
    touch(cd->blob);
    for (unsigned slot = 0; slot <= cd->nSpecialSlots && slot <= 64; ++slot) touch(cd->specialSlot(slot));
    for (uint32_t i = 0; i < cd->nCodeSlots && i < 4096; ++i) touch(cd->codeSlot(i));
    if (cd->knownHashType()) touch(codesign::cdHash(cd->hashType(), cd->blob));
}

inline void requirements(std::string_view data) {
    codesign::RequirementSubject subject;
    subject.identifier = "com.example.app";
    subject.chain.push_back({"Apple Development: Test User (ABCDE12345)", "ABCDE12345", "Test Organisation",
                             std::string(20, '\1'), {"1.2.840.113635.100.6.1.2"}, false});
    subject.chain.push_back({"Apple Root CA", "", "Apple Inc.", std::string(20, '\2'), {}, true});
    subject.cdHashes.push_back(std::string(20, '\3'));
    // A whole set, and the same bytes as a single requirement.
    if (auto set = codesign::parseRequirementsSet(data)) {
        for (const auto& [type, requirement] : *set) {
            touch(requirement);
            codesign::requirementText(requirement);
            codesign::satisfiesRequirement(requirement, subject);
        }
    }
    codesign::requirementText(data);
    codesign::satisfiesRequirement(data, subject);
}

inline void entitlements(std::string_view data) {
    // The XML blob's payload as the signer and the display read it.
    auto value = platform::plist::parse(data);
    if (!value) return;
    platform::plist::toXml(*value);
    if (const auto* dict = value->asDict()) (void)codesign::derEntitlements(*dict);
}

inline void plist(std::string_view data) {
    auto value = platform::plist::parse(data);
    if (!value) return;
    std::string xml = platform::plist::toXml(*value);
    std::string binary = platform::plist::toBinary(*value);
    platform::plist::parse(xml);
    platform::plist::parse(binary);
}

// The detached content the CMS seeds sign; the corpus writer signs the same.
constexpr std::string_view kCmsContent = "fuzz: the content a CMS seed signs";

inline void cmsSignature(std::string_view data) {
    auto check = codesign::verifyCms(data, kCmsContent);
    for (const auto& der : check.chainDer) codesign::certificateFacts(der);
}

inline void superBlob(std::string_view data) {
    auto blobs = codesign::parseSuperBlob(data);
    if (!blobs) return;
    for (const auto& [slot, blob] : *blobs) {
        touch(blob);
        if (slot == codesign::CSSLOT_CODEDIRECTORY ||
            (slot >= codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES &&
             slot < codesign::CSSLOT_ALTERNATE_CODEDIRECTORIES + codesign::CSSLOT_ALTERNATE_CODEDIRECTORY_LIMIT))
            codeDirectory(blob);
        else if (slot == codesign::CSSLOT_REQUIREMENTS)
            requirements(blob);
        else if (slot == codesign::CSSLOT_ENTITLEMENTS && blob.size() >= 8)
            entitlements(blob.substr(8));
        else if (slot == codesign::CSSLOT_SIGNATURESLOT && blob.size() >= 8)
            cmsSignature(blob.substr(8));
    }
}

inline void machO(std::string_view data) {
    std::string path = writeInput("binary", data);
    codesign::InputFile input;
    if (!input.open(path)) return;
    // The libraries it loads, and an edit of them planned as the engine plans one.
    if (auto libraries = codesign::macho::readLibraries(input)) {
        codesign::macho::LibraryEdit edit;
        edit.add = {{codesign::macho::LC_LOAD_WEAK_DYLIB, "@rpath/libFuzz.dylib", 0, 0}};
        for (const auto& slice : *libraries)
            if (!slice.loads.empty()) edit.remove.push_back(slice.loads.back().path);
        if (auto patches = codesign::macho::planLibraryEdit(input, edit))
            for (const auto& patch : *patches) touch(patch.bytes);
    }
    auto file = codesign::macho::parse(input);
    if (!file) return;
    file->formatName();
    for (const auto& slice : file->slices) {
        slice.archName();
        codesign::EmbeddedSignature signature;
        auto state = codesign::readEmbeddedSignature(input, slice, signature);
        if (state && *state == codesign::SignatureState::Present) {
            signature.best();
            for (const auto& [slot, blob] : signature.blobs) touch(blob);
        }
        auto placement = codesign::macho::placeSignature(slice);
        if (!placement) continue;
        auto header = input.read(slice.offset, slice.commandsEnd());
        if (!header) continue;
        codesign::macho::layoutSlice(slice, *header, *placement, 0x4000);
    }
}

// `codesign -d -vvv --entitlements - -r-` and `codesign -v -vv` on a file.
inline void display(std::string_view data) {
    std::string path = writeInput("item", data);
    codesign::describeItem(path, path, 4, true);
}

inline void verify(std::string_view data) {
    std::string path = writeInput("item", data);
    codesign::verifyItem(path, path, codesign::VerifyOptions{false, 2});
}

// A small bundle that every seal is checked against.
inline const std::string& sealedBundle() {
    static const std::string root = [] {
        std::string dir = scratch() + "/Sealed.app";
        std::filesystem::create_directories(dir + "/en.lproj");
        std::filesystem::create_directories(dir + "/Frameworks/A.framework");
        writeInput("Sealed.app/Info.plist", "<plist/>");
        writeInput("Sealed.app/Sealed", "main executable");
        writeInput("Sealed.app/icon.png", "png");
        writeInput("Sealed.app/en.lproj/Localizable.strings", "strings");
        writeInput("Sealed.app/Frameworks/A.framework/A", "framework");
        std::error_code ec;
        std::filesystem::create_symlink("icon.png", dir + "/link", ec);
        return dir;
    }();
    return root;
}

inline void codeResources(std::string_view data) {
    codesign::ResourceSealOptions options;
    options.mainExecutable = "Sealed";
    (void)codesign::verifyCodeResources(sealedBundle(), data, options);
    options.hashTypes = {codesign::HashType::SHA1, codesign::HashType::SHA256};
    (void)codesign::verifyCodeResources(sealedBundle(), data, options);
}

inline void profileContent(std::string_view data) {
    if (auto content = profile::cmsEncapsulatedContent(data)) touch(*content);
}

inline void provisioningProfile(std::string_view data) {
    std::string path = writeInput("profile.mobileprovision", data);
    QFProvisioningProfile record(path);
    if (record.bundleIdentifier()) touch(*record.bundleIdentifier());
}

inline void pkcs12(std::string_view data) {
    keychain::Store store(scratch() + "/keychain");
    (void)store.importPkcs12(std::string(data), "secret");
    (void)store.importCertificates(std::string(data));
    if (auto cert = keychain::Certificate::fromDer(std::string(data))) codesign::certificateFacts(cert->der);
    std::error_code ec;
    std::filesystem::remove_all(scratch() + "/keychain", ec);
}

// What a raw deflate stream inflates to, up to limit bytes and the first
// damage; with *whole, whether that was the stream's end.
inline std::string inflateRaw(std::string_view stream, size_t limit, bool* whole = nullptr) {
    z_stream z{};
    if (whole) *whole = false;
    if (inflateInit2(&z, -15) != Z_OK) std::abort();
    std::string out, buffer(1 << 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    int status = Z_OK;
    while (status == Z_OK && out.size() < limit) {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer.data(), buffer.size() - z.avail_out);
    }
    inflateEnd(&z);
    if (whole) *whole = status == Z_STREAM_END;
    return out;
}

// A package entry's compressed data, as packing reuses it: a file made
// from what the stream inflates to, a few of its bytes changed, is
// compressed reusing the stream, and must come back whole.
inline void deflateReuse(std::string_view data) {
    std::string now = inflateRaw(data, size_t{1} << 18);
    if (!now.empty()) now[now.size() / 3] = static_cast<char>(now[now.size() / 3] ^ 0x5a);
    now += "signature";
    const std::string oldPath = writeInput("old.deflate", data), newPath = writeInput("new.bin", now);
    const std::string outPath = scratch() + "/out.deflate";
    int old = ::open(oldPath.c_str(), O_RDONLY), fresh = ::open(newPath.c_str(), O_RDONLY),
        out = ::open(outPath.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (old < 0 || fresh < 0 || out < 0) std::abort();
    auto made = QFDeflateReusing(QFFileRange{old, 0, data.size()}, nullptr, QFFileRange{fresh, 0, now.size()}, out, 0);
    if (!made) std::abort();  // only a file that cannot be read or written answers nothing
    std::string stream(made->compressedSize, '\0');
    if (::pread(out, stream.data(), stream.size(), 0) != static_cast<ssize_t>(stream.size())) std::abort();
    bool whole = false;
    if (inflateRaw(stream, now.size() + 1, &whole) != now || !whole) std::abort();
    ::close(old);
    ::close(fresh);
    ::close(out);
}

// The readers by name: each harness and each folder of regression inputs.
struct Reader {
    const char* name;
    void (*run)(std::string_view);
};
inline constexpr Reader kReaders[] = {
    {"macho", machO},
    {"superblob", superBlob},
    {"codedirectory", codeDirectory},
    {"requirements", requirements},
    {"entitlements", entitlements},
    {"cms", cmsSignature},
    {"coderesources", codeResources},
    {"profilecms", profileContent},
    {"profile", provisioningProfile},
    {"plist", plist},
    {"pkcs12", pkcs12},
    {"display", display},
    {"verify", verify},
    {"deflate", deflateReuse},
};

inline const Reader* reader(std::string_view name) {
    for (const Reader& r : kReaders)
        if (name == r.name) return &r;
    return nullptr;
}

}  // namespace fuzzreaders
