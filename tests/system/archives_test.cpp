#include <gtest/gtest.h>

#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <random>
#include <fstream>
#include <functional>

#include "ZipWriter.h"
#include "platform/files.h"
#include "support/QFToolPaths.h"
#include "system/QFArchiveSafety.h"
#include "system/QFFileHelper.h"
#include "system/QFRepack.h"
#include "system/QFUnpackSplit.h"
#include "system/QFUnpackedTree.h"
#include "system/QFZipDirectory.h"
#include "testkit/package.h"
#include "testkit/testkit.h"

namespace fs = std::filesystem;

namespace {

struct Outcome {
    bool called = false;
    bool value = false;
};

bool unzipNow(const std::string& archive, const std::string& dest) {
    Outcome o;
    QFFileHelper::sharedInstance().unzip(archive, dest, [&](bool ok) {
        o.called = true;
        o.value = ok;
    });
    EXPECT_TRUE(testkit::pumpUntil([&] { return o.called; }));
    return o.value;
}

bool zipNow(const std::string& dir, const std::string& archive) {
    Outcome o;
    QFFileHelper::sharedInstance().zip(dir, archive, [&](bool ok) {
        o.called = true;
        o.value = ok;
    });
    EXPECT_TRUE(testkit::pumpUntil([&] { return o.called; }));
    return o.value;
}

bool zipChangesNow(const std::string& dir, std::shared_ptr<const QFUnpackedTree> unpacked, const std::string& archive) {
    Outcome o;
    QFFileHelper::sharedInstance().zipChanges(dir, std::move(unpacked), archive, [&](bool ok) {
        o.called = true;
        o.value = ok;
    });
    EXPECT_TRUE(testkit::pumpUntil([&] { return o.called; }));
    return o.value;
}

// Everything an unpacked tree holds: each path with its mode and either its
// bytes or its link target.
std::map<std::string, std::string> contents(const std::string& root) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        ::lstat(it->path().c_str(), &st);
        std::string value = std::to_string(st.st_mode) + ":";
        if (it->is_symlink()) value += fs::read_symlink(it->path()).string();
        else if (it->is_regular_file()) value += testkit::readFile(it->path().string());
        out[fs::relative(it->path(), root).string()] = value;
    }
    return out;
}

// The paths whose mode, bytes or link target differ between two trees, or
// that only one of them holds.
std::vector<std::string> differences(const std::string& a, const std::string& b) {
    auto left = contents(a), right = contents(b);
    std::vector<std::string> out;
    for (const auto& [name, value] : left)
        if (!right.count(name) || right[name] != value) out.push_back(name);
    for (const auto& [name, value] : right)
        if (!left.count(name)) out.push_back(name);
    return out;
}

// Every regular file and link below root, relative, sorted.
std::vector<std::string> tree(const std::string& root) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_directory() || it->is_symlink()) out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

// Each entry's name and the mode the archive stores for it, sorted.
std::vector<std::pair<std::string, uint32_t>> storedModes(const std::string& archive) {
    std::vector<QFArchiveEntry> entries;
    EXPECT_EQ(QFCheckArchiveBeforeUnpacking(archive, "/", {}, &entries), std::nullopt);
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& e : entries) out.emplace_back(e.name, e.mode);
    std::sort(out.begin(), out.end());
    return out;
}

class Archives : public ::testing::Test {
protected:
    void SetUp() override {
        QFToolPaths::setCurrent(QFToolPaths::defaults());
        work = testkit::makeScratchDir("archives");
        // Anything that escapes the destination lands in or beside this folder.
        outside = work + "/outside";
        fs::create_directories(outside);
    }
    bool nothingOutside() { return fs::is_empty(outside); }
    std::string work, outside;
};

}  // namespace

TEST_F(Archives, PackAndUnpackRoundTripKeepsFilesAndLinks) {
    std::string src = work + "/src";
    testkit::writeFile(src + "/Payload/Demo.app/Info.plist", "plist");
    testkit::writeFile(src + "/Payload/Demo.app/Demo", std::string(100000, 'x'), true);
    testkit::writeFile(src + "/Entitlements.plist", "ent");
    testkit::writeFile(src + "/.hidden", "h");
    fs::create_symlink("Demo", src + "/Payload/Demo.app/Alias");
    ASSERT_TRUE(zipNow(src, work + "/out/Demo.ipa") == false) << "the destination folder must exist";
    fs::create_directories(work + "/out");
    ASSERT_TRUE(zipNow(src, work + "/out/Demo.ipa"));
    ASSERT_TRUE(unzipNow(work + "/out/Demo.ipa", work + "/dest"));
    EXPECT_EQ(tree(work + "/dest"), tree(src));
    EXPECT_TRUE(fs::is_symlink(work + "/dest/Payload/Demo.app/Alias")) << "links are stored as links";
    EXPECT_EQ(testkit::readFile(work + "/dest/Payload/Demo.app/Demo"), std::string(100000, 'x'));
    EXPECT_NE(fs::status(work + "/dest/Payload/Demo.app/Demo").permissions() & fs::perms::owner_exec, fs::perms::none);
    // No staging leftovers beside the archive.
    EXPECT_EQ(tree(work + "/out"), std::vector<std::string>{"Demo.ipa"});
}

