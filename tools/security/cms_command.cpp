// cms -D: the encapsulated content of a CMS SignedData message, written out
// exactly as it was signed, nothing added. The signature is not evaluated.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "commands.h"
#include "platform/files.h"
#include "platform/process.h"
#include "profile/CmsContent.h"

namespace security {

int cmsCommand(const Arguments& args) {
    bool decode = false;
    std::optional<std::string> input, output;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-D") {
            decode = true;
        } else if ((a == "-i" || a == "-o") && i + 1 < args.size()) {
            (a == "-i" ? input : output) = args[++i];
        } else {
            complain("cms: unsupported option \"" + a + "\"; usage: cms -D [-i infile] [-o outfile]");
            return 2;
        }
    }
    if (!decode) {
        complain("cms: only decoding (-D) is supported");
        return 2;
    }
    std::string message;
    if (input) {
        if (!readInput(*input, &message)) return 1;
    } else {
        message = platform::readToEnd(::dup(STDIN_FILENO));
    }
    std::string reason;
    auto content = profile::cmsEncapsulatedContent(message, &reason);
    if (!content) {
        complain("failed to decode message: " + reason);
        return 1;
    }
    if (output) {
        if (!platform::fs::writeFileAtomically(*output, *content)) {
            complain("cms: unable to write " + *output);
            return 1;
        }
        return 0;
    }
    if (!platform::fs::writeAll(STDOUT_FILENO, *content)) {
        complain(std::string("cms: unable to write the content: ") + std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace security
