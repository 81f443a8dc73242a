#include "codesign/Requirements.h"

#include <openssl/objects.h>

#include <cctype>

#include "codesign/Bytes.h"

namespace codesign {

namespace {

void putData(std::string& out, std::string_view data) {
    bytes::appendBe32(out, uint32_t(data.size()));
    out += data;
    out.append(bytes::alignUp(data.size(), 4) - data.size(), '\0');
}

// DER content bytes of a dotted OID (no tag, no length).
std::string oidContent(std::string_view dotted) {
    ASN1_OBJECT* obj = OBJ_txt2obj(std::string(dotted).c_str(), 1);
    std::string out;
    if (obj) {
        out.assign(reinterpret_cast<const char*>(OBJ_get0_data(obj)), OBJ_length(obj));
        ASN1_OBJECT_free(obj);
    }
    return out;
}

std::string wrapRequirement(const std::string& expression) {
    std::string out;
    bytes::appendBe32(out, CSMAGIC_REQUIREMENT);
    bytes::appendBe32(out, uint32_t(12 + expression.size()));
    bytes::appendBe32(out, kRequirementExprForm);
    return out + expression;
}

}  // namespace

std::string designatedRequirement(const std::string& identifier, const ChainFacts& chain) {
    using bytes::appendBe32;
    std::string e;
    appendBe32(e, opAnd);
    appendBe32(e, opIdent);
    putData(e, identifier);
    // A developer-relations intermediate is only ever issued by the vendor's
    // root, which devices carry themselves: the chain need not hold the root
    // for the vendor's form (keychains often lack it).
    if (chain.length >= 2 && chain.length <= 3 && chain.issuerHasWwdrMarker) {
        // Nested to the right, as the generator writes it.
        appendBe32(e, opAnd);
        appendBe32(e, opAppleGenericAnchor);
        appendBe32(e, opAnd);
        appendBe32(e, opCertField);
        appendBe32(e, uint32_t(kLeafCert));
        putData(e, "subject.CN");
        appendBe32(e, matchEqual);
        putData(e, chain.leafCommonName);
        appendBe32(e, opCertGeneric);
        appendBe32(e, 1);
        putData(e, oidContent(kWwdrIntermediateMarkerOid));
        appendBe32(e, matchExists);
    } else if (chain.chainEndsAtRoot) {
        appendBe32(e, opAnchorHash);
        appendBe32(e, uint32_t(kAnchorCert));
        putData(e, chain.anchorSha1);
    } else {
        appendBe32(e, opAnchorHash);
        appendBe32(e, uint32_t(kLeafCert));
        putData(e, chain.leafSha1);
    }
    return wrapRequirement(e);
}

std::string requirementsSet(const std::optional<std::string>& designated) {
    std::string out;
    const uint32_t count = designated ? 1 : 0;
    const uint32_t headerSize = 12 + 8 * count;
    bytes::appendBe32(out, CSMAGIC_REQUIREMENTS);
    bytes::appendBe32(out, uint32_t(headerSize + (designated ? designated->size() : 0)));
    bytes::appendBe32(out, count);
    if (designated) {
        bytes::appendBe32(out, kSecDesignatedRequirementType);
        bytes::appendBe32(out, headerSize);
        out += *designated;
    }
    return out;
}

std::optional<std::vector<std::pair<uint32_t, std::string_view>>> parseRequirementsSet(std::string_view blob) {
    auto magic = bytes::be32(blob, 0);
    auto length = bytes::be32(blob, 4);
    auto count = bytes::be32(blob, 8);
    if (!magic || *magic != CSMAGIC_REQUIREMENTS || !length || *length < 12 || *length > blob.size() || !count)
        return std::nullopt;
    blob = blob.substr(0, *length);
    if (uint64_t(*count) * 8 > blob.size() - 12) return std::nullopt;
    std::vector<std::pair<uint32_t, std::string_view>> out;
    for (uint32_t i = 0; i < *count; ++i) {
        auto type = bytes::be32(blob, 12 + 8 * uint64_t(i));
        auto offset = bytes::be32(blob, 16 + 8 * uint64_t(i));
        if (!type || !offset) return std::nullopt;
        // 64-bit sums: an offset near 2^32 must not wrap round to the start.
        auto reqMagic = bytes::be32(blob, *offset);
        auto reqLength = bytes::be32(blob, uint64_t(*offset) + 4);
        if (!reqMagic || !reqLength || *reqMagic != CSMAGIC_REQUIREMENT) return std::nullopt;
        if (*reqLength < 12 || *reqLength > blob.size() - *offset) return std::nullopt;
        out.emplace_back(*type, blob.substr(*offset, *reqLength));
    }
    return out;
}

namespace {

// Reads the operands of a requirement expression: u32 words, and data items
// padded to 4 bytes. Every length is checked against what is left.
class ExpressionReader {
public:
    explicit ExpressionReader(std::string_view expr) : expr(expr) {}
    bool atEnd() const { return at == expr.size(); }

protected:
    std::optional<uint32_t> next() {
        auto v = bytes::be32(expr, at);
        if (v) at += 4;
        return v;
    }
    std::optional<std::string> data() {
        auto length = next();
        if (!length || *length > expr.size() - at) return std::nullopt;
        std::string out(expr.substr(at, *length));
        uint64_t padded = bytes::alignUp(*length, 4);
        if (padded > expr.size() - at) return std::nullopt;
        at += padded;
        return out;
    }
    // An OID's DER content bytes as dotted text.
    static std::string oidText(const std::string& content) {
        std::string der;
        der.push_back(0x06);
        der.push_back(char(content.size()));
        der += content;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        ASN1_OBJECT* obj = content.size() < 128 ? d2i_ASN1_OBJECT(nullptr, &p, long(der.size())) : nullptr;
        if (!obj) return "?";
        char buffer[128];
        OBJ_obj2txt(buffer, sizeof buffer, obj, 1);
        ASN1_OBJECT_free(obj);
        return buffer;
    }

private:
    std::string_view expr;
    uint64_t at = 0;
};

class Dumper : public ExpressionReader {
public:
    explicit Dumper(std::string_view expr) : ExpressionReader(expr) {}