TEST_F(Archives, RepackingToAnExistingNameHoldsExactlyTheNewContent) {
    testkit::writeFile(work + "/one/Payload/Old.app/Info.plist", "old");
    testkit::writeFile(work + "/two/Payload/New.app/Info.plist", "new");
    ASSERT_TRUE(zipNow(work + "/one", work + "/Demo.ipa"));
    ASSERT_TRUE(zipNow(work + "/two", work + "/Demo.ipa"));
    ASSERT_TRUE(unzipNow(work + "/Demo.ipa", work + "/dest"));
    EXPECT_EQ(tree(work + "/dest"), std::vector<std::string>{"Payload/New.app/Info.plist"});
}

TEST_F(Archives, AFailedPackingLeavesTheOldArchiveWhole) {
    testkit::writeFile(work + "/one/Payload/Old.app/Info.plist", "old");
    ASSERT_TRUE(zipNow(work + "/one", work + "/Demo.ipa"));
    std::string before = testkit::readFile(work + "/Demo.ipa");
    EXPECT_FALSE(zipNow(work + "/does-not-exist", work + "/Demo.ipa"));
    EXPECT_EQ(testkit::readFile(work + "/Demo.ipa"), before);
    EXPECT_EQ(tree(work).size(), tree(work + "/one").size() + 1) << "no staging folder left behind";
}

TEST_F(Archives, MissingArchiveFailsAtOnceWithoutAProcess) {
    QFToolPaths::setCurrent({"/usr/bin/zip", "/nonexistent/unzip", "", ""});  // would fail if started
    bool called = false, value = true;
    QFFileHelper::sharedInstance().unzip(work + "/missing.ipa", work + "/dest", [&](bool ok) {
        called = true;
        value = ok;
    });
    EXPECT_TRUE(called) << "reported before the call returns";
    EXPECT_FALSE(value);
    EXPECT_FALSE(fs::exists(work + "/dest"));
}

TEST_F(Archives, NotAZipArchiveFails) {
    testkit::writeFile(work + "/fake.ipa", "this is not a zip archive at all");
    EXPECT_FALSE(unzipNow(work + "/fake.ipa", work + "/dest"));
}

TEST_F(Archives, ToolsThatCannotStartReportFalse) {
    testkit::writeFile(work + "/src/a", "a");
    ASSERT_TRUE(zipNow(work + "/src", work + "/a.ipa"));
    testkit::writeFile(work + "/not-executable", "#!/bin/sh\nexit 0\n");
    QFToolPaths::setCurrent({work + "/not-executable", work + "/missing-unzip", "", ""});
    EXPECT_FALSE(unzipNow(work + "/a.ipa", work + "/dest"));
    EXPECT_FALSE(zipNow(work + "/src", work + "/b.ipa"));
    EXPECT_FALSE(fs::exists(work + "/b.ipa"));
}

TEST_F(Archives, EntriesWithAbsolutePathsOrDotDotStayInside) {
    // The unpacking tool strips "/" and ".." itself; nothing lands outside.
    ZipWriter z;
    z.addFile("../escape1", "x");
    z.addFile("../../escape2", "x");
    z.addFile(outside + "/escape3", "x");
    z.addFile("a/../../escape4", "x");
    z.write(work + "/slip.ipa");
    EXPECT_FALSE(unzipNow(work + "/slip.ipa", work + "/dest/deeper")) << "refused, not rewritten";
    EXPECT_TRUE(nothingOutside());
    for (auto it = fs::recursive_directory_iterator(work); it != fs::recursive_directory_iterator(); ++it) {
        if (it->path().filename().string().rfind("escape", 0) == 0) {
            EXPECT_EQ(it->path().string().rfind(work + "/dest/deeper/", 0), 0u) << it->path();
        }
    }
}

TEST_F(Archives, EntriesThroughALinkTheArchiveCreatedStayInside) {
    ZipWriter z;
    z.addSymlink("Payload/link", outside);
    z.addFile("Payload/link/escape", "x");
    z.addSymlink("Payload/up", "../../..");
    z.addFile("Payload/up/escape2", "x");
    z.write(work + "/links.ipa");
    EXPECT_FALSE(unzipNow(work + "/links.ipa", work + "/dest"));
    EXPECT_TRUE(nothingOutside());
}

