// Compressing a changed file reusing its old entry's compressed blocks: the
// stream must inflate to exactly the new bytes whatever the old stream
// holds, and reuse what a re-sign leaves unchanged.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <functional>
#include <random>
#include <string>

#include "ZipWriter.h"
#include "system/QFArchiveSafety.h"
#include "system/QFDeflateReuse.h"
#include "system/QFZipDirectory.h"
#include "testkit/testkit.h"

namespace {

// About as compressible as machine code: runs of few distinct bytes among
// random ones, after a binary's magic number.
std::string binaryLike(size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (size_t i = 4; i < size; ++i) {
        if ((i >> 12) % 2 == 0) bytes[i] = char('A' + (random() & 15));
        else if (i % 64 < 32) bytes[i] = char(random());
        else bytes[i] = char(i % 64 == 32 ? random() & 7 : bytes[i - 1]);
    }
    bytes.replace(0, 4, "\xcf\xfa\xed\xfe");
    return bytes;
}

std::string inflateRaw(const std::string& stream) {
    z_stream z{};
    inflateInit2(&z, -15);
    std::string out, buffer(1 << 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer.data());
        z.avail_out = static_cast<uInt>(buffer.size());
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer.data(), buffer.size() - z.avail_out);
    }
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : "(damaged stream)";
}

struct Stream {
    std::string file;  // holding the stream
    QFFileRange range;
};

class DeflateReuse : public ::testing::Test {
protected:
    void SetUp() override { work = testkit::makeScratchDir("deflate-reuse"); }
    void TearDown() override {
        for (int fd : fds) ::close(fd);
    }
    int open(const std::string& path, int flags = O_RDONLY) {
        int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
        fds.push_back(fd);
        return fd;
    }
    // The packing tool's compressed data for bytes, as a range of its
    // archive, and the index the archive check makes of it.
    QFFileRange packed(const std::string& bytes, const std::string& name, std::shared_ptr<const QFDeflateIndex>* index) {
        testkit::writeFile(work + "/" + name, bytes);
        EXPECT_EQ(testkit::run({"/usr/bin/zip", "-q", name + ".zip", name}, nullptr, work), 0);
        std::vector<QFArchiveEntry> listed;
        EXPECT_EQ(QFCheckArchiveBeforeUnpacking(work + "/" + name + ".zip", work, {}, &listed), std::nullopt);
        *index = listed.at(0).blocks;
        EXPECT_TRUE(*index) << "a binary's stream is indexed";
        qfzip::ArchiveFile archive(work + "/" + name + ".zip");
        auto directory = qfzip::findDirectory(archive);
        auto entries = qfzip::readEntries(archive, *directory);
        auto at = qfzip::dataOffset(archive, *directory, entries->at(0));
        EXPECT_EQ(entries->at(0).method, qfzip::kMethodDeflated);
        return {open(work + "/" + name + ".zip"), *at, entries->at(0).compressedSize};
    }
    QFFileRange file(const std::string& bytes, const std::string& name) {
        testkit::writeFile(work + "/" + name, bytes);
        return {open(work + "/" + name), 0, bytes.size()};
    }
    std::string work;
    std::vector<int> fds;
};

