#pragma once
// Real Mach-O files for tests, built with clang (-target ARCH-apple-iosVERSION)
// and ld64.lld against a minimal text stub of libSystem.
#include <string>
#include <vector>

namespace testkit {

struct MachOSpec {
    enum class Kind { Executable, Dylib, Bundle };  // MH_EXECUTE, MH_DYLIB, MH_BUNDLE
    Kind kind = Kind::Executable;
    std::string source;              // C source; a default one is used when empty
    std::string arch = "arm64";      // arm64, arm64e, x86_64
    std::string minOS = "15.0";      // iOS deployment target
    std::string installName;         // dylibs: defaults to @rpath/<file name>
    bool adhocSign = false;          // let the linker sign it ad hoc
    size_t extraDataBytes = 0;       // a const array of this size, to make big binaries
    bool debugInfo = false;          // compile with -g (keeps the object file for dsymutil)
    std::vector<std::string> linkerArgs;  // passed on to ld64.lld as they are
};

// Builds one thin Mach-O at outputPath; answers "" or the tools' error output.
std::string buildMachO(const std::string& outputPath, const MachOSpec& recipe = {});
// Makes a dSYM bundle (Contents/Resources/DWARF/<name>, an MH_DSYM file) for
// a binary built with debugInfo; answers "" or the tool's error output.
std::string makeDsym(const std::string& binaryPath, const std::string& dsymPath);
// Joins thin files into a fat one with llvm-lipo; answers "" or the error output.
std::string makeFat(const std::string& outputPath, const std::vector<std::string>& thinPaths);

}  // namespace testkit