TEST_F(Archives, LinksPointingOutsideTheTreeAreRefused) {
    // Even alone, such a link would let later steps (editing Info.plist,
    // signing, copying the profile) write outside the work folder.
    ZipWriter z;
    z.addFile("Payload/Demo.app/Demo", "x");
    z.addSymlink("Payload/Evil.app", outside);
    z.write(work + "/abs-link.ipa");
    EXPECT_FALSE(unzipNow(work + "/abs-link.ipa", work + "/dest1"));

    ZipWriter up;
    up.addSymlink("Payload/Demo.app/Frameworks", "../../../outside");
    up.write(work + "/rel-link.ipa");
    EXPECT_FALSE(unzipNow(work + "/rel-link.ipa", work + "/dest2"));

    ZipWriter fine;  // links that stay inside are ordinary content
    fine.addFile("Payload/Demo.app/Demo", "x");
    fine.addSymlink("Payload/Demo.app/Current", "Demo");
    fine.addSymlink("Payload/Demo.app/Sub/Back", "../Demo");
    fine.write(work + "/ok-link.ipa");
    EXPECT_TRUE(unzipNow(work + "/ok-link.ipa", work + "/dest3"));
    EXPECT_TRUE(nothingOutside());
}

TEST_F(Archives, DuplicateEntriesNeverWaitForAnAnswer) {
    // The tool would ask whether to replace; with no one to answer it must
    // end by itself rather than hang.
    ZipWriter z;
    z.addFile("a.txt", "1");
    z.addFile("a.txt", "2");
    z.write(work + "/dup.ipa");
    unzipNow(work + "/dup.ipa", work + "/dest");
    EXPECT_EQ(testkit::readFile(work + "/dest/a.txt"), "1");
}

TEST_F(Archives, HostileArchivesAreRefusedBeforeTheToolWritesAnything) {
    using R = QFArchiveRefusal;
    const uint32_t file = 0100644, link = 0120777;
    const std::string zeros(1 << 20, '\0');
    std::string noise(9 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : noise) c = static_cast<char>(random());
    struct Case {
        const char* what;
        std::function<void(ZipWriter&)> build;
        R refusal;
    };
    const std::vector<Case> cases = {
        {"a .. component", [](ZipWriter& z) { z.addFile("Payload/../../escape", "x"); }, R::HostileName},
        {"an absolute name", [&](ZipWriter& z) { z.addFile(outside + "/escape", "x"); }, R::HostileName},
        {"a .. component after a backslash", [](ZipWriter& z) { z.addFile("Payload\\..\\..\\escape", "x"); },
         R::HostileName},
        {"an absolute link", [&](ZipWriter& z) { z.addSymlink("Payload/Evil.app", outside); }, R::LinkOutside},
        {"a link to /", [](ZipWriter& z) { z.addSymlink("Payload/Demo.app/Frameworks", "/"); }, R::LinkOutside},
        {"a deflated link that climbs out",
         [](ZipWriter& z) { z.add("Payload/Demo.app/Info.plist", "../../../outside/x", link, {true, {}}); },
         R::LinkOutside},
        {"2 GiB declared by a few bytes",
         [](ZipWriter& z) { z.add("Payload/Demo.app/Demo", "x", file, {false, uint64_t{2} << 30}); },
         R::InflatesTooFar},
        {"more than any disk holds (ZIP64 size)",
         [](ZipWriter& z) { z.add("Payload/Demo.app/Demo", "x", file, {false, uint64_t{1} << 60}); },
         R::TooLargeForDisk},
        {"data that inflates past its declared size",
         [&](ZipWriter& z) { z.add("Payload/Demo.app/Demo", zeros, file, {true, 10}); }, R::SizeMismatch},
        // Enough to inflate that the check shares it between two threads.
        {"a lying size behind much to inflate",
         [&](ZipWriter& z) {
             z.add("Payload/Demo.app/Big", noise, file, {true, {}});
             z.add("Payload/Demo.app/Demo", zeros, file, {true, 10});
         },
         R::SizeMismatch},
        {"the first refusal in archive order, however the work is shared",
         [&](ZipWriter& z) {
             z.addSymlink("Payload/Evil.app", outside);
             z.add("Payload/Demo.app/Big", noise, file, {true, {}});
             z.add("Payload/Demo.app/Demo", zeros, file, {true, 10});
         },
         R::LinkOutside},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZipWriter z;
        z.addFile("Payload/Demo.app/Resources/a.txt", "a");
        c.build(z);
        const std::string ipa = work + "/hostile-" + std::to_string(++n) + ".ipa";
        const std::string dest = work + "/dest-" + std::to_string(n);
        z.write(ipa);
        EXPECT_EQ(QFCheckArchiveBeforeUnpacking(ipa, work), c.refusal);
        EXPECT_FALSE(unzipNow(ipa, dest));
        EXPECT_FALSE(fs::exists(dest)) << "the tool never ran";
        EXPECT_TRUE(nothingOutside());
    }
}

