#include "ZipWriter.h"

#include <algorithm>

#include <zlib.h>

#include "testkit/testkit.h"

namespace {
void le16(std::string& out, uint64_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void le32(std::string& out, uint64_t v) {
    le16(out, v & 0xFFFF);
    le16(out, (v >> 16) & 0xFFFF);
}
void le64(std::string& out, uint64_t v) {
    le32(out, v & 0xFFFFFFFF);
    le32(out, v >> 32);
}
std::string rawDeflate(const std::string& data, size_t flushEvery) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    const size_t flushes = flushEvery ? data.size() / flushEvery + 1 : 0;
    std::string out(deflateBound(&z, data.size()) + flushes * 16, '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    size_t at = 0;
    do {
        const size_t n = flushEvery ? std::min(flushEvery, data.size() - at) : data.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
        z.avail_in = static_cast<uInt>(n);
        at += n;
        deflate(&z, at < data.size() ? Z_SYNC_FLUSH : Z_FINISH);
    } while (at < data.size());
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}
constexpr uint64_t kSaturated = 0xFFFFFFFF;
}  // namespace

void ZipWriter::add(const std::string& name, const std::string& data, uint32_t mode, const Options& options) {
    std::string stored = options.deflate ? rawDeflate(data, options.flushEvery) : data;
    uint64_t declared = options.declaredSize.value_or(data.size());
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    Entry e{name, mode, crc, static_cast<uint32_t>(body.size()), static_cast<uint16_t>(options.deflate ? 8 : 0),
            stored.size(), declared};
    le32(body, 0x04034b50);
    le16(body, 20);  // version needed
    le16(body, 0);   // flags
    le16(body, e.method);
    le16(body, 0);
    le16(body, 0x21);  // time, date
    le32(body, e.crc);
    le32(body, stored.size());
    le32(body, std::min(declared, kSaturated));
    le16(body, name.size());
    le16(body, 0);
    body += name;
    body += stored;
    entries.push_back(std::move(e));
}

void ZipWriter::write(const std::string& path) const {
    std::string out = body, central;
    for (const auto& e : entries) {
        std::string extra;  // ZIP64: the inflated size, when it does not fit 32 bits
        if (e.declaredSize >= kSaturated) {
            le16(extra, 0x0001);
            le16(extra, 8);
            le64(extra, e.declaredSize);
        }
        le32(central, 0x02014b50);
        le16(central, 0x031E);  // made by Unix, 3.0
        le16(central, extra.empty() ? 20 : 45);
        le16(central, 0);
        le16(central, e.method);
        le16(central, 0);
        le16(central, 0x21);
        le32(central, e.crc);
        le32(central, e.compressedSize);
        le32(central, std::min(e.declaredSize, kSaturated));
        le16(central, e.name.size());
        le16(central, extra.size());
        le16(central, 0);
        le16(central, 0);
        le16(central, 0);
        le32(central, static_cast<uint64_t>(e.mode) << 16);
        le32(central, e.offset);
        central += e.name;
        central += extra;
    }
    uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    le32(out, 0x06054b50);
    le16(out, 0);
    le16(out, 0);
    le16(out, entries.size());
    le16(out, entries.size());
    le32(out, central.size());
    le32(out, centralOffset);
    le16(out, 0);
    testkit::writeFile(path, out);
}
