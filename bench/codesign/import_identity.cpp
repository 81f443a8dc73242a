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
    std::string error;
    if (!store.importPkcs12(readAll(argv[1]), argv[2], &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (argc > 3 && !store.importCertificates(readAll(argv[3]), &error)) std::fprintf(stderr, "%s\n", error.c_str());
    return 0;
}
