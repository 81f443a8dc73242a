// Writes a big test package for the re-sign benchmark, with a profile and an
// identity to sign it with:
//   bench_make_package OUTDIR [MEGABYTES [FRAMEWORKS [RESOURCES]]]
// OUTDIR/Bench.ipa, OUTDIR/Bench.mobileprovision (and BenchShare.mobileprovision
// for its extension), OUTDIR/identity.p12 (password "bench") and the
// identity's certificate in identity.pem; prints the identity's common name.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace testkit {
void setUpProcessRoot();
void tearDownProcessRoot();
}  // namespace testkit

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_make_package OUTDIR [MEGABYTES [FRAMEWORKS [RESOURCES]]]\n");
        return 2;
    }
    const std::string out = std::filesystem::absolute(argv[1]).string();
    const size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 150;
    const int frameworks = argc > 3 ? std::atoi(argv[3]) : 30;
    const int resources = argc > 4 ? std::atoi(argv[4]) : 3000;
    std::filesystem::create_directories(out);
    testkit::setUpProcessRoot();
    try {
        namespace pki = testkit::pki;
        pki::LeafOptions leafOptions;
        leafOptions.commonName = "Apple Development: Bench Runner (BENCH12345)";
        auto leaf = pki::TestPKI::shared().issueLeaf(leafOptions);
        testkit::writeFile(out + "/identity.p12", pki::pkcs12(leaf, {pki::TestPKI::shared().intermediate()}, "bench"));
        pki::ProfileOptions profile;
        profile.name = "Bench Profile";
        profile.bundleId = "com.example.bench";
        profile.developerCertificates = {leaf.certDer};
        testkit::writeFile(out + "/Bench.mobileprovision", pki::makeProfile(profile));
        // The package's extension gets a profile of its own.
        profile.name = "Bench Share Profile";
        profile.bundleId = "com.example.bench.share";
        profile.uuid = "4A1B2C3D-0000-4000-8000-0123456789BE";
        testkit::writeFile(out + "/BenchShare.mobileprovision", pki::makeProfile(profile));
        testkit::writeFile(out + "/identity.pem", leaf.certPem());

        // Most of the size is in resources of incompressible bytes, as images
        // and media are in real packages; the main executable adds 8 MB more.
        testkit::PackageSpec shape;
        shape.appName = "Bench";
        shape.bundleId = "com.example.original";
        shape.extraFrameworks = frameworks - 3;  // A, Inner and S come with the full shape
        shape.resourceFiles = 0;
        shape.executablePadding = 8u << 20;
        std::string root = testkit::makeScratchDir("bench-tree");
        std::string app = testkit::buildPackageTree(root, shape);
        const size_t resourceBytes = resources > 0 ? (megabytes << 20) / resources : 0;
        std::mt19937_64 random(42);
        std::string bytes(resourceBytes, '\0');
        for (int i = 0; i < resources; ++i) {
            for (size_t j = 0; j + 8 <= bytes.size(); j += 8) {
                uint64_t v = random();
                bytes.replace(j, 8, reinterpret_cast<const char*>(&v), 8);
            }
            testkit::writeFile(app + "/Resources/" + std::to_string(i / 100) + "/res-" + std::to_string(i) + ".bin",
                               bytes);
        }
        testkit::zipTree(root, out + "/Bench.ipa");
        std::printf("%s\n", leafOptions.commonName.c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_make_package: %s\n", e.what());
        testkit::tearDownProcessRoot();
        return 1;
    }
    testkit::tearDownProcessRoot();
    return 0;
}
