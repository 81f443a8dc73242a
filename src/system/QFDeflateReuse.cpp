#include "system/QFDeflateReuse.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "codesign/MachO.h"
#include "crypto/Hash.h"

namespace {

constexpr uint64_t kWindow = 32768;          // how far back a deflate block may refer
constexpr size_t kChunk = size_t{1} << 20;   // bytes read or written at a time
constexpr size_t kInflated = size_t{1} << 16;
constexpr int kLevel = 6;                    // the packing tool's default

uint64_t le64(uint64_t value) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_bswap64(value);
#else
    return value;
#endif
}

bool readAt(int fd, char* to, size_t count, uint64_t at) {
    while (count > 0) {
        ssize_t n = ::pread(fd, to, count, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        to += n;
        count -= static_cast<size_t>(n);
        at += static_cast<uint64_t>(n);
    }
    return true;
}

bool writeAt(int fd, const char* from, size_t count, uint64_t at) {
    while (count > 0) {
        ssize_t n = ::pwrite(fd, from, count, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        from += n;
        count -= static_cast<size_t>(n);
        at += static_cast<uint64_t>(n);
    }
    return true;
}

// A stretch of the old stream that gives the same bytes in the new file:
// one or more whole blocks.
struct Block {
    uint64_t start, end;        // in the file
    uint64_t bitStart, bitEnd;  // in the old stream
    uint64_t firstEnd, firstBitEnd;     // where its first block ends
    uint64_t lastStart, lastBitStart;   // where its last block starts
};

// The old stream's index, made by inflating it.
std::shared_ptr<const QFDeflateIndex> indexOf(const QFFileRange& old, const QFFileRange& now) {
    QFDeflateIndexer indexer(
        [&old](uint64_t at, unsigned char* to, size_t count) {
            return at <= old.length && count <= old.length - at &&
                   readAt(old.fd, reinterpret_cast<char*>(to), count, old.offset + at);
        },
        now.length);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return nullptr;
    std::string in(kChunk, '\0'), out(kInflated, '\0');
    uint64_t taken = 0, produced = 0;
    // Blocks past the new file's end are of no use: inflating stops there.
    while (indexer.wanted() && produced <= now.length) {
        if (z.avail_in == 0) {
            if (taken == old.length) break;  // cut short
            const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), old.length - taken));
            if (!readAt(old.fd, in.data(), n, old.offset + taken)) break;
            z.next_in = reinterpret_cast<Bytef*>(in.data());
            z.avail_in = static_cast<uInt>(n);
            taken += n;
        }
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        const uInt before = z.avail_in;
        const int status = inflate(&z, Z_BLOCK);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) break;
        const size_t got = out.size() - z.avail_out;
        indexer.inflated(out.data(), got);
        produced += got;
        if (status == Z_STREAM_END) break;
        indexer.stopped(taken - z.avail_in, z.data_type);
        if (status == Z_BUF_ERROR && got == 0 && z.avail_in == before && z.avail_in > 0) break;
    }
    inflateEnd(&z);
    return indexer.finish();
}

// The blocks that can be copied: the new file gives the bytes the block
// gives, and those of the 32 KB before it (as far back as it may refer).
std::vector<Block> reusableBlocks(const QFDeflateIndex& index, const QFFileRange& now) {
    std::vector<Block> blocks;
    crypto::Digester digester(crypto::HashType::SHA256);
    std::string bytes;
    uint64_t agreeFrom = 0;  // the file agrees with the old bytes from here to the last block seen
    uint64_t expected = 0;
    for (const QFDeflateBlock& b : index) {
        if (b.start != expected || b.end < b.start || b.end > now.length) break;
        expected = b.end;
        for (uint64_t at = b.start; at < b.end;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, b.end - at));
            bytes.resize(n);
            if (!readAt(now.fd, bytes.data(), n, now.offset + at) || !digester.update(bytes)) return blocks;
            at += n;
        }
        auto digest = digester.finish();
        if (!digest) return blocks;
        if (*digest != b.digest) {
            agreeFrom = b.end;
            continue;
        }
        const uint64_t context = b.start > kWindow ? b.start - kWindow : 0;
        if (!b.copyable || agreeFrom > context) continue;
        if (!blocks.empty() && blocks.back().end == b.start && blocks.back().bitEnd == b.bitStart) {
            blocks.back().end = b.end;
            blocks.back().bitEnd = b.bitEnd;
            blocks.back().lastStart = b.start;
            blocks.back().lastBitStart = b.bitStart;
        } else {
            blocks.push_back({b.start, b.end, b.bitStart, b.bitEnd, b.end, b.bitEnd, b.start, b.bitStart});
        }
    }
    return blocks;
}

