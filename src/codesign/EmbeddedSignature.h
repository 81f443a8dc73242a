#pragma once
// The signature embedded in one slice, read back: the SuperBlob and the
// blobs it indexes, with every CodeDirectory parsed and bounded.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/CodeDirectory.h"
#include "codesign/FileAccess.h"
#include "codesign/MachO.h"
#include "platform/result.h"

namespace codesign {

struct EmbeddedSignature {
    EmbeddedSignature() = default;
    // The views point into data: moving keeps them valid, copying would not.
    EmbeddedSignature(const EmbeddedSignature&) = delete;
    EmbeddedSignature& operator=(const EmbeddedSignature&) = delete;
    EmbeddedSignature(EmbeddedSignature&&) = default;
    EmbeddedSignature& operator=(EmbeddedSignature&&) = default;

    std::string data;  // the SuperBlob bytes (owns what the views below point into)
    std::map<uint32_t, std::string_view> blobs;
    // slot 0 first, then the alternates in slot order
    std::vector<std::pair<uint32_t, CodeDirectory>> codeDirectories;

    const CodeDirectory& primary() const { return codeDirectories.front().second; }
    // The CodeDirectory the kernel uses: the strongest hash type.
    const CodeDirectory& best() const;
    std::optional<std::string_view> blob(uint32_t slot) const;
    bool isAdhoc() const { return primary().flags & CS_ADHOC; }
    bool isLinkerSigned() const { return primary().flags & CS_LINKER_SIGNED; }
};

enum class SignatureState { Unsigned, Present };

// Reads the slice's signature. Unsigned when there is no LC_CODE_SIGNATURE
// or no CodeDirectory in slot 0; a Malformed error when the structure does
// not hold.
platform::Result<SignatureState> readEmbeddedSignature(const InputFile& input, const macho::Slice& slice,
                                                       EmbeddedSignature& out);

}  // namespace codesign
