#pragma once
// The subcommands of the security command. Each takes the arguments after
// its own name and answers the process's exit status; messages go to
// standard error as one line each, starting with "security: ".
#include <string>
#include <vector>

namespace security {

using Arguments = std::vector<std::string>;

int cmsCommand(const Arguments& args);             // cms -D [-i FILE] [-o FILE]
int findIdentityCommand(const Arguments& args);    // find-identity [-v] [-p codesigning|basic]
int importCommand(const Arguments& args);          // import FILE [-P PASSWORD | --passphrase-env NAME |
                                                   //   --passphrase-file FILE] [-k ...] [-f ...] [-T ...]
int deleteIdentityCommand(const Arguments& args);  // delete-identity -Z SHA1 | -c NAME
int findCertificateCommand(const Arguments& args);  // find-certificate -c NAME [-p]

// One line on standard error: "security: " + message.
void complain(const std::string& message);
// The whole of a file, or nothing with a line on standard error.
bool readInput(const std::string& path, std::string* bytes);

}  // namespace security
