#include "codesign/DerEntitlements.h"

#include "codesign/Bytes.h"

namespace codesign {

namespace {

constexpr unsigned char kTagBoolean = 0x01;
constexpr unsigned char kTagInteger = 0x02;
constexpr unsigned char kTagUtf8String = 0x0c;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagEntitlements = 0x70;  // [APPLICATION 16], constructed
constexpr unsigned char kTagDictionary = 0xb0;    // [CONTEXT 16], constructed
constexpr int kMaxDepth = 64;

std::string tlv(unsigned char tag, std::string_view content) {
    std::string out(1, char(tag));
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(char(n));
    } else {
        std::string len;
        while (n > 0) {
            len.insert(len.begin(), char(n & 0xff));
            n >>= 8;
        }
        out.push_back(char(0x80 | len.size()));
        out += len;
    }
    out += content;
    return out;
}

std::string integer(int64_t value) {
    // Minimal two's complement, big-endian.
    std::string content;
    for (int i = 7; i >= 0; --i) content.push_back(char((uint64_t(value) >> (8 * i)) & 0xff));
    size_t start = 0;
    while (start < 7) {
        unsigned char b = uint8_t(content[start]), n = uint8_t(content[start + 1]);
        if ((b == 0x00 && !(n & 0x80)) || (b == 0xff && (n & 0x80)))
            ++start;
        else
            break;
    }
    return tlv(kTagInteger, content.substr(start));
}

platform::Result<std::string> value(const platform::plist::Value& v, int depth);

platform::Result<std::string> dictionary(const platform::plist::Dict& dict, int depth) {
    std::string content;
    // std::map keeps the keys sorted by their bytes, the order readers rely on.
    for (const auto& [key, item] : dict) {
        auto encoded = value(item, depth + 1);
        if (!encoded) return encoded;
        content += tlv(kTagSequence, tlv(kTagUtf8String, key) + *encoded);
    }
    return tlv(kTagDictionary, content);
}

platform::Result<std::string> value(const platform::plist::Value& v, int depth) {
    if (depth > kMaxDepth) return platform::Error(platform::ErrorKind::Unsupported, "entitlements nested too deeply");
    if (auto b = v.asBool()) return tlv(kTagBoolean, std::string(1, *b ? char(0xff) : char(0)));
    if (auto i = v.asInteger()) return integer(*i);
    if (auto s = v.asString()) return tlv(kTagUtf8String, *s);
    if (auto a = v.asArray()) {
        std::string content;
        for (const auto& item : *a) {
            auto encoded = value(item, depth + 1);
            if (!encoded) return encoded;
            content += *encoded;
        }
        return tlv(kTagSequence, content);
    }
    if (auto d = v.asDict()) return dictionary(*d, depth);
    return platform::Error(platform::ErrorKind::Unsupported,
                           "entitlements hold a value (data, date or real) that has no DER form");
}

}  // namespace

platform::Result<std::string> derEntitlements(const platform::plist::Dict& entitlements) {
    auto dict = dictionary(entitlements, 0);
    if (!dict) return dict;
    return tlv(kTagEntitlements, integer(1) + *dict);
}

std::string wrapBlob(uint32_t magic, std::string_view payload) {
    std::string out;
    bytes::appendBe32(out, magic);
    bytes::appendBe32(out, uint32_t(8 + payload.size()));
    out += payload;
    return out;
}

}  // namespace codesign