// The new stream, written in order; bits go in from the lowest up.
class BitSink {
public:
    BitSink(int fd, uint64_t at) : fd(fd), at(at) { buffer.reserve(kChunk + kInflated); }
    bool ok() const { return good; }
    uint64_t size() const { return flushed + buffer.size(); }
    uint64_t position() const { return size() * 8 + count; }  // in bits
    unsigned pendingBits() const { return count; }
    unsigned pendingValue() const { return accumulator; }
    void dropPending() { accumulator = count = 0; }

    void bits(unsigned value, unsigned n) {
        accumulator |= value << count;
        count += n;
        while (count >= 8) {
            buffer.push_back(static_cast<char>(accumulator & 0xff));
            accumulator >>= 8;
            count -= 8;
        }
        if (buffer.size() >= kChunk) flush();
    }
    // Whole bytes; no bits may be pending.
    void bytes(const char* data, size_t n) {
        buffer.append(data, n);
        if (buffer.size() >= kChunk) flush();
    }
    // Bits [first, first + n) of data.
    void copy(const unsigned char* data, uint64_t first, uint64_t n) {
        data += first / 8;
        // Up to the source's next byte boundary bit by bit, then whole bytes
        // shifted past the bits pending here, eight at a time.
        if (const unsigned shift = static_cast<unsigned>(first % 8); shift != 0) {
            const unsigned take = static_cast<unsigned>(std::min<uint64_t>(8 - shift, n));
            bits((unsigned(data[0]) >> shift) & ((1u << take) - 1), take);
            ++data;
            n -= take;
        }
        if (count == 0) {
            bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(n / 8));
            data += n / 8;
        } else {
            uint64_t carry = accumulator;
            const size_t words = static_cast<size_t>(n / 64);
            const size_t from = buffer.size();
            buffer.resize(from + 8 * words);
            char* to = buffer.data() + from;
            for (size_t i = 0; i < words; ++i, data += 8, to += 8) {
                uint64_t in;
                std::memcpy(&in, data, 8);
                in = le64(in);
                const uint64_t out = le64(carry | in << count);
                carry = in >> (64 - count);
                std::memcpy(to, &out, 8);
            }
            accumulator = static_cast<unsigned>(carry);
            if (buffer.size() >= kChunk) flush();
            for (uint64_t left = (n / 8) % 8; left > 0; --left, ++data) bits(data[0], 8);
        }
        if (n % 8 > 0) bits(unsigned(data[0]) & ((1u << (n % 8)) - 1), static_cast<unsigned>(n % 8));
    }
    void flush() {
        if (good && !buffer.empty()) good = writeAt(fd, buffer.data(), buffer.size(), at + flushed);
        flushed += buffer.size();
        buffer.clear();
    }

private:
    int fd;
    uint64_t at, flushed = 0;
    std::string buffer;
    unsigned accumulator = 0, count = 0;
    bool good = true;
};

