#pragma once
// Big-endian fields of code-signature blobs, and Mach-O fields in either byte
// order. Readers take the bytes that are really there and answer nothing
// when a field would reach past them: no length is trusted.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace codesign::bytes {

inline uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

inline std::optional<uint32_t> be32(std::string_view data, uint64_t offset) {
    if (offset > data.size() || data.size() - offset < 4) return std::nullopt;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data() + offset);
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline std::optional<uint64_t> be64(std::string_view data, uint64_t offset) {
    auto hi = be32(data, offset);
    auto lo = be32(data, offset + 4);
    if (!hi || !lo) return std::nullopt;
    return (uint64_t{*hi} << 32) | *lo;
}

inline std::optional<uint32_t> u32(std::string_view data, uint64_t offset, bool bigEndian) {
    auto v = be32(data, offset);
    if (!v || bigEndian) return v;
    uint32_t x = *v;
    return (x >> 24) | ((x >> 8) & 0xff00) | ((x << 8) & 0xff0000) | (x << 24);
}

inline std::optional<uint64_t> u64(std::string_view data, uint64_t offset, bool bigEndian) {
    auto a = u32(data, offset, bigEndian);
    auto b = u32(data, offset + 4, bigEndian);
    if (!a || !b) return std::nullopt;
    return bigEndian ? (uint64_t{*a} << 32) | *b : (uint64_t{*b} << 32) | *a;
}

inline void appendBe32(std::string& out, uint32_t v) {
    char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

inline void appendBe64(std::string& out, uint64_t v) {
    appendBe32(out, uint32_t(v >> 32));
    appendBe32(out, uint32_t(v));
}

inline void putBe32(std::string& out, uint64_t offset, uint32_t v) {
    out[offset] = char(v >> 24);
    out[offset + 1] = char(v >> 16);
    out[offset + 2] = char(v >> 8);
    out[offset + 3] = char(v);
}

inline void put32(std::string& out, uint64_t offset, uint32_t v, bool bigEndian) {
    if (bigEndian) return putBe32(out, offset, v);
    out[offset] = char(v);
    out[offset + 1] = char(v >> 8);
    out[offset + 2] = char(v >> 16);
    out[offset + 3] = char(v >> 24);
}

inline void put64(std::string& out, uint64_t offset, uint64_t v, bool bigEndian) {
    if (bigEndian) {
        put32(out, offset, uint32_t(v >> 32), true);
        put32(out, offset + 4, uint32_t(v), true);
    } else {
        put32(out, offset, uint32_t(v), false);
        put32(out, offset + 4, uint32_t(v >> 32), false);
    }
}

std::string toHex(std::string_view bytes, bool upper = false);

}  // namespace codesign::bytes
