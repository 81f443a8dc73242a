// What loading the keychain costs the signing and listing commands.
//
//   build/bin/bench_keychain [identities] [rounds]
//
// Fills a scratch keychain with `identities` (default 10) identities and the
// CA certificates, then times, best and median over `rounds` (default 20):
// loading every identity and judging each, finding one by name and building
// its chain (what a signing run does), and a whole `security find-identity
// -v -p codesigning` process.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "keychain/Keychain.h"
#include "platform/process.h"
#include "testkit/pki.h"

namespace {
std::pair<double, double> timeIt(int rounds, const std::function<void()>& work) {
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2]};
}
}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    std::string base = std::filesystem::temp_directory_path().string() + "/bench-keychain-XXXXXX";
    if (!::mkdtemp(base.data())) return 1;
    ::setenv("XDG_DATA_HOME", base.c_str(), 1);

    const auto& pki = testkit::pki::TestPKI::shared();
    keychain::Store store;
    std::string lastName;
    (void)store.importCertificates(testkit::pki::certificatesPem({pki.root().certDer}));
    for (int i = 0; i < count; ++i) {
        lastName = "Apple Development: Bench " + std::to_string(i) + " (ABCDE12345)";
        auto leaf = pki.issueLeaf({.commonName = lastName});
        if (auto imported = store.importPkcs12(testkit::pki::pkcs12(leaf, {pki.intermediate()}, "pw"), "pw");
            !imported) {
            std::fprintf(stderr, "import failed: %s\n", imported.text().c_str());
            return 1;
        }
    }

    size_t valid = 0;
    auto load = timeIt(rounds, [&] {
        valid = 0;
        for (const auto& id : keychain::Store().identities()) valid += keychain::Store::invalidReason(id).empty();
    });
    size_t chainLength = 0;
    auto find = timeIt(rounds, [&] {
        keychain::Store s;
        auto id = s.findIdentity(lastName);
        chainLength = id ? s.chainFor(id->certificate).size() : 0;
    });
    std::string tool = std::filesystem::path(argv[0]).parent_path().string() + "/security";
    auto list = timeIt(rounds, [&] {
        platform::Task task(tool, {"find-identity", "-v", "-p", "codesigning"});
        task.setCapturesOutput(true);
        if (task.launch()) {
            platform::readToEnd(task.takeOutputDescriptor());
            task.waitUntilExit();
        }
    });
    std::printf("keychain of %d identities (%zu valid):\n", count, valid);
    std::printf("  load + judge all:        best %.2f ms, median %.2f ms (%.3f ms per identity)\n", load.first,
                load.second, load.second / count);
    std::printf("  find by name + chain(%zu): best %.2f ms, median %.2f ms\n", chainLength, find.first, find.second);
    std::printf("  security find-identity:  best %.2f ms, median %.2f ms (whole process)\n", list.first, list.second);
    std::filesystem::remove_all(base);
    return 0;
}
