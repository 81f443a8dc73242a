#include "profile/CmsContent.h"

#include <cstdint>
#include <vector>

#include "crypto/Der.h"

namespace profile {

namespace {

using crypto::der::BerReader;
using crypto::der::Element;
using crypto::der::kClassContext;
using crypto::der::kClassUniversal;
using crypto::der::kTagInteger;
using crypto::der::kTagObjectIdentifier;
using crypto::der::kTagSequence;
using crypto::der::kTagSet;

// id-signedData, 1.2.840.113549.1.7.2, as its DER content bytes.
constexpr std::string_view kSignedDataOid("\x2A\x86\x48\x86\xF7\x0D\x01\x07\x02", 9);

constexpr const char* kNotCms = "not a CMS message";
constexpr const char* kNotSignedData = "not a CMS SignedData message";
constexpr const char* kNoContent = "the message has no embedded content";

// The children of a constructed element into out; false when it has none readable.
bool childrenOf(const BerReader& ber, const Element& parent, int depth, std::vector<Element>& out) {
    auto children = ber.children(parent, depth);
    if (!children) return false;
    out = std::move(*children);
    return true;
}

}  // namespace

std::optional<std::string> cmsEncapsulatedContent(std::string_view message, std::string* error) {
    auto failWith = [error](const char* reason) -> std::optional<std::string> {
        if (error) *error = reason;
        return std::nullopt;
    };
    BerReader ber(message);

    // ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0] EXPLICIT ANY }
    auto contentInfo = ber.read(0, message.size());
    std::vector<Element> info;
    if (!contentInfo || !contentInfo->is(kClassUniversal, kTagSequence) || !childrenOf(ber, *contentInfo, 0, info) ||
        info.empty() || !info[0].is(kClassUniversal, kTagObjectIdentifier))
        return failWith(kNotCms);
    if (ber.contents(info[0]) != kSignedDataOid) return failWith(kNotSignedData);
    std::vector<Element> explicitContent;
    if (info.size() != 2 || !info[1].is(kClassContext, 0) || !childrenOf(ber, info[1], 1, explicitContent) ||
        explicitContent.size() != 1 || !explicitContent[0].is(kClassUniversal, kTagSequence))
        return failWith(kNotCms);

    // SignedData ::= SEQUENCE { version, digestAlgorithms SET, encapContentInfo,
    //   certificates [0] OPTIONAL, crls [1] OPTIONAL, signerInfos SET }
    std::vector<Element> signedData;
    if (!childrenOf(ber, explicitContent[0], 2, signedData) || signedData.size() < 4 ||
        !signedData[0].is(kClassUniversal, kTagInteger) || !signedData[1].is(kClassUniversal, kTagSet) ||
        !signedData[2].is(kClassUniversal, kTagSequence) || !signedData.back().is(kClassUniversal, kTagSet))
        return failWith(kNotCms);
    for (size_t i = 3; i + 1 < signedData.size(); ++i)
        if (signedData[i].tagClass != kClassContext || signedData[i].tag > 1) return failWith(kNotCms);

    // EncapsulatedContentInfo ::= SEQUENCE { eContentType, eContent [0] EXPLICIT OCTET STRING OPTIONAL }
    std::vector<Element> encapsulated;
    if (!childrenOf(ber, signedData[2], 3, encapsulated) || encapsulated.empty() || encapsulated.size() > 2 ||
        !encapsulated[0].is(kClassUniversal, kTagObjectIdentifier))
        return failWith(kNotCms);
    if (encapsulated.size() == 1) return failWith(kNoContent);
    std::vector<Element> eContent;
    if (!encapsulated[1].is(kClassContext, 0) || !childrenOf(ber, encapsulated[1], 4, eContent) ||
        eContent.size() != 1)
        return failWith(kNotCms);
    auto content = ber.octets(eContent[0], 5);
    if (!content) return failWith(kNotCms);
    return std::move(*content);
}

}  // namespace profile
