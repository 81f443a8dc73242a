#include <gtest/gtest.h>

#include "crypto/Certificate.h"
#include "crypto/Der.h"
#include "crypto/Hash.h"
#include "crypto/Hex.h"
#include "testkit/pki.h"

namespace {

using namespace std::string_literals;

// Encodings that claim more than is there, or that cannot end, are refused;
// well-formed ones are read to their exact end.
TEST(BerReader, ReadsWithinBoundsOnly) {
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
        size_t end;
    };
    const Case cases[] = {
        {"short form", "\x04\x02hi"s, true, 4},
        {"long form", "\x04\x81\x02hi"s, true, 5},
        {"empty input", ""s, false, 0},
        {"identifier only", "\x04"s, false, 0},
        {"length past the end", "\x04\x05hi"s, false, 0},
        {"long length past the end", "\x04\x84\x7f\xff\xff\xffhi"s, false, 0},
        {"length of nine bytes", "\x04\x89\x00\x00\x00\x00\x00\x00\x00\x00\x02hi"s, false, 0},
        {"long length cut short", "\x04\x82\x00"s, false, 0},
        {"high tag number cut short", "\x1f\x81"s, false, 0},
        {"high tag number too long", "\x1f\x81\x81\x81\x81\x81\x81\x81\x81\x01\x00"s, false, 0},
        {"indefinite length", "\x30\x80\x04\x00\x00\x00"s, true, 6},
        {"indefinite length never ended", "\x30\x80\x04\x00"s, false, 0},
        {"indefinite length on a primitive", "\x04\x80\x00\x00"s, false, 0},
    };
    for (const auto& c : cases) {
        crypto::der::BerReader reader(c.bytes);
        auto element = reader.read(0, c.bytes.size());
        EXPECT_EQ(element.ok(), c.ok) << c.what;
        if (element && c.ok) {
            EXPECT_EQ(element->end, c.end) << c.what;
        }
    }
}

TEST(BerReader, RefusesNestingBeyondTheLimit) {
    std::string nested;
    for (int i = 0; i <= crypto::der::kMaxDepth + 1; ++i) nested = "\x30\x80"s + nested + "\x00\x00"s;
    crypto::der::BerReader reader(nested);
    EXPECT_FALSE(reader.read(0, nested.size()).ok());
}

TEST(BerReader, JoinsChunkedOctetsAndReadsWhatTheWriterWrote) {
    std::string chunked = "\x24\x80\x04\x02hi\x04\x01!\x00\x00"s;
    crypto::der::BerReader chunks(chunked);
    auto element = chunks.readWhole();
    ASSERT_TRUE(element);
    auto octets = chunks.octets(*element);
    ASSERT_TRUE(octets);
    EXPECT_EQ(*octets, "hi!");

    std::string big(300, 'x');
    std::string written = crypto::der::tlv(0x30, crypto::der::tlv(0x04, big) + crypto::der::integer(-129));
    crypto::der::BerReader reader(written);
    auto sequence = reader.readWhole();
    ASSERT_TRUE(sequence);
    auto children = reader.children(*sequence);
    ASSERT_TRUE(children);
    ASSERT_EQ(children->size(), 2u);
    EXPECT_EQ(reader.contents((*children)[0]), big);
    EXPECT_EQ(reader.contents((*children)[1]), "\xff\x7f"s);
    EXPECT_FALSE(crypto::der::BerReader(written + "x").readWhole().ok());
}

TEST(Hex, EncodesEachByteAsTwoDigits) {
    struct Case {
        std::string bytes;
        crypto::HexCase letters;
        const char* hex;
    };
    const Case cases[] = {
        {""s, crypto::HexCase::Lower, ""},
        {"\x00\x0f\xa5\xff"s, crypto::HexCase::Lower, "000fa5ff"},
        {"\x00\x0f\xa5\xff"s, crypto::HexCase::Upper, "000FA5FF"},
    };
    for (const auto& c : cases) EXPECT_EQ(crypto::toHex(c.bytes, c.letters), c.hex);
}

TEST(Certificate, DecodesExactlyOneCertificate) {
    const std::string& der = testkit::pki::defaultLeaf().certDer;
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
    };
    const Case cases[] = {
        {"the certificate", der, true},
        {"a byte after it", der + "\0"s, false},
        {"cut short", der.substr(0, der.size() - 1), false},
        {"nothing", ""s, false},
    };
    for (const auto& c : cases) EXPECT_EQ(crypto::certificateFromDer(c.bytes).ok(), c.ok) << c.what;

    auto certificate = crypto::certificateFromDer(der);
    ASSERT_TRUE(certificate);
    auto again = crypto::certificateToDer(certificate->get());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, der);
    auto fromPem = crypto::certificatesInPem(testkit::pki::defaultLeaf().certPem() + testkit::pki::defaultLeaf().certPem());
    ASSERT_EQ(fromPem.size(), 2u);
    EXPECT_EQ(fromPem[1], der);
    EXPECT_TRUE(crypto::certificatesInPem("no certificate here").empty());
}

TEST(Hash, DigestsHaveTheSizeOfTheirType) {
    for (auto type : {crypto::HashType::SHA1, crypto::HashType::SHA256}) {
        EXPECT_EQ(crypto::digest(type, "abc").size(), crypto::hashSize(type)) << crypto::hashName(type);
        // Fed in pieces, and again after a finish, the stream gives the one-shot digest.
        crypto::Digester digester(type);
        for (int round = 0; round < 2; ++round) {
            digester.update("a", 1);
            digester.update("bc", 2);
            auto streamed = digester.finish();
            ASSERT_TRUE(streamed);
            EXPECT_EQ(*streamed, crypto::digest(type, "abc"));
        }
        crypto::PageHasher pages(type, 4);
        pages.update("abcdefghij", 10);
        EXPECT_EQ(pages.finish(), crypto::digest(type, "abcd") + crypto::digest(type, "efgh") + crypto::digest(type, "ij"));
    }
    EXPECT_EQ(crypto::toHex(crypto::digest(crypto::HashType::SHA1, "abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_FALSE(crypto::hashTypeOf(crypto::kHashTypeSha384).has_value());
}

}  // namespace
