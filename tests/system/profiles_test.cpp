#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "profile/QFProvisioningProfile.h"
#include "system/QFFileHelper.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace {

using testkit::pki::makeProfile;

// Each test gets a home of its own, so the profile folder starts absent.
class InstalledProfiles : public ::testing::Test {
protected:
    void SetUp() override {
        home = testkit::makeScratchDir("home");
        ::setenv("HOME", home.c_str(), 1);
        folder = home + "/Library/MobileDevice/Provisioning Profiles";
    }
    std::string home, folder;

    void install(const std::string& fileName, const std::string& profileName) {
        testkit::pki::ProfileOptions o;
        o.name = profileName;
        testkit::writeFile(folder + "/" + fileName, makeProfile(o));
    }
    static std::vector<std::string> names(const std::vector<std::shared_ptr<QFProvisioningProfile>>& list) {
        std::vector<std::string> out;
        for (const auto& p : list) out.push_back(p->name().value_or("<none>"));
        return out;
    }
};

TEST_F(InstalledProfiles, MissingFolderGivesNothing) {
    EXPECT_TRUE(QFFileHelper::sharedInstance().getProvisioningProfiles().empty());
}

TEST_F(InstalledProfiles, OnlyExactExtensionsDirectlyInsideTheFolderAreListed) {
    install("a.mobileprovision", "A");
    install("b.provisionprofile", "B");
    install("c.MOBILEPROVISION", "C");
    install("d.mobileprovision.txt", "D");
    install("e", "E");
    install(".mobileprovision", "F");
    install("nested/g.mobileprovision", "G");
    std::filesystem::create_directories(folder + "/h.mobileprovision");
    std::filesystem::create_symlink(folder + "/nowhere", folder + "/i.mobileprovision");

    testing::internal::CaptureStderr();
    auto list = QFFileHelper::sharedInstance().getProvisioningProfiles();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(names(list), (std::vector<std::string>{"<none>", "A", "B"}));
    // The folder is listed as a record with only its path.
    EXPECT_EQ(list[0]->path(), folder + "/h.mobileprovision");
    EXPECT_EQ(list[0]->valid(), "NO");
    EXPECT_EQ(list[1]->path(), home + "/Library/MobileDevice/Provisioning Profiles/a.mobileprovision");
}

TEST_F(InstalledProfiles, SortedByPlainByteOrderOfNames) {
    install("1.mobileprovision", "alpha");
    install("2.mobileprovision", "Zeta");
    install("3.mobileprovision", "Profile 9");
    install("4.mobileprovision", "Profile 10");
    install("5.mobileprovision", "\xC3\x89t\xC3\xA9");  // "Été"
    install("6.mobileprovision", "Beta");
    auto list = QFFileHelper::sharedInstance().getProvisioningProfiles();
    EXPECT_EQ(names(list), (std::vector<std::string>{"Beta", "Profile 10", "Profile 9", "Zeta", "alpha",
                                                     "\xC3\x89t\xC3\xA9"}));
}

TEST_F(InstalledProfiles, ExpiredBrokenAndDuplicateProfilesAreAllListed) {
    testkit::pki::ProfileOptions expired;
    expired.name = "Expired";
    expired.expirationDate = std::chrono::system_clock::now() - std::chrono::hours(48);
    testkit::writeFile(folder + "/old.mobileprovision", makeProfile(expired));
    install("one.mobileprovision", "Same");
    install("two.mobileprovision", "Same");
    testkit::writeFile(folder + "/broken.mobileprovision", "not a profile");
    testing::internal::CaptureStderr();
    auto list = QFFileHelper::sharedInstance().getProvisioningProfiles();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Could not decode file.\n");
    ASSERT_EQ(names(list), (std::vector<std::string>{"<none>", "Expired", "Same", "Same"}));
    EXPECT_EQ(list[1]->valid(), "NO");
    EXPECT_EQ(list[2]->UUID(), list[3]->UUID());
    EXPECT_EQ(list[2]->path(), folder + "/one.mobileprovision");
    EXPECT_EQ(list[3]->path(), folder + "/two.mobileprovision");
}

}  // namespace