// Re-signed shapes and streams that cannot serve: each stream inflates to
// the new bytes; the reuse is what the unchanged stretches allow.
TEST_F(DeflateReuse, GivesTheNewBytesAndReusesWhatDidNotChange) {
    // Long enough that copied runs cross the pieces they are copied in.
    const std::string old = binaryLike(2560 << 10, 1);
    struct Case {
        const char* name;
        std::function<std::string()> now;
        std::function<void(std::string& stream)> damage;  // of the old stream's bytes
        double reusedAtLeast, reusedAtMost;               // of the new size
    };
    auto resigned = [&] {
        std::string s = old;
        s[16] ^= 0x40;                               // a size in the header
        s.replace(s.size() - 40000, 40000, binaryLike(52000, 2));  // a longer signature
        return s;
    };
    const Case cases[] = {
        {"re-signed: head changed, a longer signature at the end", resigned, nullptr, 0.8, 1.0},
        {"unchanged", [&] { return old; }, nullptr, 0.85, 1.0},
        {"cut short", [&] { return old.substr(0, old.size() / 2); }, nullptr, 0.85, 1.0},
        {"bytes inserted at the start: nothing lines up", [&] { return "xyz" + old; }, nullptr, 0, 0},
        {"another file", [&] { return binaryLike(old.size(), 3); }, nullptr, 0, 0},
        {"old stream damaged in the middle", resigned,
         [](std::string& stream) {
             for (size_t i = stream.size() / 2; i < stream.size() / 2 + 64; ++i) stream[i] = char(~stream[i]);
         },
         0.2, 0.6},
        {"old stream cut short", resigned, [](std::string& stream) { stream.resize(stream.size() / 3); }, 0.2, 0.4},
        {"old stream of random bytes", resigned,
         [](std::string& stream) { stream = binaryLike(stream.size(), 4); }, 0, 0.01},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = std::to_string(n++);
        std::shared_ptr<const QFDeflateIndex> index;
        QFFileRange oldStream = packed(old, "old" + tag, &index);
        if (c.damage) {
            index = nullptr;  // the check's index is of the stream as it was
            std::string bytes(oldStream.length, '\0');
            ASSERT_EQ(::pread(oldStream.fd, bytes.data(), bytes.size(), oldStream.offset), ssize_t(bytes.size()));
            c.damage(bytes);
            oldStream = file(bytes, "damaged" + tag);
        }
        const std::string now = c.now();
        const QFFileRange newBytes = file(now, "new" + tag);
        const int out = open(work + "/out" + tag, O_RDWR | O_CREAT);
        const uint64_t at = 100;  // behind other streams
        auto fresh = QFDeflateReusing(std::nullopt, nullptr, newBytes, out, 0);
        ASSERT_TRUE(fresh);
        EXPECT_EQ(fresh->reusedBytes, 0u);
        // With the check's index, and with one made on the spot.
        for (const QFDeflateIndex* given : {index.get(), static_cast<const QFDeflateIndex*>(nullptr)}) {
            SCOPED_TRACE(given ? "the check's index" : "an index made on the spot");
            auto made = QFDeflateReusing(oldStream, given, newBytes, out, at);
            ASSERT_TRUE(made);
            std::string stream(made->compressedSize, '\0');
            ASSERT_EQ(::pread(out, stream.data(), stream.size(), at), ssize_t(stream.size()));
            EXPECT_TRUE(inflateRaw(stream) == now) << "the stream gives back the new bytes";
            EXPECT_GE(made->reusedBytes, uint64_t(c.reusedAtLeast * now.size()));
            EXPECT_LE(made->reusedBytes, uint64_t(c.reusedAtMost * now.size()));
            // As small as compressing afresh, within 2%.
            EXPECT_LE(made->compressedSize, fresh->compressedSize * 102 / 100);
        }
    }
}

// The archive check indexes compressed binaries only, and no stream whose
// blocks are too many for its size; indexing never changes its verdict.
TEST_F(DeflateReuse, TheCheckIndexesOnlyWhatIsWorthItAndJudgesAsBefore) {
    const std::string binary = binaryLike(256 << 10, 5);
    struct Case {
        const char* name;
        std::string bytes;
        ZipWriter::Options options;
        std::optional<QFArchiveRefusal> verdict;
        bool indexed;
    };
    ZipWriter::Options deflated;
    deflated.deflate = true;
    ZipWriter::Options tinyBlocks = deflated;
    tinyBlocks.flushEvery = 16;
    ZipWriter::Options lying = deflated;
    lying.declaredSize = binary.size() / 2;
    const Case cases[] = {
        {"a binary", binary, deflated, std::nullopt, true},
        {"a binary in blocks of 16 bytes", binary, tinyBlocks, std::nullopt, false},
        {"not a binary", std::string(256 << 10, 't'), deflated, std::nullopt, false},
        {"a binary stored", binary, {}, std::nullopt, false},
        {"a binary that inflates past its declared size", binary, lying, QFArchiveRefusal::SizeMismatch, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string archive = work + "/check" + std::to_string(n++) + ".zip";
        ZipWriter zip;
        zip.add("Payload/A.app/A", c.bytes, 0100755, c.options);
        zip.write(archive);
        std::vector<QFArchiveEntry> listed;
        EXPECT_EQ(QFCheckArchiveBeforeUnpacking(archive, work, {}, &listed), c.verdict);
        if (!c.verdict) {
            EXPECT_EQ(listed.at(0).blocks != nullptr, c.indexed);
        }
    }
}

}  // namespace
