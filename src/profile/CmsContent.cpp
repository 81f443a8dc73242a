#include "profile/CmsContent.h"

#include <cstdint>
#include <vector>

namespace profile {

namespace {

// ASN.1 identifiers used below (X.690).
constexpr unsigned kClassUniversal = 0;
constexpr unsigned kClassContext = 2;
constexpr uint64_t kTagInteger = 2;
constexpr uint64_t kTagOctetString = 4;
constexpr uint64_t kTagObjectIdentifier = 6;
constexpr uint64_t kTagSequence = 16;
constexpr uint64_t kTagSet = 17;
// id-signedData, 1.2.840.113549.1.7.2, as its DER content bytes.
constexpr std::string_view kSignedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);
// Deeper nesting than this is not a message we make sense of.
constexpr int kMaxDepth = 32;

constexpr const char* kNotCms = "not a CMS message";
constexpr const char* kNotSignedData = "not a CMS SignedData message";
constexpr const char* kNoContent = "the message has no embedded content";

struct Element {
    unsigned tagClass = 0;
    bool constructed = false;
    uint64_t tag = 0;
    size_t contentStart = 0;
    size_t contentEnd = 0;  // for an indefinite length: where its end-of-contents marker starts
    size_t end = 0;         // just past the whole element

    bool is(unsigned cls, uint64_t number) const { return tagClass == cls && tag == number; }
};

// Reads BER elements from a buffer, never past a limit it is given: every
// length is checked against the bytes that are really there.
class BerReader {
public:
    explicit BerReader(std::string_view data) : data(data) {}

    // The element starting at pos that must end by limit.
    bool read(size_t pos, size_t limit, int depth, Element& e) const {
        if (depth > kMaxDepth || pos >= limit || limit > data.size()) return false;
        unsigned char first = byte(pos++);
        e.tagClass = first >> 6;
        e.constructed = (first & 0x20) != 0;
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
            e.contentStart = pos;
            for (size_t p = pos;;) {
                if (p + 2 <= limit && byte(p) == 0 && byte(p + 1) == 0) {
                    e.contentEnd = p;
                    e.end = p + 2;
                    return true;
                }
                Element child;
                if (!read(p, limit, depth + 1, child)) return false;
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

    // The elements directly inside a constructed one.
    bool children(const Element& parent, int depth, std::vector<Element>& out) const {
        out.clear();
        if (!parent.constructed) return false;
        for (size_t p = parent.contentStart; p < parent.contentEnd;) {
            Element child;
            if (!read(p, parent.contentEnd, depth + 1, child)) return false;
            out.push_back(child);
            p = child.end;
        }
        return true;
    }

    std::string_view contents(const Element& e) const {
        return data.substr(e.contentStart, e.contentEnd - e.contentStart);
    }

    // An OCTET STRING's bytes, joined from its chunks when it is constructed.
    bool octets(const Element& e, int depth, std::string& out) const {
        if (!e.is(kClassUniversal, kTagOctetString)) return false;
        if (!e.constructed) {
            out.append(contents(e));
            return true;
        }
        std::vector<Element> chunks;
        if (depth > kMaxDepth || !children(e, depth, chunks)) return false;
        for (const auto& chunk : chunks)
            if (!octets(chunk, depth + 1, out)) return false;
        return true;
    }

private:
    unsigned char byte(size_t i) const { return static_cast<unsigned char>(data[i]); }
    std::string_view data;
};

}  // namespace

std::optional<std::string> cmsEncapsulatedContent(std::string_view message, std::string* error) {
    auto failWith = [error](const char* reason) -> std::optional<std::string> {
        if (error) *error = reason;
        return std::nullopt;
    };
    BerReader ber(message);

    // ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0] EXPLICIT ANY }
    Element contentInfo;
    std::vector<Element> info;
    if (!ber.read(0, message.size(), 0, contentInfo) || !contentInfo.is(kClassUniversal, kTagSequence) ||
        !ber.children(contentInfo, 0, info) || info.empty() || !info[0].is(kClassUniversal, kTagObjectIdentifier))
        return failWith(kNotCms);
    if (ber.contents(info[0]) != kSignedDataOid) return failWith(kNotSignedData);
    std::vector<Element> explicitContent;
    if (info.size() != 2 || !info[1].is(kClassContext, 0) || !ber.children(info[1], 1, explicitContent) ||
        explicitContent.size() != 1 || !explicitContent[0].is(kClassUniversal, kTagSequence))
        return failWith(kNotCms);

    // SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo,
    //   certificates [0] OPTIONAL, crls [1] OPTIONAL, signerInfos SET }
    std::vector<Element> signedData;
    if (!ber.children(explicitContent[0], 2, signedData) || signedData.size() < 4 ||
        !signedData[0].is(kClassUniversal, kTagInteger) || !signedData[1].is(kClassUniversal, kTagSet) ||
        !signedData[2].is(kClassUniversal, kTagSequence) || !signedData.back().is(kClassUniversal, kTagSet))
        return failWith(kNotCms);
    for (size_t i = 3; i + 1 < signedData.size(); ++i)
        if (signedData[i].tagClass != kClassContext || signedData[i].tag > 1) return failWith(kNotCms);

    // EncapsulatedContentInfo ::= SEQUENCE { eContentType, eContent [0] EXPLICIT OCTET STRING OPTIONAL }
    std::vector<Element> encapsulated;
    if (!ber.children(signedData[2], 3, encapsulated) || encapsulated.empty() || encapsulated.size() > 2 ||
        !encapsulated[0].is(kClassUniversal, kTagObjectIdentifier))
        return failWith(kNotCms);
    if (encapsulated.size() == 1) return failWith(kNoContent);
    std::vector<Element> eContent;
    std::string content;
    if (!encapsulated[1].is(kClassContext, 0) || !ber.children(encapsulated[1], 4, eContent) ||
        eContent.size() != 1 || !ber.octets(eContent[0], 5, content))
        return failWith(kNotCms);
    return content;
}

}  // namespace profile
