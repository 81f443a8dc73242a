#include "crypto/Der.h"

namespace crypto::der {

namespace {
platform::Error malformed() { return platform::Error(platform::ErrorKind::Malformed, "malformed ASN.1 encoding"); }
}  // namespace

bool BerReader::readInto(size_t pos, size_t limit, int depth, Element& e) const {
    if (depth > kMaxDepth || pos >= limit || limit > _data.size()) return false;
    e.start = pos;
    unsigned char first = byte(pos++);
    e.tagClass = first >> 6;
    e.constructed = (first & 0x20) != 0;
    e.indefinite = false;
    e.tag = first & 0x1F;
    if (e.tag == 0x1F) {  // high tag number: base 128, at most 8 bytes of it
        e.tag = 0;
        for (int n = 0;; ++n) {
            if (pos >= limit || n == 8) return false;
            unsigned char b = byte(pos++);
            e.tag = (e.tag << 7) | (b & 0x7F);
            if (!(b & 0x80)) break;
        }
    }
    if (pos >= limit) return false;
    unsigned char lengthByte = byte(pos++);
    if (lengthByte == 0x80) {  // indefinite: children up to an end-of-contents marker
        if (!e.constructed) return false;
        e.indefinite = true;
        e.contentStart = pos;
        for (size_t p = pos;;) {
            if (p + 2 <= limit && byte(p) == 0 && byte(p + 1) == 0) {
                e.contentEnd = p;
                e.end = p + 2;
                return true;
            }
            Element child;
            if (!readInto(p, limit, depth + 1, child)) return false;
            p = child.end;
        }
    }
    uint64_t length = lengthByte;
    if (lengthByte & 0x80) {
        size_t count = lengthByte & 0x7F;
        if (count > 8 || count > limit - pos) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            if (length >> 56) return false;
            length = (length << 8) | byte(pos++);
        }
    }
    if (length > limit - pos) return false;
    e.contentStart = pos;
    e.contentEnd = pos + static_cast<size_t>(length);
    e.end = e.contentEnd;
    return true;
}

platform::Result<Element> BerReader::read(size_t pos, size_t limit, int depth) const {
    Element e;
    if (!readInto(pos, limit, depth, e)) return malformed();
    return e;
}

platform::Result<Element> BerReader::readWhole() const {
    Element e;
    if (!readInto(0, _data.size(), 0, e) || e.end != _data.size()) return malformed();
    return e;
}

platform::Result<std::vector<Element>> BerReader::children(const Element& parent, int depth) const {
    std::vector<Element> out;
    if (!parent.constructed || parent.contentEnd > _data.size()) return malformed();
    for (size_t p = parent.contentStart; p < parent.contentEnd;) {
        Element child;
        if (!readInto(p, parent.contentEnd, depth + 1, child)) return malformed();
        out.push_back(child);
        p = child.end;
    }
    return out;
}

std::string_view BerReader::contents(const Element& e) const {
    if (e.contentStart > e.contentEnd || e.contentEnd > _data.size()) return {};
    return _data.substr(e.contentStart, e.contentEnd - e.contentStart);
}

std::string_view BerReader::encoding(const Element& e) const {
    if (e.start > e.end || e.end > _data.size()) return {};
    return _data.substr(e.start, e.end - e.start);
}

bool BerReader::octetsInto(const Element& e, int depth, std::string& out) const {
    if (!e.is(kClassUniversal, kTagOctetString)) return false;
    if (!e.constructed) {
        out.append(contents(e));
        return true;
    }
    if (depth > kMaxDepth) return false;
    auto chunks = children(e, depth);
    if (!chunks) return false;
    for (const auto& chunk : *chunks)
        if (!octetsInto(chunk, depth + 1, out)) return false;
    return true;
}

platform::Result<std::string> BerReader::octets(const Element& e, int depth) const {
    std::string out;
    if (!octetsInto(e, depth, out)) return malformed();
    return out;
}

std::string tlv(unsigned char identifier, std::string_view content) {
    std::string out(1, char(identifier));
    size_t n = content.size();
    if (n < 0x80) {
        out.push_back(char(n));
    } else {
        std::string length;
        while (n > 0) {
            length.insert(length.begin(), char(n & 0xff));
            n >>= 8;
        }
        out.push_back(char(0x80 | length.size()));
        out += length;
    }
    out += content;
    return out;
}

std::string integer(int64_t value) {
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
    return tlv(static_cast<unsigned char>(kTagInteger), content.substr(start));
}

}  // namespace crypto::der
