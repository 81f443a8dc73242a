#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include <filesystem>

#include "platform/files.h"
#include "platform/folders.h"
#include "testkit/testkit.h"

namespace stdfs = std::filesystem;
namespace folders = platform::folders;

TEST(Files, SubpathsListFoldersBeforeTheirContentsAndDoNotEnterLinks) {
    std::string root = testkit::makeScratchDir("tree");
    testkit::writeFile(root + "/b/inner.txt", "x");
    testkit::writeFile(root + "/a.txt", "x");
    stdfs::create_symlink("/", root + "/root-link");
    auto paths = platform::fs::subpathsOfDirectory(root);
    EXPECT_EQ(paths, (std::vector<std::string>{"a.txt", "b", "b/inner.txt", "root-link"}));
    EXPECT_TRUE(platform::fs::subpathsOfDirectory(root + "/missing").empty());
}

TEST(Files, RemovingALinkNeverRemovesItsTarget) {
    std::string root = testkit::makeScratchDir("rm");
    testkit::writeFile(root + "/keep/file", "x");
    stdfs::create_directories(root + "/work");
    stdfs::create_symlink(root + "/keep", root + "/work/link");
    EXPECT_TRUE(platform::fs::removeItem(root + "/work"));
    EXPECT_TRUE(stdfs::exists(root + "/keep/file"));
    EXPECT_FALSE(platform::fs::removeItem(root + "/work")) << "nothing left to remove";
}

TEST(Files, CopyNeverOverwrites) {
    std::string root = testkit::makeScratchDir("cp");
    testkit::writeFile(root + "/a", "new");
    testkit::writeFile(root + "/b", "old");
    EXPECT_FALSE(platform::fs::copyItem(root + "/a", root + "/b"));
    EXPECT_EQ(testkit::readFile(root + "/b"), "old");
    EXPECT_TRUE(platform::fs::copyItem(root + "/a", root + "/c"));
    EXPECT_EQ(testkit::readFile(root + "/c"), "new");
    EXPECT_FALSE(platform::fs::copyItem(root + "/missing", root + "/d"));
}

TEST(Files, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
    std::string root = testkit::makeScratchDir("atomic");
    testkit::writeFile(root + "/Info.plist", "old");
    EXPECT_TRUE(platform::fs::writeFileAtomically(root + "/Info.plist", "new"));
    EXPECT_EQ(testkit::readFile(root + "/Info.plist"), "new");
    EXPECT_EQ(platform::fs::contentsOfDirectory(root), std::vector<std::string>{"Info.plist"});
    EXPECT_FALSE(platform::fs::writeFileAtomically(root + "/missing-folder/x", "y"));
    // A link in the target's place is replaced, not written through.
    testkit::writeFile(root + "/outside", "keep");
    stdfs::create_symlink(root + "/outside", root + "/link");
    EXPECT_TRUE(platform::fs::writeFileAtomically(root + "/link", "new"));
    EXPECT_EQ(testkit::readFile(root + "/outside"), "keep");
}

TEST(Folders, TemporaryFolderIsPrivateToTheUser) {
    auto tmp = folders::temporaryDirectory();
    ASSERT_TRUE(tmp);
    struct stat st;
    ASSERT_EQ(::lstat(tmp->c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());
    ::chmod(tmp->c_str(), 0777);  // loosened by someone: tightened again
    ASSERT_TRUE(folders::temporaryDirectory());
    ::lstat(tmp->c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
#if defined(__linux__)
    // Where the file system takes the flag (a folder beside it shows), run
    // folders are spread apart.
    auto topFlag = [](const std::string& dir, bool set) {
        int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        int flags = 0;
        bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (ok && set) {
            flags |= FS_TOPDIR_FL;
            ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        }
        if (fd >= 0) ::close(fd);
        return ok && (flags & FS_TOPDIR_FL);
    };
    const std::string probe = *tmp + "-probe";
    ::mkdir(probe.c_str(), 0700);
    if (topFlag(probe, true)) {
        EXPECT_TRUE(topFlag(*tmp, false));
    }
    ::rmdir(probe.c_str());
#endif
}

TEST(Folders, AFolderPlantedByAnotherUserOrALinkIsRefused) {
    std::string base = testkit::makeScratchDir("tmpbase");
    std::string saved = getenv("TMPDIR");
    ::setenv("TMPDIR", base.c_str(), 1);
    std::string mine = base + "/ipa-resigner-" + std::to_string(::getuid());
    stdfs::create_symlink(testkit::makeScratchDir("elsewhere"), mine);
    EXPECT_FALSE(folders::temporaryDirectory()) << "a link in its place";
    stdfs::remove(mine);
    if (::getuid() == 0) {  // only root can hand a folder to another user
        stdfs::create_directory(mine);
        ASSERT_EQ(::chown(mine.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(folders::temporaryDirectory()) << "owned by another user";
    }
    ::setenv("TMPDIR", saved.c_str(), 1);
}

TEST(Folders, DesktopFollowsTheUserDirsFile) {
    std::string home = folders::homeDirectory();
    EXPECT_EQ(folders::desktopDirectory(), home + "/Desktop");
    testkit::writeFile(std::string(getenv("XDG_CONFIG_HOME")) + "/user-dirs.dirs",
                       "# comment\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(folders::desktopDirectory(), home + "/Schreibtisch");
    stdfs::remove(std::string(getenv("XDG_CONFIG_HOME")) + "/user-dirs.dirs");
}