// Old stream bits [first, end) into the sink, a piece at a time.
bool copyBlocks(const QFFileRange& old, uint64_t first, uint64_t end, BitSink& sink) {
    std::string piece;
    constexpr uint64_t kPieceBits = uint64_t{kChunk} * 8;
    while (first < end) {
        const uint64_t n = std::min(end - first, kPieceBits);
        const uint64_t fromByte = first / 8, toByte = (first + n + 7) / 8;
        // One byte beyond, where it exists, for the shifted copy's look-ahead.
        const uint64_t readTo = std::min(toByte + 1, old.length);
        piece.assign(static_cast<size_t>(readTo - fromByte), '\0');
        if (readTo < toByte || !readAt(old.fd, piece.data(), piece.size(), old.offset + fromByte)) return false;
        if (readTo == toByte) piece.push_back('\0');
        sink.copy(reinterpret_cast<const unsigned char*>(piece.data()), first % 8, n);
        first += n;
    }
    return true;
}

// The file's bytes [from, to) compressed afresh, after the bits the sink
// holds; the stream ends there when last, else on a byte boundary.
bool compressAfresh(const QFFileRange& now, uint64_t from, uint64_t to, bool last, BitSink& sink) {
    z_stream z{};
    if (deflateInit2(&z, kLevel, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    std::string in, out(kChunk / 4, '\0');
    bool ok = true;
    if (from > 0) {
        const uint64_t dictionaryFrom = from > kWindow ? from - kWindow : 0;
        in.assign(static_cast<size_t>(from - dictionaryFrom), '\0');
        ok = readAt(now.fd, in.data(), in.size(), now.offset + dictionaryFrom) &&
             deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(in.data()), static_cast<uInt>(in.size())) == Z_OK;
    }
    if (ok && sink.pendingBits() > 0) {
        ok = deflatePrime(&z, static_cast<int>(sink.pendingBits()), static_cast<int>(sink.pendingValue())) == Z_OK;
        sink.dropPending();
    }
    uint64_t at = from;
    while (ok) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, to - at));
        in.assign(n, '\0');
        if (n > 0 && !readAt(now.fd, in.data(), n, now.offset + at)) {
            ok = false;
            break;
        }
        at += n;
        const int flush = at < to ? Z_NO_FLUSH : last ? Z_FINISH : Z_SYNC_FLUSH;
        z.next_in = reinterpret_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(n);
        int status = Z_OK;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            status = deflate(&z, flush);
            if (status == Z_STREAM_ERROR) {
                ok = false;
                break;
            }
            sink.bytes(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        if (flush != Z_NO_FLUSH) break;
    }
    deflateEnd(&z);
    return ok && sink.ok();
}

// A stretch of the new stream to inflate on its own: from bit `bit`, with
// the file's bytes before `from` as history, it must give the file's bytes
// [from, to) and come to a block boundary at bit `endBit`, or to the
// stream's end when there is none.
struct Stretch {
    uint64_t bit, from, to;
    std::optional<uint64_t> endBit;
};