TEST_F(Archives, LinksThatLeaveThroughOtherLinksAreRefusedAfterUnpacking) {
    // Read one by one, each link stays inside; resolved on the unpacked tree,
    // each leads out through "Payload/d", which is "Payload" itself.
    std::string deep, up;
    for (int i = 0; i < 20; ++i) deep += "d/", up += "../";
    struct Case {
        const char* what;
        std::string name, target;
    };
    const std::vector<Case> cases = {
        {"the application through a chain", "Payload/AAA.app", "d/d/../../outside"},
        {"an Info.plist, dangling, outside", "Payload/Demo.app/Info.plist", "../d/d/../../outside/Info.plist"},
        {"a link to / through a chain", "Payload/Demo.app/Frameworks", "../" + deep + up + ".."},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZipWriter z;
        z.addFile("Payload/Demo.app/Demo", "x");
        z.addSymlink("Payload/d", ".");
        z.addSymlink(c.name, c.target);
        const std::string ipa = work + "/chain-" + std::to_string(++n) + ".ipa";
        z.write(ipa);
        EXPECT_EQ(QFCheckArchiveBeforeUnpacking(ipa, work), std::nullopt) << "only the real tree tells";
        EXPECT_FALSE(unzipNow(ipa, work + "/dest-" + std::to_string(n)));
        EXPECT_TRUE(nothingOutside());
    }
    // On a tree made by hand: a plain link to "/", and links that stay inside.
    const std::string root = work + "/hand";
    fs::create_directories(root + "/in");
    fs::create_symlink(".", root + "/in/self");
    fs::create_symlink("in/self/self/not-yet", root + "/dangling-inside");
    EXPECT_TRUE(QFTreeStaysInside(root));
    fs::create_symlink("/", root + "/in/root");
    EXPECT_FALSE(QFTreeStaysInside(root));
}

TEST_F(Archives, SizeLimitsFollowTheFreeSpaceAndTheRatio) {
    // 4 MiB of zeros packs into a few KB: over the lowered size at far more
    // than 100 times the archive, and over a disk of 4 MiB less the margin.
    ZipWriter z;
    z.add("Payload/Demo.app/Demo", std::string(4 << 20, '\0'), 0100644, {true, {}});
    z.write(work + "/zeros.ipa");
    QFArchiveLimits lowered, smallDisk;
    lowered.bombSize = 1 << 20;
    smallDisk.freeSpace = 4 << 20;
    EXPECT_EQ(QFCheckArchiveBeforeUnpacking(work + "/zeros.ipa", work, lowered), QFArchiveRefusal::InflatesTooFar);
    EXPECT_EQ(QFCheckArchiveBeforeUnpacking(work + "/zeros.ipa", work, smallDisk), QFArchiveRefusal::TooLargeForDisk);
    EXPECT_EQ(QFCheckArchiveBeforeUnpacking(work + "/zeros.ipa", work), std::nullopt);
    EXPECT_TRUE(unzipNow(work + "/zeros.ipa", work + "/dest"));
}

TEST_F(Archives, Zip64PackagesUnpack) {
    // The packer's ZIP64 form, forced on a small tree, reads like a package
    // of 4 GB and more: 64-bit sizes, offsets and end records.
    const std::string src = work + "/src";
    testkit::writeFile(src + "/Payload/Demo.app/Info.plist", "plist");
    testkit::writeFile(src + "/Payload/Demo.app/Demo", std::string(200000, 'x'), true);
    fs::create_symlink("Demo", src + "/Payload/Demo.app/Alias");
    ASSERT_EQ(testkit::run({"/usr/bin/zip", "-qry", "-fz", work + "/z64.ipa", "."}, nullptr, src), 0);
    ASSERT_NE(testkit::readFile(work + "/z64.ipa").find("PK\x06\x06"), std::string::npos) << "a ZIP64 end record";
    EXPECT_EQ(QFCheckArchiveBeforeUnpacking(work + "/z64.ipa", work), std::nullopt);
    ASSERT_TRUE(unzipNow(work + "/z64.ipa", work + "/dest"));
    EXPECT_EQ(tree(work + "/dest"), tree(src));
}
// A re-sign rewrites a few files of a package; packing copies the rest from
// the opened package. Whatever the run did, the result must unpack to what
// packing the directory from scratch gives.
TEST_F(Archives, PackingChangesGivesWhatPackingFromScratchGives) {
    testkit::PackageSpec shape;
    shape.resourceBytes = 200000;  // compressible, and stored as is below
    std::string app = testkit::buildPackageTree(work + "/tree", shape);
    fs::create_symlink("Demo", app + "/Alias");
    ASSERT_EQ(testkit::run({"/usr/bin/zip", "-qry0", work + "/in.ipa", "."}, nullptr, work + "/tree"), 0);
    const std::string w = work + "/w";
    ASSERT_TRUE(unzipNow(work + "/in.ipa", w));
    auto unpacked = QFUnpackedTree::capture(work + "/in.ipa", w);
    ASSERT_TRUE(unpacked);

    // Same size and the very time it had: only the bytes differ.
    const std::string info = w + "/Payload/Demo.app/Info.plist";
    std::string bytes = testkit::readFile(info);
    bytes[bytes.size() / 2] ^= 1;
    testkit::writeFile(info, bytes);
    const timespec old[2] = {unpacked->files.at("Payload/Demo.app/Info.plist").modified,
                             unpacked->files.at("Payload/Demo.app/Info.plist").modified};
    ASSERT_EQ(::utimensat(AT_FDCWD, info.c_str(), old, 0), 0);
    fs::remove(w + "/iTunesMetadata.plist");             // stale beside Payload
    fs::remove_all(w + "/Payload/Demo.app/_CodeSignature");  // stale inside
    testkit::writeFile(w + "/Entitlements.plist", "new");
    fs::permissions(w + "/Payload/Demo.app/Resources/res-0.txt", fs::perms::owner_exec, fs::perm_options::add);

    fs::create_directories(work + "/out");
    ASSERT_TRUE(zipChangesNow(w, unpacked, work + "/out/changes.ipa"));
    ASSERT_TRUE(zipNow(w, work + "/out/scratch.ipa"));
    EXPECT_EQ(tree(work + "/out"), (std::vector<std::string>{"changes.ipa", "scratch.ipa"})) << "no staging left";
    ASSERT_TRUE(unzipNow(work + "/out/changes.ipa", work + "/changes"));
    ASSERT_TRUE(unzipNow(work + "/out/scratch.ipa", work + "/scratch"));
    EXPECT_EQ(differences(work + "/changes", work + "/scratch"), std::vector<std::string>{});
    EXPECT_EQ(differences(work + "/changes", w), std::vector<std::string>{});
    // The untouched resources came over as the opened package held them
    // (stored); packing them again would have compressed them.
    EXPECT_GT(fs::file_size(work + "/out/changes.ipa"), fs::file_size(work + "/out/scratch.ipa") + 400000);
}

