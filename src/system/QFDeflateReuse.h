#pragma once
// Compressing a file again when most of it is unchanged: a re-signed binary
// differs from the one it was unpacked from only in its header and in the
// signature at its end. Its new compressed data (raw deflate) takes the old
// entry's compressed blocks as they lie wherever the file is unchanged, from
// 32 KB before a block's start (as far back as a block may refer) to its
// end, and compresses only the rest. Before the result is used, what was
// compressed afresh and the first and last block of every copied run are
// inflated on their own and compared with the file (the blocks between are
// the old stream's bits, whose bytes the index vouches for): a stream that
// does not give back the file is never handed on, the file is compressed
// afresh instead.
//
// Which blocks there are, and what each gives, is learnt while the stream
// is inflated anyway (the archive check before unpacking): an index of the
// blocks with a digest of each block's bytes. Reusing compares the new
// file's bytes with those digests; the old bytes are gone by then.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Files are indexed, and compressed reusing their old entries, from this
// size: below it there is little to gain.
inline constexpr uint64_t kQFDeflateReuseFrom = uint64_t{64} << 10;

// Whether a file's first bytes are those of a binary (Mach-O, thin or fat):
// the files a re-sign rewrites keeping all but their head and signature.
bool QFStartsAsBinary(std::string_view head);

// One block of a deflate stream.
struct QFDeflateBlock {
    uint64_t start = 0, end = 0;        // the bytes it gives, in the file
    uint64_t bitStart = 0, bitEnd = 0;  // where it lies, in the stream
    bool copyable = false;              // compressed (not stored), not the stream's last, not empty
    std::string digest;                 // SHA-256 of the bytes it gives
};
using QFDeflateIndex = std::vector<QFDeflateBlock>;

// Indexes a stream while it is inflated with Z_BLOCK. The blocks are those
// that ended; the stream's last block never does.
class QFDeflateIndexer {
public:
    // readStream(offset, to, count): count bytes of the stream at offset, for
    // a block's header; false when they cannot be read. size: the bytes the
    // stream should give, which bounds how many blocks are indexed.
    QFDeflateIndexer(std::function<bool(uint64_t, unsigned char*, size_t)> readStream, uint64_t size);
    ~QFDeflateIndexer();
    QFDeflateIndexer(const QFDeflateIndexer&) = delete;
    QFDeflateIndexer& operator=(const QFDeflateIndexer&) = delete;
    // False once the stream is not worth indexing (not a binary's, or too
    // many blocks for its size): inflate() then needs no Z_BLOCK.
    bool wanted() const;
    // What one inflate() call gave.
    void inflated(const char* data, size_t count);
    // After each inflate() call: bytesTaken is how many stream bytes it has
    // been given in all, dataType the stream's data_type.
    void stopped(uint64_t bytesTaken, int dataType);
    // The index; nothing when the bytes were not a binary's, or hashing failed.
    std::shared_ptr<const QFDeflateIndex> finish();

private:
    struct State;
    std::unique_ptr<State> state;
};

// A byte range of an open file.
struct QFFileRange {
    int fd = -1;
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct QFDeflateReuseResult {
    uint64_t compressedSize = 0;
    uint64_t reusedBytes = 0;  // of the file's bytes, how many came in old compressed blocks
};

// Writes to out at outOffset the raw deflate stream of newBytes, reusing the
// blocks of oldStream (the raw deflate data of the file's old entry) where
// they give newBytes' own bytes; with no old stream, or none that serves,
// everything is compressed afresh. oldIndex is the old stream's index, made
// here when not given. Nothing when a file cannot be read or written; a
// damaged or lying old stream only means less is reused.
std::optional<QFDeflateReuseResult> QFDeflateReusing(const std::optional<QFFileRange>& oldStream,
                                                     const QFDeflateIndex* oldIndex, const QFFileRange& newBytes,
                                                     int out, uint64_t outOffset);
