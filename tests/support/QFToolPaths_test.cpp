#include <gtest/gtest.h>

#include "support/QFToolPaths.h"

TEST(QFToolCommands, ArgumentListsInTheirFixedOrder) {
    using V = std::vector<std::string>;
    EXPECT_EQ(QFToolCommands::listIdentities(), (V{"find-identity", "-v", "-p", "codesigning"}));
    EXPECT_EQ(QFToolCommands::decodeProfile("/p/x.mobileprovision"), (V{"cms", "-D", "-i", "/p/x.mobileprovision"}));
    EXPECT_EQ(QFToolCommands::signItem("Apple Development: J (X)", "/w/A.app", "/w/Entitlements.plist"),
              (V{"-vvv", "-fs", "Apple Development: J (X)", "/w/A.app", "--entitlements=/w/Entitlements.plist"}));
    EXPECT_EQ(QFToolCommands::verifyItem("/w/A.app"), (V{"-v", "/w/A.app"}));
    EXPECT_EQ(QFToolCommands::unpack("/in.ipa", "/out"), (V{"-q", "/in.ipa", "-d", "/out"}));
    EXPECT_EQ(QFToolCommands::pack("/out/Demo.ipa"), (V{"-qry", "/out/Demo.ipa", "."}));
}

TEST(QFToolCommands, PathsNeverReadAsOptions) {
    auto args = QFToolCommands::unpack("-evil.ipa", "-d");
    EXPECT_EQ(args[1].front(), '/');
    EXPECT_EQ(args[3].front(), '/');
}

TEST(QFToolPaths, ArchiveToolsAreTheSystemOnesAndTheTableCanBeReplaced) {
    auto defaults = QFToolPaths::defaults();
    EXPECT_EQ(defaults.zip, "/usr/bin/zip");
    EXPECT_EQ(defaults.unzip, "/usr/bin/unzip");
    EXPECT_EQ(defaults.codesign.substr(defaults.codesign.size() - 9), "/codesign");
    QFToolPaths::setCurrent({"/a/zip", "/a/unzip", "/a/security", "/a/codesign"});
    EXPECT_EQ(QFToolPaths::current().security, "/a/security");
    QFToolPaths::setCurrent(defaults);
}
