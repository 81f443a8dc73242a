// Time to list the installed profiles, as the window does at start-up.
//
//   build/bin/bench_profiles [count] [rounds]
//
// Makes `count` (default 500) signed profiles of realistic size (three
// developer certificates, 100 devices, chain in the signature) in a scratch
// HOME, then times getProvisioningProfiles over `rounds` (default 5) calls
// and prints the best and the median.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"
#include "testkit/pki.h"

int main(int argc, char** argv) {
    int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::string base = std::filesystem::temp_directory_path().string() + "/bench-profiles-XXXXXX";
    if (!::mkdtemp(base.data())) return 1;
    ::setenv("HOME", base.c_str(), 1);
    std::string folder = base + "/Library/MobileDevice/Provisioning Profiles";
    platform::fs::createDirectory(folder);

    const auto& pki = testkit::pki::TestPKI::shared();
    testkit::pki::ProfileOptions o;
    o.developerCertificates = {pki.root().certDer, pki.intermediate().certDer, pki.root().certDer};
    o.devices.clear();
    for (int d = 0; d < 100; ++d) o.devices.push_back("00008030-" + std::to_string(1000000000000000LL + d));
    size_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        o.name = "Profile " + std::to_string(count - i);
        o.uuid = "UUID-" + std::to_string(i);
        std::string profile = testkit::pki::makeProfile(o);
        bytes += profile.size();
        platform::fs::writeFileAtomically(folder + "/" + o.uuid + ".mobileprovision", profile);
    }

    std::vector<double> ms;
    size_t listed = 0;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        auto list = QFFileHelper::sharedInstance().getProvisioningProfiles();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        listed = list.size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("getProvisioningProfiles: %zu profiles (%.1f KB each): best %.1f ms, median %.1f ms over %d rounds\n",
                listed, bytes / 1024.0 / count, ms.front(), ms[ms.size() / 2], rounds);
    std::filesystem::remove_all(base);
    return listed == static_cast<size_t>(count) ? 0 : 1;
}
