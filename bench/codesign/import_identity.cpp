// Imports a PKCS#12 identity and PEM certificates into the keychain of
// $XDG_DATA_HOME, for the signing benchmarks.
//
//   codesign_bench_import IDENTITY.p12 PASSWORD [CERTS.pem]
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "keychain/Keychain.h"

namespace {
std::string readAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: codesign_bench_import IDENTITY.p12 PASSWORD [CERTS.pem]\n", stderr);
        return 2;
    }
    keychain::Store store;
    if (auto imported = store.importPkcs12(readAll(argv[1]), argv[2]); !imported) {
        std::fprintf(stderr, "%s\n", imported.text().c_str());
        return 1;
    }
    if (argc > 3) {
        if (auto imported = store.importCertificates(readAll(argv[3])); !imported)
            std::fprintf(stderr, "%s\n", imported.text().c_str());
    }
    return 0;
}
