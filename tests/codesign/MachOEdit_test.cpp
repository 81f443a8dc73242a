// Changing the libraries a Mach-O file loads, on files the real linker made:
// what is added is loaded in every slice, nothing else in the file moves,
// and what cannot be done in place is refused with the file untouched.
#include <gtest/gtest.h>

#include "codesign/MachO.h"
#include "codesign/MachOEdit.h"
#include "testkit/macho.h"
#include "testkit/testkit.h"

namespace {

using namespace codesign;
using macho::LibraryCommand;

std::vector<macho::SliceLibraries> librariesOf(const std::string& file) {
    InputFile input;
    EXPECT_TRUE(input.open(file));
    auto read = macho::readLibraries(input);
    EXPECT_TRUE(read) << (read ? "" : read.text());
    return read ? *read : std::vector<macho::SliceLibraries>{};
}

platform::Result<> edit(const std::string& file, const macho::LibraryEdit& change) {
    InputFile input;
    EXPECT_TRUE(input.open(file));
    auto patches = macho::planLibraryEdit(input, change);
    if (!patches) return patches.error();
    return macho::applyHeaderPatches(file, *patches);
}

class MachOEditTest : public ::testing::Test {
protected:
    void SetUp() override { dir = testkit::makeScratchDir("machoedit"); }
    std::string build(const std::string& name, testkit::MachOSpec shape) {
        std::string file = dir + "/" + name;
        EXPECT_EQ(testkit::buildMachO(file, shape), "");
        return file;
    }
    std::string fatExecutable() {
        testkit::MachOSpec arm64, x86_64;
        x86_64.arch = "x86_64";
        x86_64.linkerArgs = {"-headerpad_max_install_names"};  // the linker leaves it no room else
        std::string fat = dir + "/fat";
        EXPECT_EQ(testkit::makeFat(fat, {build("thin-arm64", arm64), build("thin-x86_64", x86_64)}), "");
        return fat;
    }
    std::string dir;
};

TEST_F(MachOEditTest, AddedCommandsAreLoadedInEverySliceAndRemovingThemGivesBackTheFile) {
    const std::string file = fatExecutable();
    const std::string original = testkit::readFile(file);
    auto before = librariesOf(file);
    ASSERT_EQ(before.size(), 2u);

    macho::LibraryEdit add;
    add.add = {{macho::LC_LOAD_DYLIB, "@rpath/libOne.dylib", 0x10000, 0x10000},
               {macho::LC_LOAD_WEAK_DYLIB, "@executable_path/Frameworks/libTwo.dylib", 0, 0}};
    ASSERT_TRUE(edit(file, add));
    const std::string edited = testkit::readFile(file);
    ASSERT_EQ(edited.size(), original.size());
    for (const auto& slice : librariesOf(file)) {
        SCOPED_TRACE(slice.arch);
        ASSERT_EQ(slice.loads.size(), before[0].loads.size() + 2);
        const auto& one = slice.loads[slice.loads.size() - 2];
        const auto& two = slice.loads.back();
        EXPECT_EQ(one.path, "@rpath/libOne.dylib");
        EXPECT_EQ(one.command, macho::LC_LOAD_DYLIB);
        EXPECT_EQ(one.compatibilityVersion, 0x10000u);
        EXPECT_EQ(two.path, "@executable_path/Frameworks/libTwo.dylib");
        EXPECT_EQ(two.command, macho::LC_LOAD_WEAK_DYLIB);
    }
    // Only the headers changed: every section and table is where it was.
    InputFile input;
    ASSERT_TRUE(input.open(file));
    auto parsed = macho::parse(input);
    ASSERT_TRUE(parsed);
    size_t changedOutsideHeaders = 0;
    for (size_t i = 0; i < edited.size(); ++i) {
        bool inHeader = false;
        for (const auto& slice : parsed->slices)
            inHeader |= i >= slice.offset && i < slice.offset + slice.commandsEnd();
        changedOutsideHeaders += !inHeader && edited[i] != original[i];
    }
    EXPECT_EQ(changedOutsideHeaders, 0u);
    // The same command again is refused; an unknown one cannot be removed.
    macho::LibraryEdit again;
    again.add = {add.add[0]};
    EXPECT_EQ(edit(file, again).kind(), platform::ErrorKind::Exists);
    macho::LibraryEdit unknown;
    unknown.remove = {"@rpath/libNone.dylib"};
    EXPECT_EQ(edit(file, unknown).kind(), platform::ErrorKind::NotFound);

    macho::LibraryEdit remove;
    remove.remove = {"@rpath/libOne.dylib", "@executable_path/Frameworks/libTwo.dylib"};
    ASSERT_TRUE(edit(file, remove));
    EXPECT_EQ(testkit::readFile(file), original);
}

TEST_F(MachOEditTest, RefusesWhatWouldMoveDataOrRenumberLibraries) {
    // An executable whose load commands fill its header page but for the
    // linker's least padding (32 bytes): a long run path takes the room.
    const std::string roomy = build("roomy", {});
    const uint64_t free = librariesOf(roomy).at(0).freeSpace;
    ASSERT_GT(free, 200u);
    testkit::MachOSpec tight;
    const uint64_t rpathCommand = free - 32;  // fewer than a command and a signature need
    tight.linkerArgs = {"-rpath", std::string(rpathCommand - 12 - 1, 'r')};
    const std::string file = build("tight", tight);
    ASSERT_EQ(librariesOf(file).at(0).freeSpace, 32u);
    const std::string original = testkit::readFile(file);
    macho::LibraryEdit add;
    add.add = {{macho::LC_LOAD_DYLIB, "@rpath/libOne.dylib", 0, 0}};
    auto refused = edit(file, add);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.kind(), platform::ErrorKind::Unsupported);
    EXPECT_NE(refused.text().find("32 bytes free"), std::string::npos) << refused.text();
    EXPECT_EQ(testkit::readFile(file), original);

    // A library that others follow keeps its place: their ordinals would shift.
    ASSERT_TRUE(edit(roomy, add));
    macho::LibraryEdit removeFirst;
    removeFirst.remove = {"/usr/lib/libSystem.B.dylib"};
    auto renumbering = edit(roomy, removeFirst);
    ASSERT_FALSE(renumbering);
    EXPECT_EQ(renumbering.kind(), platform::ErrorKind::Unsupported);

    // A damaged command is reported, never followed.
    std::string damaged = testkit::readFile(roomy);
    damaged[32 + 4] = '\xff';  // the first command's size
    damaged[32 + 5] = '\xff';
    testkit::writeFile(dir + "/damaged", damaged);
    InputFile input;
    ASSERT_TRUE(input.open(dir + "/damaged"));
    EXPECT_FALSE(macho::readLibraries(input));
    EXPECT_FALSE(macho::planLibraryEdit(input, add));
}

}  // namespace