bool inflatesTo(int out, uint64_t outOffset, uint64_t compressed, const QFFileRange& now, const Stretch& s) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    std::string in, got(kInflated, '\0'), want(kInflated, '\0');
    bool ok = s.bit / 8 < compressed;
    if (ok && s.from > 0) {
        const uint64_t history = s.from > kWindow ? s.from - kWindow : 0;
        in.assign(static_cast<size_t>(s.from - history), '\0');
        ok = readAt(now.fd, in.data(), in.size(), now.offset + history) &&
             inflateSetDictionary(&z, reinterpret_cast<const Bytef*>(in.data()), static_cast<uInt>(in.size())) == Z_OK;
    }
    uint64_t next = s.bit / 8;  // the next stream byte to hand over
    if (ok && s.bit % 8 != 0) {
        char first = 0;
        const int skip = static_cast<int>(s.bit % 8);
        ok = readAt(out, &first, 1, outOffset + next) &&
             inflatePrime(&z, 8 - skip, static_cast<unsigned char>(first) >> skip) == Z_OK;
        ++next;
    }
    uint64_t produced = 0;
    const uint64_t length = s.to - s.from;
    bool done = false;
    in.resize(kChunk / 4);
    while (ok && !done) {
        // The last bits may already be with inflate: it is called again with
        // no input until it can make no progress.
        if (z.avail_in == 0 && next < compressed) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(in.size(), compressed - next));
            if (!readAt(out, in.data(), n, outOffset + next)) {
                ok = false;
                break;
            }
            z.next_in = reinterpret_cast<Bytef*>(in.data());
            z.avail_in = static_cast<uInt>(n);
            next += n;
        }
        z.next_out = reinterpret_cast<Bytef*>(got.data());
        z.avail_out = static_cast<uInt>(got.size());
        const int status = inflate(&z, Z_BLOCK);
        if (status != Z_OK && status != Z_STREAM_END) ok = false;  // Z_BUF_ERROR: no progress, cut short
        const size_t n = got.size() - z.avail_out;
        if (n > length - produced) ok = false;
        if (ok && n > 0)
            ok = readAt(now.fd, want.data(), n, now.offset + s.from + produced) && std::memcmp(got.data(), want.data(), n) == 0;
        produced += n;
        if (!ok) break;
        if (status == Z_STREAM_END) {
            ok = !s.endBit && produced == length;
            done = true;
        } else if (s.endBit && (z.data_type & 128)) {
            const uint64_t at = (next - z.avail_in) * 8 - static_cast<uint64_t>(z.data_type & 7);
            if (at > *s.endBit) ok = false;
            done = at == *s.endBit;
            ok = ok && (!done || produced == length);
        }
    }
    inflateEnd(&z);
    return ok && done;
}

// Writes the new stream; *seams, when given, receives the stretches to
// inflate to check it: every stretch compressed afresh, and the first and
// last block of every copied run. A copied run's blocks are the old
// stream's bits, which give the file's bytes from the same history (the
// index says so); what can go wrong is where a run starts and ends in the
// new stream, which its first and last blocks show.
std::optional<QFDeflateReuseResult> write(const std::vector<Block>& blocks, const QFFileRange* old,
                                          const QFFileRange& now, int out, uint64_t outOffset,
                                          std::vector<Stretch>* seams = nullptr) {
    BitSink sink(out, outOffset);
    QFDeflateReuseResult result;
    uint64_t at = 0;
    for (const Block& b : blocks) {
        if (b.start > at) {
            const uint64_t bit = sink.position();
            if (!compressAfresh(now, at, b.start, false, sink)) return std::nullopt;
            if (seams) seams->push_back({bit, at, b.start, sink.position()});
        }
        const uint64_t bit = sink.position();
        if (!copyBlocks(*old, b.bitStart, b.bitEnd, sink)) return std::nullopt;
        if (seams) {
            seams->push_back({bit, b.start, b.firstEnd, bit + (b.firstBitEnd - b.bitStart)});
            if (b.lastStart > b.start) seams->push_back({bit + (b.lastBitStart - b.bitStart), b.lastStart, b.end, sink.position()});
        }
        result.reusedBytes += b.end - b.start;
        at = b.end;
    }
    const uint64_t bit = sink.position();
    if (!compressAfresh(now, at, now.length, true, sink)) return std::nullopt;
    if (seams) seams->push_back({bit, at, now.length, std::nullopt});
    sink.flush();
    if (!sink.ok()) return std::nullopt;
    result.compressedSize = sink.size();
    return result;
}

}  // namespace

struct QFDeflateIndexer::State {
    std::function<bool(uint64_t, unsigned char*, size_t)> readStream;
    crypto::Digester digester{crypto::HashType::SHA256};
    QFDeflateIndex index;
    std::string head;  // the first bytes, to tell a binary
    uint64_t produced = 0, blockStart = 0, blockBit = 0;
    uint64_t blocksLeft = 0;
    bool wanted = true;
};

QFDeflateIndexer::QFDeflateIndexer(std::function<bool(uint64_t, unsigned char*, size_t)> readStream, uint64_t size)
    : state(std::make_unique<State>()) {
    state->readStream = std::move(readStream);
    // Honest streams have blocks of many kilobytes; a stream of tiny or
    // empty blocks is not indexed, which bounds the index and the work.
    state->blocksLeft = 64 + size / 1024;
}

