// Writes a big test package for the re-sign benchmark, with a profile and an
// identity to sign it with:
//   bench_make_package OUTDIR [MEGABYTES [FRAMEWORKS [RESOURCES [realistic]]]]
// OUTDIR/Bench.ipa, OUTDIR/Bench.mobileprovision, OUTDIR/identity.p12
// (password "bench"); prints the identity's common name.
//
// The plain package is mostly incompressible resources. "realistic" makes
// one of the compressibility real packages have: binaries (a 24 MB
// executable, 2 MB per framework) that deflate to about half, a third of
// the resources compressed images that do not deflate, the rest plists and
// strings that do; MEGABYTES is then the size of the images.
// Also OUTDIR/BenchShare.mobileprovision for its extension and the identity's
// certificate in identity.pem.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>

#include "platform/plist.h"
#include "testkit/macho.h"
#include "testkit/package.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace testkit {
void setUpProcessRoot();
void tearDownProcessRoot();
}  // namespace testkit

namespace {

// Data that deflate halves, at about the speed it deflates machine code:
// 4 KB blocks, alternately of bytes of four random bits each (slower to
// deflate than code) and of 32 random bytes followed by 32 repeated ones
// (faster).
void fillHalfCompressible(std::string& bytes, size_t from, size_t to, std::mt19937_64& random) {
    for (size_t i = from; i < to; ++i) {
        size_t offset = i - from;
        if ((offset >> 12) % 2 == 0) bytes[i] = char('A' + (random() & 15));
        else if (offset % 64 < 32) bytes[i] = char(random());
        else bytes[i] = char(offset % 64 == 32 ? random() & 7 : bytes[i - 1]);
    }
}

// Fills the binary's padding (its longest run of zero bytes) so that the
// binary deflates to about half.
void makeHalfCompressible(const std::string& path, std::mt19937_64& random) {
    std::string bytes = testkit::readFile(path);
    size_t bestStart = 0, bestLength = 0;
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] != 0) { ++i; continue; }
        size_t j = i;
        while (j < bytes.size() && bytes[j] == 0) ++j;
        if (j - i > bestLength) { bestStart = i; bestLength = j - i; }
        i = j;
    }
    fillHalfCompressible(bytes, bestStart, bestStart + bestLength, random);
    testkit::writeFile(path, bytes, true);
}

std::string stringsFile(int index, std::mt19937_64& random) {
    static const char* words[] = {"Settings", "Account", "Sign in", "Cancel", "Done", "Share", "Photos",
                                  "Library", "Search", "Profile", "Messages", "Notifications", "Privacy"};
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "\"key." + std::to_string(index) + "." + std::to_string(i) + "\" = \"" + words[random() % 13] + " " +
                words[random() % 13] + "\";\n";
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_make_package OUTDIR [MEGABYTES [FRAMEWORKS [RESOURCES]]]\n");
        return 2;
    }
    const std::string out = std::filesystem::absolute(argv[1]).string();
    const size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 150;
    const int frameworks = argc > 3 ? std::atoi(argv[3]) : 30;
    const int resources = argc > 4 ? std::atoi(argv[4]) : 3000;
    const bool realistic = argc > 5 && std::string(argv[5]) == "realistic";
    std::filesystem::create_directories(out);
    testkit::setUpProcessRoot();
    try {
        namespace pki = testkit::pki;
        pki::LeafOptions leafOptions;
        leafOptions.commonName = realistic ? "Apple Development: Realistic Runner (BENCH12345)"
                                           : "Apple Development: Bench Runner (BENCH12345)";
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
        shape.executablePadding = realistic ? 24u << 20 : 8u << 20;
        std::string root = testkit::makeScratchDir("bench-tree");
        std::string app = testkit::buildPackageTree(root, shape);
        std::mt19937_64 random(42);
        if (realistic) {
            namespace stdfs = std::filesystem;
            makeHalfCompressible(app + "/Bench", random);
            testkit::MachOSpec framework;
            framework.kind = testkit::MachOSpec::Kind::Dylib;
            framework.extraDataBytes = 2u << 20;
            const std::string built = testkit::makeScratchDir("bench-binary") + "/framework";
            std::string failure = testkit::buildMachO(built, framework);
            if (!failure.empty()) throw std::runtime_error(failure);
            for (const auto& entry : stdfs::recursive_directory_iterator(app)) {
                const std::string file = entry.path().string();
                const std::string name = entry.path().filename().string();
                bool binary = entry.path().extension() == ".dylib" ||
                              (entry.path().parent_path().extension() == ".framework" &&
                               entry.path().parent_path().stem().string() == name);
                if (!entry.is_regular_file() || !binary) continue;
                stdfs::copy_file(built, file, stdfs::copy_options::overwrite_existing);
                makeHalfCompressible(file, random);
            }
            const int images = resources / 3;
            const size_t imageBytes = images > 0 ? (megabytes << 20) / images : 0;
            std::string image(imageBytes, '\0');
            for (int i = 0; i < resources; ++i) {
                const std::string folder = app + "/Resources/" + std::to_string(i / 100) + "/";
                if (i < images) {
                    for (char& c : image) c = char(random());
                    testkit::writeFile(folder + "image-" + std::to_string(i) + ".png", image);
                } else if (i % 2) {
                    testkit::writeFile(folder + "Localizable-" + std::to_string(i) + ".strings", stringsFile(i, random));
                } else {
                    platform::plist::Dict keys;
                    for (int k = 0; k < 100; ++k) keys["Item" + std::to_string(k)] = stringsFile(k, random).substr(0, 60);
                    testkit::writeFile(folder + "Config-" + std::to_string(i) + ".plist",
                                       platform::plist::toXml(platform::plist::Value(keys)));
                }
            }
            testkit::zipTree(root, out + "/Bench.ipa");
            std::printf("%s\n", leafOptions.commonName.c_str());
            testkit::tearDownProcessRoot();
            return 0;
        }
        const size_t resourceBytes = resources > 0 ? (megabytes << 20) / resources : 0;
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