    std::optional<std::string> expression(int depth = 0) {
        if (depth > 64) return std::nullopt;
        auto op = next();
        if (!op) return std::nullopt;
        switch (*op & 0x00ffffff) {
            case opFalse: return "never";
            case opTrue: return "always";
            case opIdent: {
                auto d = data();
                if (!d) return std::nullopt;
                return "identifier " + quoted(*d);
            }
            case opAppleAnchor: return "anchor apple";
            case opAppleGenericAnchor: return "anchor apple generic";
            case opAnchorHash: {
                auto slot = next();
                auto d = data();
                if (!slot || !d) return std::nullopt;
                return "certificate " + slotName(int32_t(*slot)) + " = H\"" + bytes::toHex(*d) + "\"";
            }
            case opCDHash: {
                auto d = data();
                if (!d) return std::nullopt;
                return "cdhash H\"" + bytes::toHex(*d) + "\"";
            }
            case opAnd:
            case opOr: {
                auto a = expression(depth + 1);
                auto b = a ? expression(depth + 1) : std::nullopt;
                if (!b) return std::nullopt;
                return *a + ((*op & 0x00ffffff) == opAnd ? " and " : " or ") + *b;
            }
            case opNot: {
                auto a = expression(depth + 1);
                if (!a) return std::nullopt;
                return "! " + *a;
            }
            case opCertField: {
                auto slot = next();
                auto field = data();
                if (!slot || !field) return std::nullopt;
                auto m = match();
                if (!m) return std::nullopt;
                return "certificate " + slotName(int32_t(*slot)) + "[" + *field + "]" + *m;
            }
            case opCertGeneric: {
                auto slot = next();
                auto oid = data();
                if (!slot || !oid) return std::nullopt;
                auto m = match();
                if (!m) return std::nullopt;
                return "certificate " + slotName(int32_t(*slot)) + "[field." + oidText(*oid) + "]" + *m;
            }
            case opTrustedCerts: return "anchor trusted";
            case opTrustedCert: {
                auto slot = next();
                if (!slot) return std::nullopt;
                return "certificate " + slotName(int32_t(*slot)) + " trusted";
            }
            default: return std::nullopt;
        }
    }

private:
    std::optional<std::string> match() {
        auto op = next();
        if (!op) return std::nullopt;
        if (*op == matchExists) return std::string(" /* exists */");
        static const char* names[] = {"", " = ", " ~ ", " = ", " = ", " < ", " > ", " <= ", " >= "};
        if (*op >= 1 && *op <= 8) {
            auto d = data();
            if (!d) return std::nullopt;
            std::string v = quoted(*d);
            if (*op == 2) v = "*" + v + "*";
            if (*op == 3) v = v + "*";
            if (*op == 4) v = "*" + v;
            return names[*op] + v;
        }
        return std::nullopt;
    }
    static std::string slotName(int32_t slot) {
        if (slot == kLeafCert) return "leaf";
        if (slot == kAnchorCert) return "root";
        return std::to_string(slot);
    }
    static std::string quoted(const std::string& s) {
        static const char* keywords[] = {"and", "or", "not", "identifier", "anchor", "apple", "generic", "certificate",
                                         "cert", "leaf", "root", "trusted", "exists", "info", "entitlement", "always",
                                         "never", "cdhash", "platform", "notarized"};
        bool bare = !s.empty() && !std::isdigit(static_cast<unsigned char>(s[0]));
        for (unsigned char c : s)
            if (!std::isalnum(c)) bare = false;
        for (const char* k : keywords)
            if (s == k) bare = false;
        if (bare) return s;
        std::string out = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        return out + "\"";
    }
};

}  // namespace

namespace {

class Evaluator : public ExpressionReader {
public:
    Evaluator(std::string_view expr, const RequirementSubject& subject) : ExpressionReader(expr), subject(subject) {}

