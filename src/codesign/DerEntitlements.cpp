#include "codesign/DerEntitlements.h"

#include "codesign/Bytes.h"
#include "crypto/Der.h"

namespace codesign {

namespace {

constexpr unsigned char kTagBoolean = 0x01;
constexpr unsigned char kTagUtf8String = 0x0c;
constexpr unsigned char kTagSequence = 0x30;
constexpr unsigned char kTagEntitlements = 0x70;  // [APPLICATION 16], constructed
constexpr unsigned char kTagDictionary = 0xb0;    // [CONTEXT 16], constructed
constexpr int kMaxDepth = 64;

using crypto::der::integer;
using crypto::der::tlv;

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