TEST_F(Archives, PackingChangesFallsBackWhenTheOldPackageCannotServe) {
    struct Case {
        const char* name;
        std::function<void(const std::string& ipa)> beforeCapture, afterCapture;
    };
    auto damageDirectory = [](const std::string& ipa) {
        std::string bytes = testkit::readFile(ipa);
        bytes.replace(bytes.size() - 22, 22, std::string(22, 'x'));  // the end record
        testkit::writeFile(ipa, bytes);
    };
    auto notAZip = [](const std::string& ipa) { testkit::writeFile(ipa, "not an archive"); };
    auto none = [](const std::string&) {};
    const Case cases[] = {
        {"damaged central directory", damageDirectory, none},
        {"not a zip archive", notAZip, none},
        {"package replaced after unpacking", none, [](const std::string& ipa) {
             testkit::PackageSpec other;
             other.appName = "Other";
             testkit::buildPackage(ipa, other);
         }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = work + "/" + std::to_string(n++);
        const std::string ipa = testkit::buildPackage(dir + "/in.ipa");
        ASSERT_TRUE(unzipNow(ipa, dir + "/w"));
        c.beforeCapture(ipa);
        auto unpacked = QFUnpackedTree::capture(ipa, dir + "/w");
        c.afterCapture(ipa);
        testkit::writeFile(dir + "/w/Entitlements.plist", "new");
        ASSERT_TRUE(zipChangesNow(dir + "/w", unpacked, dir + "/out.ipa"));
        ASSERT_TRUE(unzipNow(dir + "/out.ipa", dir + "/again"));
        EXPECT_EQ(differences(dir + "/again", dir + "/w"), std::vector<std::string>{});
    }
}

// Packing on both cores: the changed paths go to two tools and the archive
// is assembled from theirs and the opened package's entries. Whatever a run
// changed, the result must unpack to what one tool packing the folder gives.
TEST_F(Archives, PackingChangesOnTwoToolsGivesWhatOneToolGives) {
    struct Case {
        const char* name;
        std::function<void(const std::string& app)> change;
        size_t tools;  // how many packing tools the plan runs
    };
    auto rewrite = [](const std::string& file) {
        std::string bytes = testkit::readFile(file);
        bytes[bytes.size() / 2] ^= 1;
        struct stat st;
        ::stat(file.c_str(), &st);
        testkit::writeFile(file, bytes);
        const timespec old[2] = {st.st_mtim, st.st_mtim};  // same size, same time: only the bytes differ
        ::utimensat(AT_FDCWD, file.c_str(), old, 0);
    };
    const Case cases[] = {
        {"nothing changed", [](const std::string&) {}, 1},
        {"large files rewritten", [&](const std::string& app) {
             for (int i = 0; i < 4; ++i) rewrite(app + "/Resources/res-" + std::to_string(i) + ".txt");
         }, 2},
        {"a small file rewritten in place", [&](const std::string& app) { rewrite(app + "/Info.plist"); }, 1},
        {"modes changed, a file removed and one added, a link moved", [](const std::string& app) {
             ::chmod((app + "/Resources/res-1.txt").c_str(), 0700);
             ::chmod((app + "/Resources").c_str(), 0750);
             fs::remove(app + "/Resources/res-2.txt");
             testkit::writeFile(app + "/New.txt", "new");
             fs::remove(app + "/Alias");
             fs::create_symlink("Info.plist", app + "/Alias");
         }, 2},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = work + "/" + std::to_string(n++);
        testkit::PackageSpec shape;
        shape.resourceFiles = 6;
        shape.resourceBytes = 1 << 20;
        std::string app = testkit::buildPackageTree(dir + "/tree", shape);
        fs::create_symlink("Demo", app + "/Alias");
        ::chmod((app + "/Resources/res-5.txt").c_str(), 04755);  // a mode unpacking does not give back
        testkit::zipTree(dir + "/tree", dir + "/in.ipa");
        const std::string w = dir + "/w";
        ASSERT_TRUE(unzipNow(dir + "/in.ipa", w));
        auto unpacked = QFUnpackedTree::capture(dir + "/in.ipa", w);
        ASSERT_TRUE(unpacked);
        c.change(w + "/Payload/Demo.app");
        auto plan = QFPlanRepacking(w, *unpacked);
        ASSERT_TRUE(plan) << "the package must take the road of the assembled archive";
        EXPECT_EQ(size_t(!plan->parts[0].empty()) + size_t(!plan->parts[1].empty()), c.tools);

        fs::create_directories(dir + "/out");
        ASSERT_TRUE(zipChangesNow(w, unpacked, dir + "/out/changes.ipa"));
        ASSERT_TRUE(zipNow(w, dir + "/out/scratch.ipa"));
        EXPECT_EQ(tree(dir + "/out"), (std::vector<std::string>{"changes.ipa", "scratch.ipa"})) << "no staging left";
        EXPECT_EQ(storedModes(dir + "/out/changes.ipa"), storedModes(dir + "/out/scratch.ipa"));
        ASSERT_TRUE(unzipNow(dir + "/out/changes.ipa", dir + "/changes"));
        ASSERT_TRUE(unzipNow(dir + "/out/scratch.ipa", dir + "/scratch"));
        EXPECT_EQ(differences(dir + "/changes", dir + "/scratch"), std::vector<std::string>{});
        EXPECT_EQ(differences(dir + "/changes", w), std::vector<std::string>{});
    }
}

// An opened package whose names unpacking may have written elsewhere, or a
// changed path the packing tool would not take as itself, leaves packing to
// the tool alone.
TEST_F(Archives, PackingOnTwoToolsOnlyFromPackagesItCanCopy) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> entries;  // name, bytes
        const char* changed;                                      // written after unpacking
    };
    const Case cases[] = {
        {"plain names", {{"Payload/a.txt", "a"}, {"Payload/b.txt", "b"}}, "Payload/c.txt"},
        {"a name twice", {{"Payload/a.txt", "a"}, {"Payload/a.txt", "b"}}, nullptr},
        {"a name with an empty component", {{"Payload//a.txt", "a"}}, nullptr},
        {"a changed path with a wildcard", {{"Payload/a.txt", "a"}}, "Payload/*.txt"},
    };
    const bool served[] = {true, false, false, false};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = work + "/" + std::to_string(n);
        fs::create_directories(dir + "/w");
        ZipWriter zip;
        for (const auto& [name, bytes] : c.entries) zip.addFile(name, bytes);
        zip.write(dir + "/in.ipa");
        ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-qo", dir + "/in.ipa", "-d", dir + "/w"}), 0);
        auto unpacked = QFUnpackedTree::capture(dir + "/in.ipa", dir + "/w");
        ASSERT_TRUE(unpacked);
        if (c.changed) testkit::writeFile(dir + "/w/" + c.changed, "new");
        EXPECT_EQ(QFPlanRepacking(dir + "/w", *unpacked).has_value(), served[n++]);
    }
}

