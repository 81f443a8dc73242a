// Times sealing the resources of an app of 3,000 resource files of a few KB
// each, and checking the bundle against that seal.
//
//   codesign_seal_bench [files] [rounds]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codesign/CodeResources.h"

namespace {

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int fileCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/seal-bench-XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path app = std::filesystem::path(tmpl) / "Bench.app";

    std::mt19937 rng(42);
    std::uniform_int_distribution<int> size(1024, 8192);
    std::uniform_int_distribution<int> byte(0, 255);
    size_t totalBytes = 0;
    writeFile(app / "Info.plist", "<plist/>");
    writeFile(app / "Bench", std::string(1 << 20, 'x'));
    for (int i = 0; i < fileCount; ++i) {
        std::string bytes(static_cast<size_t>(size(rng)), '\0');
        for (char& c : bytes) c = static_cast<char>(byte(rng));
        totalBytes += bytes.size();
        std::string folder = (i % 10 == 0) ? "en.lproj" : "Assets/group" + std::to_string(i % 40);
        writeFile(app / folder / ("resource" + std::to_string(i) + ".dat"), bytes);
    }

    codesign::ResourceSealOptions options;
    options.hashTypes = {codesign::HashType::SHA1, codesign::HashType::SHA256};
    options.mainExecutable = "Bench";

    std::vector<double> build, verify;
    std::string seal;
    for (int r = 0; r < rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        auto bytes = codesign::buildCodeResources(app.string(), options);
        build.push_back(millisecondsSince(start));
        if (!bytes) {
            std::fprintf(stderr, "seal failed: %s\n", bytes.text().c_str());
            std::filesystem::remove_all(tmpl);
            return 1;
        }
        seal = *bytes;
        start = std::chrono::steady_clock::now();
        auto problems = codesign::verifyCodeResources(app.string(), seal, options);
        verify.push_back(millisecondsSince(start));
        if (!problems || !problems->empty()) {
            std::fprintf(stderr, "verification failed on the fresh seal\n");
            std::filesystem::remove_all(tmpl);
            return 1;
        }
    }
    std::filesystem::remove_all(tmpl);

    std::sort(build.begin(), build.end());
    std::sort(verify.begin(), verify.end());
    std::printf("%d resource files, %.1f MB, SHA-1 + SHA-256, %d rounds\n", fileCount, totalBytes / 1e6, rounds);
    std::printf("build:  min %.1f ms, median %.1f ms\n", build.front(), build[build.size() / 2]);
    std::printf("verify: min %.1f ms, median %.1f ms\n", verify.front(), verify[verify.size() / 2]);
    std::printf("seal size: %zu bytes\n", seal.size());
    return 0;
}