    // Nothing when the expression is malformed or uses what is not supported.
    std::optional<bool> expression(int depth = 0) {
        if (depth > 64) return std::nullopt;
        auto op = next();
        if (!op) return std::nullopt;
        switch (*op & 0x00ffffff) {
            case opFalse: return false;
            case opTrue: return true;
            case opIdent: {
                auto d = data();
                if (!d) return std::nullopt;
                return *d == subject.identifier;
            }
            case opAppleAnchor:
            case opAppleGenericAnchor: {
                // The anchor must be Apple's root; without the vendor's trust
                // store this is told by the self-signed anchor's name.
                if (subject.chain.empty()) return false;
                const auto& anchor = subject.chain.back();
                return anchor.selfSigned && anchor.commonName == "Apple Root CA" &&
                       anchor.organization == "Apple Inc.";
            }
            case opAnchorHash: {
                auto slot = next();
                auto d = data();
                if (!slot || !d) return std::nullopt;
                const auto* cert = certificate(int32_t(*slot));
                return cert && cert->sha1 == *d;
            }
            case opCDHash: {
                auto d = data();
                if (!d) return std::nullopt;
                for (const auto& h : subject.cdHashes)
                    if (h == *d) return true;
                return false;
            }
            case opAnd:
            case opOr: {
                auto a = expression(depth + 1);
                auto b = a ? expression(depth + 1) : std::nullopt;
                if (!b) return std::nullopt;
                return (*op & 0x00ffffff) == opAnd ? (*a && *b) : (*a || *b);
            }
            case opNot: {
                auto a = expression(depth + 1);
                if (!a) return std::nullopt;
                return !*a;
            }
            case opCertField: {
                auto slot = next();
                auto field = data();
                if (!slot || !field) return std::nullopt;
                const auto* cert = certificate(int32_t(*slot));
                std::optional<std::string> value;
                if (cert && *field == "subject.CN") value = cert->commonName;
                if (cert && *field == "subject.OU") value = cert->organizationalUnit;
                if (cert && *field == "subject.O") value = cert->organization;
                return match(value);
            }
            case opCertGeneric: {
                auto slot = next();
                auto oid = data();
                if (!slot || !oid) return std::nullopt;
                const auto* cert = certificate(int32_t(*slot));
                std::optional<std::string> present;
                if (cert) {
                    const std::string dotted = oidText(*oid);
                    for (const auto& e : cert->extensionOids)
                        if (e == dotted) present = std::string();
                }
                return match(present);
            }
            default: return std::nullopt;
        }
    }

private:
    const RequirementSubject::Certificate* certificate(int32_t slot) const {
        const auto& chain = subject.chain;
        if (chain.empty()) return nullptr;
        if (slot < 0) {
            size_t back = size_t(-int64_t(slot));
            return back <= chain.size() ? &chain[chain.size() - back] : nullptr;
        }
        return size_t(slot) < chain.size() ? &chain[size_t(slot)] : nullptr;
    }
    std::optional<bool> match(const std::optional<std::string>& value) {
        auto op = next();
        if (!op) return std::nullopt;
        if (*op == matchExists) return value.has_value();
        if (*op < 1 || *op > 4) return std::nullopt;
        auto d = data();
        if (!d) return std::nullopt;
        if (!value) return false;
        switch (*op) {
            case 1: return *value == *d;
            case 2: return value->find(*d) != std::string::npos;
            case 3: return value->rfind(*d, 0) == 0;
            default: return value->size() >= d->size() && value->compare(value->size() - d->size(), d->size(), *d) == 0;
        }
    }

    const RequirementSubject& subject;
};

}  // namespace

bool satisfiesRequirement(std::string_view requirement, const RequirementSubject& subject) {
    auto length = bytes::be32(requirement, 4);
    auto kind = bytes::be32(requirement, 8);
    if (!length || *length > requirement.size() || *length < 12 || !kind || *kind != kRequirementExprForm)
        return false;
    Evaluator evaluator(requirement.substr(12, *length - 12), subject);
    auto verdict = evaluator.expression();
    return verdict && evaluator.atEnd() && *verdict;
}

std::optional<std::string> requirementText(std::string_view requirement) {
    auto length = bytes::be32(requirement, 4);
    auto kind = bytes::be32(requirement, 8);
    if (!length || *length > requirement.size() || *length < 12 || !kind || *kind != kRequirementExprForm)
        return std::nullopt;
    Dumper dumper(requirement.substr(12, *length - 12));
    auto text = dumper.expression();
    if (!text || !dumper.atEnd()) return std::nullopt;
    return text;
}

}  // namespace codesign