// A re-signed binary keeps all but its head and its signature: packing
// stores it with the tool and compresses it reusing its old entry. The
// package unpacks as the one the tool packs from scratch, with every entry
// as it lists them, and the binary's entry no larger.
TEST_F(Archives, ReSignedBinariesAreCompressedReusingTheirOldEntries) {
    testkit::PackageSpec shape;
    shape.executablePadding = 1 << 20;
    const std::string app = testkit::buildPackageTree(work + "/tree", shape);
    std::mt19937_64 random(7);
    std::string binary = testkit::readFile(app + "/Demo");
    for (size_t i = 16384; i < binary.size(); ++i)  // as compressible as code
        binary[i] = i % 64 < 32 ? char(random()) : binary[i - 1];
    testkit::writeFile(app + "/Demo", binary, true);
    testkit::zipTree(work + "/tree", work + "/in.ipa");
    const std::string w = work + "/w";
    ASSERT_TRUE(unzipNow(work + "/in.ipa", w));
    auto unpacked = QFUnpackedTree::capture(work + "/in.ipa", w);
    ASSERT_TRUE(unpacked);
    binary[20] ^= 1;
    binary.replace(binary.size() - 8000, 8000, std::string(9000, 's'));
    testkit::writeFile(w + "/Payload/Demo.app/Demo", binary, true);
    const timespec odd[2] = {{1700000001, 0}, {1700000003, 0}};  // an odd second: the tool rounds it
    ASSERT_EQ(::utimensat(AT_FDCWD, (w + "/Payload/Demo.app/Demo").c_str(), odd, 0), 0);
    auto plan = QFPlanRepacking(w, *unpacked);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->parts[QFRepackPlan::kReusePart], std::vector<std::string>{"Payload/Demo.app/Demo"});

    fs::create_directories(work + "/out");
    ASSERT_TRUE(zipChangesNow(w, unpacked, work + "/out/changes.ipa"));
    ASSERT_TRUE(zipNow(w, work + "/out/scratch.ipa"));
    EXPECT_EQ(tree(work + "/out"), (std::vector<std::string>{"changes.ipa", "scratch.ipa"})) << "no staging left";
    EXPECT_EQ(storedModes(work + "/out/changes.ipa"), storedModes(work + "/out/scratch.ipa"));
    ASSERT_TRUE(unzipNow(work + "/out/changes.ipa", work + "/changes"));
    EXPECT_EQ(differences(work + "/changes", w), std::vector<std::string>{});
    // The tool itself finds every entry whole.
    EXPECT_EQ(testkit::run({"/usr/bin/unzip", "-tq", work + "/out/changes.ipa"}), 0);
    // The binary's entry: its central header and its local header, each
    // without the compressed size and the offset.
    struct Headers {
        qfzip::Entry entry;
        std::string central, local;
    };
    auto headersOf = [](const std::string& archive) {
        qfzip::ArchiveFile file(archive);
        auto directory = qfzip::findDirectory(file);
        std::string bytes;
        auto entries = qfzip::readEntries(file, *directory, &bytes);
        for (const auto& e : *entries)
            if (e.name == "Payload/Demo.app/Demo") {
                Headers h{e, bytes.substr(e.centralAt, e.centralSize), ""};
                h.local = *file.read(e.localOffset, *qfzip::dataOffset(file, *directory, e) - e.localOffset);
                h.central.replace(42, 4, 4, '\0').replace(20, 4, 4, '\0');
                h.local.replace(18, 4, 4, '\0');
                return h;
            }
        return Headers{};
    };
    const Headers reused = headersOf(work + "/out/changes.ipa"), scratch = headersOf(work + "/out/scratch.ipa");
    EXPECT_EQ(reused.entry.method, qfzip::kMethodDeflated);
    EXPECT_LE(reused.entry.compressedSize, scratch.entry.compressedSize * 102 / 100);
    // Times, owner, mode and the rest as the tool writes them for the file.
    EXPECT_EQ(reused.central, scratch.central);
    EXPECT_EQ(reused.local, scratch.local);
    EXPECT_NE(testkit::readFile(work + "/out/changes.ipa"), testkit::readFile(work + "/out/scratch.ipa"))
        << "assembled, not packed again from scratch";

    // Compressed ahead: packing takes the stream made then while the file
    // is unchanged, and the file as it is now once it changed (here to the
    // same size and times).
    auto ahead = QFCompressAhead(w, unpacked, {"Payload/Demo.app/Demo"});
    for (const char* name : {"ahead", "changed"}) {
        SCOPED_TRACE(name);
        if (std::string(name) == "changed") {
            binary[30000] ^= 1;
            testkit::writeFile(w + "/Payload/Demo.app/Demo", binary, true);
            ASSERT_EQ(::utimensat(AT_FDCWD, (w + "/Payload/Demo.app/Demo").c_str(), odd, 0), 0);
        }
        Outcome o;
        QFFileHelper::sharedInstance().zipChanges(w, unpacked, work + "/out/" + name + ".ipa", [&](bool ok) {
            o.called = true;
            o.value = ok;
        }, ahead);
        ASSERT_TRUE(testkit::pumpUntil([&] { return o.called; }));
        ASSERT_TRUE(o.value);
        ASSERT_TRUE(unzipNow(work + "/out/" + name + ".ipa", work + "/" + name));
        EXPECT_EQ(differences(work + "/" + name, w), std::vector<std::string>{});
    }
}

