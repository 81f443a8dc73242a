// The verifier against broken signatures: every length and offset in a
// signature can lie, and each lie must end in a failure message, never in
// a pass or a crash (this suite also runs under AddressSanitizer).
#include <gtest/gtest.h>

#include "codesign/Bytes.h"
#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "codesign/Signer.h"
#include "codesign/Verifier.h"
#include "signing_fixture.h"

namespace {

using namespace cstest;

struct Signed {
    std::string path;
    uint64_t signatureOffset = 0;
    uint64_t commandOffset = 0;
};

// A binary signed ad hoc in-process, and where its signature lies.
Signed signedBinary() {
    Signed s;
    const std::string dir = testkit::makeScratchDir("verifier");
    s.path = buildBinary(dir + "/tool");
    codesign::SignRequest request;
    request.path = s.path;
    EXPECT_TRUE(codesign::signItem(request).ok);
    codesign::InputFile input;
    EXPECT_TRUE(input.open(s.path));
    auto file = codesign::macho::parse(input);
    EXPECT_TRUE(file && file->slices[0].hasSignature());
    if (file) {
        s.signatureOffset = file->slices[0].signatureOffset;
        s.commandOffset = *file->slices[0].codeSignatureCommand;
    }
    return s;
}

void putBe32At(const std::string& path, uint64_t offset, uint32_t value) {
    std::string bytes = testkit::readFile(path);
    codesign::bytes::putBe32(bytes, offset, value);
    testkit::writeFile(path, bytes, true);
}

codesign::VerifyResult verifyPath(const std::string& path) { return codesign::verifyItem(path, "X", {}); }

TEST(Verifier, AdHocSignatureVerifiesAndEveryLyingFieldFails) {
    const Signed original = signedBinary();
    EXPECT_TRUE(verifyPath(original.path).valid);

    struct Lie {
        const char* what;
        uint64_t offset;  // from the signature's start
        uint32_t value;
    };
    const std::vector<Lie> lies = {
        {"SuperBlob length", 4, 0xffffffff},
        {"SuperBlob count", 8, 0x7fffffff},
        {"first index offset", 16, 0xfffffff0},
        {"second index offset", 24, 7},
        {"CodeDirectory length", 0, 0},  // patched below relative to the CD
    };
    for (const Lie& lie : lies) {
        SCOPED_TRACE(lie.what);
        std::string copy = copyTree(original.path);
        uint64_t at = original.signatureOffset + lie.offset;
        if (std::string(lie.what) == "CodeDirectory length") {
            std::string bytes = testkit::readFile(copy);
            uint32_t cdOffset = *codesign::bytes::be32(bytes, original.signatureOffset + 16);
            at = original.signatureOffset + cdOffset + 4;
            codesign::bytes::putBe32(bytes, at, 0x7fffffff);
            testkit::writeFile(copy, bytes, true);
        } else {
            putBe32At(copy, at, lie.value);
        }
        auto result = verifyPath(copy);
        EXPECT_FALSE(result.valid);
        ASSERT_FALSE(result.lines.empty());
    }

    // CodeDirectory fields: slot counts and offsets beyond the blob.
    std::string bytes = testkit::readFile(original.path);
    const uint64_t cd = original.signatureOffset + *codesign::bytes::be32(bytes, original.signatureOffset + 16);
    for (uint64_t field : {8u, 16u, 20u, 24u, 28u, 32u}) {
        SCOPED_TRACE(field);
        std::string copy = copyTree(original.path);
        putBe32At(copy, cd + field, 0xfffffff0);
        EXPECT_FALSE(verifyPath(copy).valid);
    }

    // Hash size, hash type and page size bytes.
    for (uint64_t field : {36u, 37u, 39u}) {
        SCOPED_TRACE(field);
        std::string copy = copyTree(original.path);
        std::string raw = testkit::readFile(copy);
        raw[cd + field] = char(0xff);
        testkit::writeFile(copy, raw, true);
        EXPECT_FALSE(verifyPath(copy).valid);
    }

    // The load command pointing past the end of the file, or at nothing.
    std::string copy = copyTree(original.path);
    std::string raw = testkit::readFile(copy);
    codesign::bytes::put32(raw, original.commandOffset + 8, 0xfffff000, false);
    testkit::writeFile(copy, raw, true);
    EXPECT_FALSE(verifyPath(copy).valid);
    raw = testkit::readFile(original.path);
    codesign::bytes::put32(raw, original.commandOffset + 12, 0, false);
    testkit::writeFile(copy, raw, true);
    auto unsignedResult = verifyPath(copy);
    EXPECT_FALSE(unsignedResult.valid);

    // Cut short inside the signature.
    testkit::writeFile(copy, raw.substr(0, original.signatureOffset + 40), true);
    EXPECT_FALSE(verifyPath(copy).valid);
}

TEST(Verifier, SigningRefusesWhatItCannotPlaceAndKeepsTheFile) {
    const std::string dir = testkit::makeScratchDir("refuse");
    const std::string exe = buildBinary(dir + "/tool");
    // Claim more load commands than there are bytes for.
    std::string bytes = testkit::readFile(exe);
    codesign::bytes::put32(bytes, 20, uint32_t(bytes.size()), false);
    testkit::writeFile(exe, bytes, true);
    codesign::SignRequest request;
    request.path = exe;
    auto result = codesign::signItem(request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "malformed Mach-O file: load commands extend past end of file");
    EXPECT_EQ(testkit::readFile(exe), bytes);

    // A bundle whose Info.plist names no executable that exists.
    const std::string bundle = dir + "/Broken.app";
    writeInfoPlist(bundle, "com.example.broken", "Missing", "APPL");
    request.path = bundle;
    result = codesign::signItem(request);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, "bundle format unrecognized, invalid, or unsuitable (no main executable)");
    EXPECT_FALSE(fs::exists(bundle + "/_CodeSignature"));
}

}  // namespace
