#pragma once
// Code requirements: the internal requirements set of a signature, holding
// the designated requirement the signer derives from its certificate chain.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

constexpr uint32_t CSMAGIC_REQUIREMENT = 0xfade0c00;
constexpr uint32_t CSMAGIC_REQUIREMENTS = 0xfade0c01;
constexpr uint32_t kSecDesignatedRequirementType = 3;
constexpr uint32_t kRequirementExprForm = 1;

// Expression opcodes and match operations, as the format numbers them.
enum RequirementOp : uint32_t {
    opFalse = 0,
    opTrue = 1,
    opIdent = 2,
    opAppleAnchor = 3,
    opAnchorHash = 4,
    opInfoKeyValue = 5,
    opAnd = 6,
    opOr = 7,
    opCDHash = 8,
    opNot = 9,
    opInfoKeyField = 10,
    opCertField = 11,
    opTrustedCert = 12,
    opTrustedCerts = 13,
    opCertGeneric = 14,
    opAppleGenericAnchor = 15,
};
enum MatchOp : uint32_t { matchExists = 0, matchEqual = 1 };

// Certificate slots: 0 the leaf, 1 its issuer, -1 the anchor.
constexpr int32_t kLeafCert = 0;
constexpr int32_t kAnchorCert = -1;

// The marker extension of Apple's developer-relations intermediate.
constexpr std::string_view kWwdrIntermediateMarkerOid = "1.2.840.113635.100.6.2.1";

struct ChainFacts {
    std::string leafCommonName;
    std::string leafSha1;                // raw 20 bytes
    bool issuerHasWwdrMarker = false;    // the certificate at slot 1
    bool chainEndsAtRoot = false;        // the last certificate is self-signed
    std::string anchorSha1;              // raw 20 bytes, when chainEndsAtRoot
    size_t length = 0;                   // certificates in the chain, leaf included
};

// The designated requirement (0xfade0c00 blob) for code with this identifier
// signed by this chain: for a chain whose issuer is the developer-relations
// intermediate (with or without the root above it),
//   identifier I and anchor apple generic and certificate leaf[subject.CN] = CN
//   and certificate 1[field.1.2.840.113635.100.6.2.1] exists
// otherwise the anchor's (or, for an incomplete chain, the leaf's) hash.
std::string designatedRequirement(const std::string& identifier, const ChainFacts& chain);

// The requirements set (0xfade0c01): empty, or holding the designated one.
std::string requirementsSet(const std::optional<std::string>& designated);

// The set read back: the requirements by type; nothing when it is malformed.
std::optional<std::vector<std::pair<uint32_t, std::string_view>>> parseRequirementsSet(std::string_view blob);

// What a requirement is evaluated against.
struct RequirementSubject {
    struct Certificate {
        std::string commonName;
        std::string organizationalUnit;
        std::string organization;
        std::string sha1;                         // raw 20 bytes
        std::vector<std::string> extensionOids;   // dotted
        bool selfSigned = false;
    };
    std::string identifier;
    std::vector<Certificate> chain;  // leaf first, as the signature carries it
    std::vector<std::string> cdHashes;  // 20-byte cdhashes of the code
};

// Whether the code satisfies the requirement. Expressions this evaluator does
// not know (entitlement, info key, platform, ...) do not satisfy it.
bool satisfiesRequirement(std::string_view requirement, const RequirementSubject& subject);

// The text form of one requirement blob ("identifier ... and anchor apple generic ...").
std::optional<std::string> requirementText(std::string_view requirement);

}  // namespace codesign
