#include "testkit/macho.h"

#include <filesystem>

#include "testkit/testkit.h"

namespace testkit {

namespace {

std::string firstExisting(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates)
        if (std::filesystem::exists(c)) return c;
    return *candidates.begin();
}

std::string stubLibrary(const std::string& dir) {
    std::string path = dir + "/libSystem.tbd";
    if (!std::filesystem::exists(path)) {
        writeFile(path,
                  "--- !tapi-tbd\n"
                  "tbd-version:     4\n"
                  "targets:         [ arm64-ios, arm64e-ios, x86_64-ios-simulator ]\n"
                  "install-name:    '/usr/lib/libSystem.B.dylib'\n"
                  "current-version: 1311\n"
                  "exports:\n"
                  "  - targets:         [ arm64-ios, arm64e-ios, x86_64-ios-simulator ]\n"
                  "    symbols:         [ _printf, _puts, _abort, dyld_stub_binder ]\n"
                  "...\n");
    }
    return path;
}

}  // namespace

std::string buildMachO(const std::string& outputPath, const MachOSpec& recipe) {
    std::string work = makeScratchDir("macho");
    std::string src = work + "/input.c";
    std::string source = recipe.source;
    if (source.empty()) {
        source = recipe.kind == MachOSpec::Kind::Executable
                     ? "int puts(const char*);\nint main(void) { puts(\"hello\"); return 0; }\n"
                     : "int answer(void) { return 42; }\n";
    }
    if (recipe.extraDataBytes > 0) {
        source += "__attribute__((used)) const unsigned char padding_blob[" +
                  std::to_string(recipe.extraDataBytes) + "] = {1};\n";
    }
    writeFile(src, source);
    const std::string clang = firstExisting({"/usr/bin/clang", "/usr/bin/clang-14"});
    const std::string ld = firstExisting({"/usr/bin/ld64.lld", "/usr/bin/ld64.lld-14"});
    std::string out;
    std::string target = recipe.arch + "-apple-ios" + recipe.minOS + (recipe.arch == "x86_64" ? "-simulator" : "");
    std::vector<std::string> compile = {clang, "-target", target, "-O1", "-c", src, "-o", work + "/input.o"};
    if (recipe.debugInfo) compile.push_back("-g");
    if (run(compile, &out) != 0) return out;
    std::string platform = recipe.arch == "x86_64" ? "ios-simulator" : "ios";
    std::vector<std::string> args = {ld, "-arch", recipe.arch, "-platform_version", platform, recipe.minOS, recipe.minOS,
                                     "-o", outputPath, work + "/input.o", stubLibrary(work)};
    if (recipe.kind == MachOSpec::Kind::Bundle) args.push_back("-bundle");
    if (recipe.kind == MachOSpec::Kind::Dylib) {
        std::string name = recipe.installName.empty()
                               ? "@rpath/" + std::filesystem::path(outputPath).filename().string()
                               : recipe.installName;
        args.insert(args.end(), {"-dylib", "-install_name", name});
    }
    if (recipe.adhocSign) args.push_back("-adhoc_codesign");
    args.insert(args.end(), recipe.linkerArgs.begin(), recipe.linkerArgs.end());
    std::filesystem::create_directories(std::filesystem::path(outputPath).parent_path());
    if (run(args, &out) != 0) return out.empty() ? "link failed" : out;
    return "";
}

std::string makeDsym(const std::string& binaryPath, const std::string& dsymPath) {
    std::string out;
    const std::string tool = firstExisting({"/usr/bin/dsymutil", "/usr/bin/dsymutil-14"});
    if (run({tool, binaryPath, "-o", dsymPath}, &out) != 0) return out.empty() ? "dsymutil failed" : out;
    return "";
}

std::string makeFat(const std::string& outputPath, const std::vector<std::string>& thinPaths) {
    std::vector<std::string> args = {firstExisting({"/usr/bin/llvm-lipo", "/usr/bin/llvm-lipo-14"}), "-create"};
    args.insert(args.end(), thinPaths.begin(), thinPaths.end());
    args.insert(args.end(), {"-output", outputPath});
    std::string out;
    if (run(args, &out) != 0) return out.empty() ? "lipo failed" : out;
    return "";
}

}  // namespace testkit