// A package large enough to be unpacked by two tools at once must come out
// as one tool unpacks it: names, modes (folders' included), links and bytes.
TEST_F(Archives, UnpackingInTwoPartsGivesTheTreeOneToolGives) {
    testkit::PackageSpec shape;
    shape.versionedFramework = true;
    shape.resourceFiles = 24;
    shape.resourceBytes = 256 << 10;
    const std::string src = work + "/src";
    const std::string app = testkit::buildPackageTree(src, shape);
    testkit::writeFile(app + "/Locked/inside.txt", "x");
    fs::create_directories(app + "/Empty");
    fs::create_directories(app + "/Private");
    ::chmod((app + "/Private").c_str(), 0700);
    ::chmod((app + "/Locked").c_str(), 0555);
    ::chmod((app + "/Empty").c_str(), 0750);
    testkit::zipTree(src, work + "/big.ipa");
    ::chmod((app + "/Locked").c_str(), 0755);

    std::vector<QFArchiveEntry> entries;
    ASSERT_EQ(QFCheckArchiveBeforeUnpacking(work + "/big.ipa", work, {}, &entries), std::nullopt);
    ASSERT_TRUE(QFSplitForUnpacking(entries)) << "the package must take the two-tool road";
    ASSERT_TRUE(unzipNow(work + "/big.ipa", work + "/two"));
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", work + "/big.ipa", "-d", work + "/one"}), 0);
    EXPECT_EQ(differences(work + "/one", work + "/two"), std::vector<std::string>{});
    for (const char* tree : {"/one", "/two"}) ::chmod((work + tree + "/Payload/Demo.app/Locked").c_str(), 0755);
}

