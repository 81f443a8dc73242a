#pragma once
// ASN.1 in its binary encodings (X.690): a bounded BER reader, which takes
// DER as the strict case of BER, and a DER writer.
//
// The reader never reads past a limit it is given: every length is checked
// against the bytes that are really there, high tag numbers and long lengths
// are bounded, and nesting deeper than kMaxDepth is refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace crypto::der {

// Identifier classes and universal tag numbers used by the callers.
constexpr unsigned kClassUniversal = 0;
constexpr unsigned kClassApplication = 1;
constexpr unsigned kClassContext = 2;
constexpr uint64_t kTagBoolean = 1;
constexpr uint64_t kTagInteger = 2;
constexpr uint64_t kTagOctetString = 4;
constexpr uint64_t kTagObjectIdentifier = 6;
constexpr uint64_t kTagUtf8String = 12;
constexpr uint64_t kTagSequence = 16;
constexpr uint64_t kTagSet = 17;

// Deeper nesting than this is not an encoding we make sense of.
constexpr int kMaxDepth = 32;

struct Element {
    unsigned tagClass = 0;
    bool constructed = false;
    bool indefinite = false;  // BER's indefinite length (never DER)
    uint64_t tag = 0;
    size_t start = 0;         // the identifier's first byte
    size_t contentStart = 0;
    size_t contentEnd = 0;    // for an indefinite length: where its end-of-contents marker starts
    size_t end = 0;           // just past the whole element

    bool is(unsigned cls, uint64_t number) const { return tagClass == cls && tag == number; }
};

class BerReader {
public:
    explicit BerReader(std::string_view data) : _data(data) {}

    // The element starting at pos that must end by limit, at nesting depth depth.
    platform::Result<Element> read(size_t pos, size_t limit, int depth = 0) const;
    // The one element that fills the whole input exactly.
    platform::Result<Element> readWhole() const;
    // The elements directly inside a constructed one.
    platform::Result<std::vector<Element>> children(const Element& parent, int depth = 0) const;

    std::string_view contents(const Element& e) const;
    // The element's whole encoding, identifier and length included.
    std::string_view encoding(const Element& e) const;
    // An OCTET STRING's bytes, joined from its chunks when it is constructed.
    platform::Result<std::string> octets(const Element& e, int depth = 0) const;

private:
    bool readInto(size_t pos, size_t limit, int depth, Element& e) const;
    bool octetsInto(const Element& e, int depth, std::string& out) const;
    unsigned char byte(size_t i) const { return static_cast<unsigned char>(_data[i]); }

    std::string_view _data;
};

// DER writing. An identifier octet (class, constructed bit and a low tag
// number) with its content, the length in the shortest form.
std::string tlv(unsigned char identifier, std::string_view content);
// An INTEGER: minimal two's complement, big-endian.
std::string integer(int64_t value);

}  // namespace crypto::der
