// Times the checks made before a re-sign (profile against certificate and
// clock, identifier, encrypted executables, a profile for every nested
// bundle) on an unpacked application:
//   bench_provisioning_checks APP_DIR PROFILE CERTIFICATE_PEM IDENTIFIER [NESTED_PROFILE...]
// The profiles are decoded once beforehand, as the window and ipa-resign
// hold them; prints the fastest, median and slowest of 50 rounds.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/QFProvisioningChecks.h"
#include "platform/files.h"
#include "profile/QFProvisioningProfile.h"

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: bench_provisioning_checks APP_DIR PROFILE CERTIFICATE_PEM IDENTIFIER [NESTED_PROFILE...]\n");
        return 2;
    }
    engine::CheckInput input;
    input.appPath = argv[1];
    input.profile = std::make_shared<QFProvisioningProfile>(std::string(argv[2]));
    input.certificatePem = platform::fs::readFile(argv[3]).value_or("");
    input.identity = "bench identity";
    input.bundleIdentifier = std::string(argv[4]);
    for (int i = 5; i < argc; ++i) input.givenProfiles.push_back(std::make_shared<QFProvisioningProfile>(std::string(argv[i])));
    input.installedProfiles = [] { return engine::ProfileList{}; };

    auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    std::vector<double> rounds, cpu;
    engine::CheckResult result;
    for (int i = 0; i < 50; ++i) {
        auto start = std::chrono::steady_clock::now();
        double cpuStart = cpuMs();
        result = engine::checkProvisioning(input);
        cpu.push_back(cpuMs() - cpuStart);
        rounds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    if (result.refusal) {
        std::fprintf(stderr, "refused: %s\n", result.refusal->c_str());
        return 1;
    }
    std::sort(rounds.begin(), rounds.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("checks: %zu nested bundles; wall fastest %.2f ms, median %.2f ms, slowest %.2f ms; "
                "CPU median %.2f ms (50 rounds)\n",
                result.plan.nested.size(), rounds.front(), rounds[rounds.size() / 2], rounds.back(), cpu[cpu.size() / 2]);
    return 0;
}