// The tool compares every entry with every name it is given: thousands of
// small files go to it as a few folders, and every file is still given to
// exactly one of the two tools.
TEST(UnpackSplit, ManySmallFilesGoToTheToolsAsFewFoldersEachFileOnce) {
    const uint32_t file = 0100644, folder = 040755;
    std::vector<QFArchiveEntry> entries{{"Payload/", 0, folder}, {"Payload/A.app/A", 6 << 20, file},
                                        {"Payload/A.app/Info.plist", 900, file}};
    for (int i = 0; i < 4000; ++i)
        entries.push_back({"Payload/A.app/Res/" + std::to_string(i / 100) + "/f" + std::to_string(i), 2000, file});
    entries.push_back({"Payload/A.app/Res/7/Empty/", 0, folder});
    auto split = QFSplitForUnpacking(entries);
    ASSERT_TRUE(split);
    EXPECT_LT(split->parts[0].size() + split->parts[1].size(), 60u);
    for (const QFArchiveEntry& e : entries) {
        if (e.name.back() == '/') continue;
        int given = 0;
        for (const auto& part : split->parts)
            for (const std::string& a : part)
                given += a == e.name || (a.size() > 2 && a.ends_with("/*") && e.name.starts_with(a.substr(0, a.size() - 1)));
        EXPECT_EQ(given, 1) << e.name;
    }
}

// Where two tools could meet on one path, or would not take a name as
// itself, one tool unpacks the archive.
TEST(UnpackSplit, OnlyArchivesTheToolsCannotRaceOnAreSplit) {
    const uint32_t file = 0100644, link = 0120777, folder = 040755;
    const uint64_t big = 8 << 20;
    auto with = [&](std::vector<QFArchiveEntry> odd) {
        std::vector<QFArchiveEntry> entries{{"Payload/", 0, folder}, {"Payload/A.app/a", big, file},
                                            {"Payload/A.app/b", big, file}};
        entries.insert(entries.end(), odd.begin(), odd.end());
        return entries;
    };
    auto split = QFSplitForUnpacking(with({{"Payload/A.app/Link", 0, link}, {"Payload/A.app/E/F/", 0, folder}}));
    ASSERT_TRUE(split);
    EXPECT_EQ(split->parts[0], (std::vector<std::string>{"Payload/A.app/a", "Payload/A.app/Link"}));
    EXPECT_EQ(split->parts[1], std::vector<std::string>{"Payload/A.app/b"});
    EXPECT_EQ(split->folderEntries.size(), 2u);
    EXPECT_EQ(split->folders,
              (std::vector<std::string>{"Payload", "Payload/A.app", "Payload/A.app/E", "Payload/A.app/E/F"}));

    const std::vector<std::pair<const char*, std::vector<QFArchiveEntry>>> refused{
        {"too small", {{"a", 10, file}, {"b", 10, file}}},
        {"a wildcard", with({{"Payload/A.app/x[1].png", 1, file}})},
        {"a star", with({{"Payload/A.app/*", 1, file}})},
        {"an option", with({{"-x", 1, file}})},
        {"a backslash", with({{"Payload\\x", 1, file}})},
        {"not ASCII", with({{"Payload/A.app/\xc3\xa9.png", 1, file}})},
        {"named again in an extra field", with({{"Payload/A.app/c", 1, file, false}})},
        {"a name twice", with({{"Payload/A.app/a", 1, file}})},
        {"below a link", with({{"Payload/A.app/Link", 0, link}, {"Payload/A.app/Link/x", 1, file}})},
        {"a file and a folder", with({{"Payload/A.app/D", 1, file}, {"Payload/A.app/D/", 0, folder}})},
    };
    for (const auto& [why, entries] : refused) EXPECT_FALSE(QFSplitForUnpacking(entries)) << why;
}
