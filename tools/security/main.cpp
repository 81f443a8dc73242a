// security: the keychain and CMS command that the application runs where it
// expects the platform's own, with the same command lines and output.
#include <cstdio>
#include <exception>

#include "commands.h"
#include "platform/files.h"

namespace security {

void complain(const std::string& message) {
    std::fprintf(stderr, "security: %s\n", message.c_str());
}

bool readInput(const std::string& path, std::string* bytes) {
    if (auto data = platform::fs::readFile(path)) {
        *bytes = std::move(*data);
        return true;
    }
    const char* why = !platform::fs::fileExists(path) ? "No such file or directory"
                      : platform::fs::isDirectory(path) ? "Is a directory"
                                                        : "Permission denied";
    complain("unable to read " + path + ": " + why);
    return false;
}

}  // namespace security

namespace {

void usage() {
    std::fputs(
        "usage: security command [options]\n"
        "    cms -D [-i infile] [-o outfile]        decode a CMS message, write its content\n"
        "    find-identity [-v] [-p codesigning]    list the signing identities of the keychain\n"
        "    import file [-P passphrase]            import a PKCS#12 identity or certificates; the\n"
        "        [--passphrase-env NAME]            passphrase may come from an environment variable\n"
        "        [--passphrase-file FILE]           or a file instead of the command line\n"
        "    delete-identity (-Z sha1 | -c name)    remove an identity from the keychain\n"
        "    find-certificate -c name [-p]          show a certificate (-p: in PEM)\n",
        stderr);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) {
            usage();
            return 2;
        }
        std::string command = argv[1];
        security::Arguments args(argv + 2, argv + argc);
        if (command == "cms") return security::cmsCommand(args);
        if (command == "find-identity") return security::findIdentityCommand(args);
        if (command == "import") return security::importCommand(args);
        if (command == "delete-identity") return security::deleteIdentityCommand(args);
        if (command == "find-certificate") return security::findCertificateCommand(args);
        if (command == "help" || command == "-h") {
            usage();
            return 0;
        }
        security::complain("unknown command \"" + command + "\"");
        usage();
        return 2;
    } catch (const std::exception& e) {
        security::complain(std::string("internal error: ") + e.what());
    } catch (...) {
        security::complain("internal error");
    }
    return 1;
}