bool QFDeflateIndexer::wanted() const { return state->wanted; }

QFDeflateIndexer::~QFDeflateIndexer() = default;

void QFDeflateIndexer::inflated(const char* data, size_t count) {
    State& s = *state;
    if (!s.wanted || count == 0) return;
    if (s.head.size() < 4) {
        s.head.append(data, std::min(count, 4 - s.head.size()));
        if (s.head.size() == 4 && !QFStartsAsBinary(s.head)) {
            s.wanted = false;
            return;
        }
    }
    s.wanted = s.digester.update(data, count);
    s.produced += count;
}

void QFDeflateIndexer::stopped(uint64_t bytesTaken, int dataType) {
    State& s = *state;
    // At a block's end inflate() has used all but the last byte's dataType & 7 bits.
    if (!s.wanted || !(dataType & 128)) return;
    if (s.blocksLeft-- == 0) {
        s.wanted = false;
        s.index.clear();
        return;
    }
    const uint64_t bit = bytesTaken * 8 - static_cast<uint64_t>(dataType & 7);
    QFDeflateBlock block;
    block.start = s.blockStart;
    block.end = s.produced;
    block.bitStart = s.blockBit;
    block.bitEnd = bit;
    auto digest = s.digester.finish();
    if (!digest || bit < s.blockBit) {
        s.wanted = false;
        return;
    }
    block.digest = std::move(*digest);
    // The header's first three bits: the last-block flag, then the type (0 stored).
    unsigned char header[2] = {0, 0};
    if (block.end > block.start && bit > block.bitStart &&
        (s.readStream(block.bitStart / 8, header, 2) || s.readStream(block.bitStart / 8, header, 1))) {
        const unsigned bits = (unsigned(header[0]) | unsigned(header[1]) << 8) >> (block.bitStart % 8);
        const unsigned type = (bits >> 1) & 3;
        block.copyable = !(bits & 1) && (type == 1 || type == 2);
    }
    if (block.end > block.start) s.index.push_back(std::move(block));  // an empty block gives nothing to reuse
    s.blockStart = s.produced;
    s.blockBit = bit;
}

std::shared_ptr<const QFDeflateIndex> QFDeflateIndexer::finish() {
    if (!state->wanted || state->head.size() < 4) return nullptr;
    return std::make_shared<const QFDeflateIndex>(std::move(state->index));
}

bool QFStartsAsBinary(std::string_view head) {
    namespace macho = codesign::macho;
    if (head.size() < 4) return false;
    uint32_t little = 0;
    for (int i = 3; i >= 0; --i) little = little << 8 | static_cast<unsigned char>(head[static_cast<size_t>(i)]);
    const uint32_t big = __builtin_bswap32(little);
    return little == macho::MH_MAGIC || little == macho::MH_MAGIC_64 || little == macho::MH_CIGAM ||
           little == macho::MH_CIGAM_64 || big == macho::FAT_MAGIC;
}

std::optional<QFDeflateReuseResult> QFDeflateReusing(const std::optional<QFFileRange>& oldStream,
                                                     const QFDeflateIndex* oldIndex, const QFFileRange& newBytes,
                                                     int out, uint64_t outOffset) {
    std::vector<Block> blocks;
    std::shared_ptr<const QFDeflateIndex> made;
    if (oldStream && !oldIndex) {
        made = indexOf(*oldStream, newBytes);
        oldIndex = made.get();
    }
    if (oldStream && oldIndex) blocks = reusableBlocks(*oldIndex, newBytes);
    if (!blocks.empty()) {
        std::vector<Stretch> seams;
        auto reused = write(blocks, &*oldStream, newBytes, out, outOffset, &seams);
        bool whole = reused.has_value();
        for (const Stretch& seam : seams)
            whole = whole && inflatesTo(out, outOffset, reused->compressedSize, newBytes, seam);
        if (whole) return reused;
    }
    return write({}, nullptr, newBytes, out, outOffset);
}
