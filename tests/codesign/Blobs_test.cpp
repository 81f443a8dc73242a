// The signature's building blocks, byte for byte: requirements, DER
// entitlements, CodeDirectory layout, SuperBlob packing and the Mach-O layout
// arithmetic, each against worked values of the format.
#include <gtest/gtest.h>

#include <cstring>

#include "codesign/Bundle.h"
#include "codesign/Bytes.h"
#include "codesign/CodeDirectory.h"
#include "codesign/DerEntitlements.h"
#include "codesign/MachO.h"
#include "codesign/Requirements.h"
#include "codesign/SuperBlob.h"

namespace {

using namespace codesign;
namespace plist = platform::plist;

std::string hex(std::string_view bytes) { return bytes::toHex(bytes); }

std::string unhex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(char(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(Requirements, DesignatedRequirementOfADeveloperChainMatchesTheWorkedBytes) {
    ChainFacts chain;
    chain.leafCommonName = "X";
    chain.issuerHasWwdrMarker = true;
    chain.length = 3;
    const std::string set = requirementsSet(designatedRequirement("com.example.app", chain));
    EXPECT_EQ(hex(set),
              "fade0c010000008800000001000000030000001" "4fade0c000000007400000001"
              "00000006000000020000000f636f6d2e6578616d706c652e6170700000000006"
              "0000000f000000060000000b000000000000000a7375626a6563742e434e0000"
              "0000000100000001580000000000000e000000010000000a2a864886f7636406"
              "0201000000000000");
    auto parsed = parseRequirementsSet(set);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 1u);
    // The same when the keychain lacks the root above the intermediate.
    ChainFacts withoutRoot = chain;
    withoutRoot.length = 2;
    EXPECT_EQ(requirementsSet(designatedRequirement("com.example.app", withoutRoot)), set);
    EXPECT_EQ((*parsed)[0].first, kSecDesignatedRequirementType);
    EXPECT_EQ(requirementText((*parsed)[0].second),
              "identifier \"com.example.app\" and anchor apple generic and certificate leaf[subject.CN] = X and "
              "certificate 1[field.1.2.840.113635.100.6.2.1] /* exists */");
}

TEST(Requirements, OtherChainsNameTheirAnchorOrLeafByHash) {
    ChainFacts chain;
    chain.leafSha1 = std::string(20, '\x11');
    chain.anchorSha1 = std::string(20, '\x22');
    chain.length = 2;
    chain.chainEndsAtRoot = true;
    EXPECT_EQ(requirementText(designatedRequirement("lib", chain)),
              "identifier lib and certificate root = H\"" + std::string(40, '2') + "\"");
    chain.chainEndsAtRoot = false;
    EXPECT_EQ(requirementText(designatedRequirement("lib", chain)),
              "identifier lib and certificate leaf = H\"" + std::string(40, '1') + "\"");
    EXPECT_EQ(hex(requirementsSet(std::nullopt)), "fade0c010000000c00000000");
    EXPECT_FALSE(parseRequirementsSet(unhex("fade0c010000000c00000001")));  // an index entry past the end
}

TEST(Requirements, DesignatedRequirementIsEvaluatedAgainstTheChain) {
    ChainFacts facts;
    facts.leafCommonName = "Apple Development: Jane (ABCDE12345)";
    facts.issuerHasWwdrMarker = true;
    facts.length = 3;
    const std::string dr = designatedRequirement("com.example.app", facts);
    RequirementSubject subject;
    subject.identifier = "com.example.app";
    subject.chain = {{facts.leafCommonName, "ABCDE12345", "Jane", std::string(20, 'l'), {}, false},
                     {"Apple Worldwide Developer Relations Certification Authority", "G3", "Apple Inc.",
                      std::string(20, 'i'), {"1.2.840.113635.100.6.2.1"}, false},
                     {"Apple Root CA", "Apple Certification Authority", "Apple Inc.", std::string(20, 'r'), {}, true}};
    EXPECT_TRUE(satisfiesRequirement(dr, subject));
    RequirementSubject other = subject;
    other.identifier = "com.example.other";
    EXPECT_FALSE(satisfiesRequirement(dr, other));
    other = subject;
    other.chain[0].commonName = "Someone Else";
    EXPECT_FALSE(satisfiesRequirement(dr, other));
    other = subject;
    other.chain[1].extensionOids.clear();
    EXPECT_FALSE(satisfiesRequirement(dr, other));
    other = subject;
    other.chain[2].commonName = "Test Root CA";
    EXPECT_FALSE(satisfiesRequirement(dr, other));

    ChainFacts own;
    own.chainEndsAtRoot = true;
    own.anchorSha1 = std::string(20, 'r');
    own.length = 2;
    EXPECT_TRUE(satisfiesRequirement(designatedRequirement("com.example.app", own), subject));
    own.anchorSha1 = std::string(20, 'x');
    EXPECT_FALSE(satisfiesRequirement(designatedRequirement("com.example.app", own), subject));
    EXPECT_FALSE(satisfiesRequirement(dr.substr(0, dr.size() - 4), subject));  // cut short
}

TEST(DerEntitlements, EncodesTheWorkedExampleExactly) {
    plist::Dict e{{"keychain-access-groups", plist::Array{"ABCDE12345.*"}},
                  {"get-task-allow", true},
                  {"application-identifier", "ABCDE12345.com.example.app"}};
    auto der = derEntitlements(e);
    ASSERT_TRUE(der);
    EXPECT_EQ(hex(*der),
              "707a020101b07530340c166170706c69636174696f6e2d6964656e7469666965"
              "720c1a414243444531323334352e636f6d2e6578616d706c652e61707030130c"
              "0e6765742d7461736b2d616c6c6f770101ff30280c166b6579636861696e2d61"
              "63636573732d67726f757073300e0c0c414243444531323334352e2a");
    EXPECT_EQ(hex(wrapBlob(CSMAGIC_EMBEDDED_DER_ENTITLEMENTS, *der).substr(0, 8)), "fade717200000084");
}

TEST(DerEntitlements, IntegersAreMinimalAndLengthsLongFormPast127) {
    EXPECT_EQ(hex(*derEntitlements({})), "70050201" "01b000");
    auto one = [](plist::Value v) { return hex(*derEntitlements(plist::Dict{{"k", v}})); };
    auto tail = [&](plist::Value v) {
        std::string h = one(v);
        return h.substr(h.find("0c016b") + 6);  // after the key
    };
    EXPECT_EQ(tail(int64_t{0}), "020100");
    EXPECT_EQ(tail(int64_t{127}), "02017f");
    EXPECT_EQ(tail(int64_t{128}), "02020080");
    EXPECT_EQ(tail(int64_t{255}), "020200ff");
    EXPECT_EQ(tail(int64_t{-1}), "0201ff");
    EXPECT_EQ(tail(int64_t{-129}), "0202ff7f");
    EXPECT_EQ(tail(plist::Array{}), "3000");
    EXPECT_EQ(tail(false), "010100");
    EXPECT_EQ(tail(plist::Dict{{"b", true}, {"a", true}}), "b01030060c01610101ff30060c01620101ff");
    std::string longText(200, 'x');
    EXPECT_EQ(tail(longText).substr(0, 6), "0c81c8");
    // Keys come out sorted by their bytes whatever order they were given in.
    std::string sorted = one(plist::Dict{{"b", 1}, {"a", 1}, {"B", 1}});
    EXPECT_LT(sorted.find("0c0142"), sorted.find("0c0161"));
    EXPECT_LT(sorted.find("0c0161"), sorted.find("0c0162"));
    auto why = derEntitlements(plist::Dict{{"k", plist::Data{"x"}}});
    EXPECT_FALSE(why);
    EXPECT_FALSE(why.text().empty());
    EXPECT_FALSE(derEntitlements(plist::Dict{{"k", 1.5}}));
}

TEST(CodeDirectory, LayoutMatchesTheWorkedNumbers) {
    auto sha256 = layoutCodeDirectory(15, 10, 32, 7, codeSlotCount(115616));
    EXPECT_EQ(sha256.identOffset, 88u);
    EXPECT_EQ(sha256.teamOffset, 104u);
    EXPECT_EQ(sha256.hashOffset, 339u);
    EXPECT_EQ(sha256.nCodeSlots, 29u);
    EXPECT_EQ(sha256.length, 1267u);
    auto sha1 = layoutCodeDirectory(15, 10, 20, 7, 29);
    EXPECT_EQ(sha1.hashOffset, 255u);
    EXPECT_EQ(sha1.length, 835u);
    EXPECT_EQ(codeSlotCount(0), 0u);
    EXPECT_EQ(codeSlotCount(4096), 1u);
    EXPECT_EQ(codeSlotCount(4097), 2u);
    EXPECT_EQ(codeSlotCount(3 * 4096), 3u);
}

TEST(CodeDirectory, RoundTripsAndPlacesSpecialSlotsHighestFirst) {
    CodeDirectoryInputs in;
    in.identifier = "com.example.app";
    in.teamId = "ABCDE12345";
    in.codeLimit = 4097;
    in.codeHashes = std::string(32, 'a') + std::string(32, 'b');
    in.specialSlots = {std::string(32, '1'), std::string(32, '2'), "", "", "", "", std::string(32, '7')};
    in.execSegBase = 0;
    in.execSegLimit = 0x4000;
    in.execSegFlags = CS_EXECSEG_MAIN_BINARY;
    std::string blob = buildCodeDirectory(in);
    auto cd = parseCodeDirectory(blob);
    ASSERT_TRUE(cd);
    EXPECT_EQ(cd->version, 0x20400u);
    EXPECT_EQ(cd->identifier, "com.example.app");
    EXPECT_EQ(cd->teamId, "ABCDE12345");
    EXPECT_EQ(cd->nSpecialSlots, 7u);
    EXPECT_EQ(cd->pageSizeLog2, 12);
    EXPECT_EQ(cd->execSegLimit, 0x4000u);
    EXPECT_EQ(cd->specialSlot(7), std::string(32, '7'));
    EXPECT_EQ(blob.substr(cd->hashOffset - 7 * 32, 32), std::string(32, '7'));
    EXPECT_TRUE(isZeroHash(cd->specialSlot(3)));
    EXPECT_EQ(cd->codeSlot(1), std::string(32, 'b'));
    EXPECT_EQ(cdHash(HashType::SHA256, blob).size(), 20u);
    EXPECT_EQ(cdHash(HashType::SHA256, blob), fullCdHash(HashType::SHA256, blob).substr(0, 20));

    // A reader never trusts the lengths it is given.
    EXPECT_FALSE(parseCodeDirectory(blob.substr(0, blob.size() - 1)));
    std::string lying = blob;
    bytes::putBe32(lying, 28, 1000);  // nCodeSlots beyond the blob
    EXPECT_FALSE(parseCodeDirectory(lying));
    std::string noNul = blob;
    bytes::putBe32(noNul, 20, uint32_t(blob.size() - 1));  // identifier at the last byte, no terminator
    EXPECT_FALSE(parseCodeDirectory(noNul.substr(0, noNul.size() - 1) + "x"));
}

TEST(SuperBlob, PacksBlobsInSlotOrderAndRejectsOutOfBoundsIndexes) {
    BlobMap blobs{{CSSLOT_SIGNATURESLOT, wrapBlob(CSMAGIC_BLOBWRAPPER, "")},
                  {CSSLOT_CODEDIRECTORY, wrapBlob(CSMAGIC_CODEDIRECTORY, "abc")},
                  {CSSLOT_REQUIREMENTS, requirementsSet(std::nullopt)}};
    std::string sb = buildSuperBlob(blobs);
    EXPECT_EQ(sb.size(), 12u + 3 * 8 + 11 + 12 + 8);
    EXPECT_EQ(*bytes::be32(sb, 16), 36u);       // first blob right after the index
    EXPECT_EQ(*bytes::be32(sb, 24), 47u);       // packed, odd offsets allowed
    EXPECT_EQ(*bytes::be32(sb, 28), CSSLOT_SIGNATURESLOT);
    auto parsed = parseSuperBlob(sb);
    ASSERT_TRUE(parsed);
    EXPECT_EQ((*parsed)[CSSLOT_REQUIREMENTS], requirementsSet(std::nullopt));
    std::string broken = sb;
    bytes::putBe32(broken, 24, uint32_t(sb.size() - 4));  // blob header past the end
    EXPECT_FALSE(parseSuperBlob(broken));
    EXPECT_FALSE(parseSuperBlob(sb.substr(0, 20)));
}

// A minimal 64-bit slice header: __TEXT, __LINKEDIT and optionally LC_CODE_SIGNATURE.
std::string sliceHeader(uint64_t linkeditOff, uint64_t linkeditSize, std::optional<std::pair<uint32_t, uint32_t>> sig,
                        uint32_t firstSection) {
    std::string cmds;
    auto seg = [&](const char* name, uint64_t off, uint64_t size, uint32_t nsects) {
        std::string c(72 + 80 * nsects, '\0');
        bytes::put32(c, 0, macho::LC_SEGMENT_64, false);
        bytes::put32(c, 4, uint32_t(c.size()), false);
        std::memcpy(c.data() + 8, name, std::strlen(name));
        bytes::put64(c, 32, bytes::alignUp(size, 0x4000), false);
        bytes::put64(c, 40, off, false);
        bytes::put64(c, 48, size, false);
        bytes::put32(c, 64, nsects, false);
        if (nsects) bytes::put32(c, 72 + 48, firstSection, false);
        cmds += c;
    };
    seg("__TEXT", 0, 0x4000, 1);
    seg("__LINKEDIT", linkeditOff, linkeditSize, 0);
    uint32_t ncmds = 2;
    if (sig) {
        std::string c(16, '\0');
        bytes::put32(c, 0, macho::LC_CODE_SIGNATURE, false);
        bytes::put32(c, 4, 16, false);
        bytes::put32(c, 8, sig->first, false);
        bytes::put32(c, 12, sig->second, false);
        cmds += c;
        ++ncmds;
    }
    std::string header(32, '\0');
    bytes::put32(header, 0, macho::MH_MAGIC_64, false);
    bytes::put32(header, 4, uint32_t(macho::CPU_TYPE_ARM64), false);
    bytes::put32(header, 12, macho::MH_EXECUTE, false);
    bytes::put32(header, 16, ncmds, false);
    bytes::put32(header, 20, uint32_t(cmds.size()), false);
    return header + cmds;
}

macho::Slice sliceOf(const std::string& header, uint64_t size, uint64_t linkeditOff, uint64_t linkeditSize,
                     std::optional<std::pair<uint32_t, uint32_t>> sig, uint32_t firstSection) {
    macho::Slice s;
    s.size = size;
    s.is64 = true;
    s.filetype = macho::MH_EXECUTE;
    s.headerSize = 32;
    s.ncmds = *bytes::u32(header, 16, false);
    s.sizeofcmds = *bytes::u32(header, 20, false);
    s.linkedit = macho::Segment{32 + 72 + 80, linkeditOff, linkeditSize, bytes::alignUp(linkeditSize, 0x4000)};
    s.text = macho::Segment{32, 0, 0x4000, 0x4000};
    s.firstSectionOffset = firstSection;
    if (sig) {
        s.codeSignatureCommand = 32 + 72 + 80 + 72;
        s.signatureOffset = sig->first;
        s.signatureSize = sig->second;
    }
    return s;
}

TEST(MachOLayout, AddsTheSignatureCommandWithTheWorkedNumbers) {
    const std::string header = sliceHeader(0x18000, 0x1A2B5 - 0x18000, std::nullopt, 0x1000);
    auto slice = sliceOf(header, 0x1A2B5, 0x18000, 0x1A2B5 - 0x18000, std::nullopt, 0x1000);
    auto placement = macho::placeSignature(slice);
    ASSERT_TRUE(placement);
    EXPECT_TRUE(placement->addsCommand);
    EXPECT_EQ(placement->codeLimit, 0x1A2C0u);
    auto layout = macho::layoutSlice(slice, header, *placement, 0x4A90);
    EXPECT_EQ(layout.newSize, 0x1ED50u);
    EXPECT_EQ(*bytes::u32(layout.header, 16, false), 3u);
    EXPECT_EQ(*bytes::u32(layout.header, 20, false), slice.sizeofcmds + 16);
    const uint64_t le = 32 + 72 + 80;
    EXPECT_EQ(*bytes::u64(layout.header, le + 48, false), 0x6D50u);  // filesize
    EXPECT_EQ(*bytes::u64(layout.header, le + 32, false), 0x8000u);  // vmsize
    const uint64_t cmd = slice.commandsEnd();
    EXPECT_EQ(*bytes::u32(layout.header, cmd, false), macho::LC_CODE_SIGNATURE);
    EXPECT_EQ(*bytes::u32(layout.header, cmd + 8, false), 0x1A2C0u);
    EXPECT_EQ(*bytes::u32(layout.header, cmd + 12, false), 0x4A90u);
}

TEST(MachOLayout, ReusesAnExistingCommandAndRefusesWhenThereIsNoRoom) {
    const std::string header = sliceHeader(0x8000, 0x1200, std::make_pair(0x9000u, 0x200u), 0x1000);
    auto slice = sliceOf(header, 0x9200, 0x8000, 0x1200, std::make_pair(0x9000u, 0x200u), 0x1000);
    auto placement = macho::placeSignature(slice);
    ASSERT_TRUE(placement);
    EXPECT_FALSE(placement->addsCommand);
    EXPECT_EQ(placement->codeLimit, 0x9000u);
    auto layout = macho::layoutSlice(slice, header, *placement, 0x100);  // shrinks
    EXPECT_EQ(layout.newSize, 0x9100u);
    EXPECT_EQ(layout.header.size(), header.size());

    // The first section starts right after the load commands: no room for 16 more bytes.
    const std::string tight = sliceHeader(0x8000, 0x1000, std::nullopt, 0);
    auto full = sliceOf(tight, 0x9000, 0x8000, 0x1000, std::nullopt, uint32_t(tight.size() + 8));
    auto error = macho::placeSignature(full);
    EXPECT_FALSE(error);
    EXPECT_EQ(error.text(), "not enough room in load commands to add LC_CODE_SIGNATURE");

    // A signature that is not the last thing of the file.
    auto trailing = sliceOf(header, 0x10000, 0x8000, 0x1200, std::make_pair(0x9000u, 0x200u), 0x1000);
    EXPECT_FALSE(macho::placeSignature(trailing));
}

TEST(MachOLayout, FatSlicesStartOn16KBoundaries) {
    auto fat = macho::layoutFat({0x1ED50, 0x4001});
    ASSERT_EQ(fat.offsets.size(), 2u);
    EXPECT_EQ(fat.offsets[0], 0x4000u);
    EXPECT_EQ(fat.offsets[1], 0x24000u);
    EXPECT_EQ(fat.size, 0x24000u + 0x4001);
}

TEST(Identifiers, ComeFromTheFileName) {
    EXPECT_EQ(identifierFromFileName("libFoo.dylib"), "libFoo");
    EXPECT_EQ(identifierFromFileName("foo.2.3.4"), "foo.2");
    EXPECT_EQ(identifierFromFileName("App"), "App");
    EXPECT_EQ(identifierFromFileName("libz.1.dylib"), "libz.1");
}

}  // namespace
