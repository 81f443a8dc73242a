#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/text.h"
#include "testkit/macho.h"
#include "testkit/testkit.h"

using namespace platform;

TEST(Paths, ComponentsAndExtensions) {
    EXPECT_EQ(path::appendingPathComponent("/a/", "b"), "/a/b");
    EXPECT_EQ(path::appendingPathComponent("/a", "/b/"), "/a/b");
    EXPECT_EQ(path::appendingPathComponent("", "b"), "b");
    EXPECT_EQ(path::lastPathComponent("/x/Demo.app/"), "Demo.app");
    EXPECT_EQ(path::pathExtension("/x/Demo.IPA"), "IPA");
    EXPECT_EQ(path::pathExtension("/x.y/Demo"), "");
    EXPECT_EQ(path::pathExtension(".hidden"), "");
    EXPECT_EQ(path::deletingPathExtension("/x/Demo.ipa"), "/x/Demo");
    EXPECT_EQ(path::appendingPathExtension("/x/embedded", "mobileprovision"), "/x/embedded.mobileprovision");
    EXPECT_EQ(path::deletingLastPathComponent("/x/y"), "/x");
}

TEST(Paths, ArgumentsNeverReadAsOptions) {
    EXPECT_EQ(path::safeArgumentPath("/abs/-x"), "/abs/-x");
    EXPECT_EQ(path::safeArgumentPath("rel"), "rel");
    std::string fixed = path::safeArgumentPath("-rf.ipa");
    EXPECT_EQ(fixed.front(), '/');
    EXPECT_EQ(path::lastPathComponent(fixed), "-rf.ipa");
}

TEST(Text, LossyDecodingKeepsEveryByteVisible) {
    EXPECT_EQ(text::decodeUtf8Lossy("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(text::decodeUtf8Lossy("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(text::decodeUtf8Lossy("\xC3"), "\xEF\xBF\xBD");           // truncated sequence
    EXPECT_EQ(text::decodeUtf8Lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
    EXPECT_FALSE(text::decodeUtf8Lossy("\x80").empty());
    EXPECT_TRUE(text::isValidUtf8("J\xC3\xBCrgen"));
    EXPECT_FALSE(text::isValidUtf8("\xC0\xAF"));  // overlong
}

TEST(TestKit, BuildsRealMachOFiles) {
    std::string dir = testkit::makeScratchDir();
    ASSERT_EQ(testkit::buildMachO(dir + "/App"), "");
    testkit::MachOSpec lib;
    lib.kind = testkit::MachOSpec::Kind::Dylib;
    ASSERT_EQ(testkit::buildMachO(dir + "/libX.dylib", lib), "");
    std::string exe = testkit::readFile(dir + "/App");
    ASSERT_GE(exe.size(), 4u);
    EXPECT_EQ(exe.substr(0, 4), std::string("\xCF\xFA\xED\xFE", 4));  // MH_MAGIC_64, little-endian
}
