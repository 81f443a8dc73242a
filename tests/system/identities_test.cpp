#include <gtest/gtest.h>

#include "support/QFToolPaths.h"
#include "system/QFFileHelper.h"
#include "testkit/testkit.h"

namespace {

// A stand-in for the identity lister that prints exactly the given bytes.
std::string printingTool(const std::string& output) {
    std::string dir = testkit::makeScratchDir("tool");
    testkit::writeFile(dir + "/out.txt", output);
    testkit::writeFile(dir + "/security", "#!/bin/sh\ncat '" + dir + "/out.txt'\n", true);
    return dir + "/security";
}

struct Result {
    int successes = 0, errors = 0;
    std::vector<std::string> names;
    std::string message;
};

Result listWith(const std::string& tool) {
    QFToolPaths paths = QFToolPaths::defaults();
    paths.security = tool;
    QFToolPaths::setCurrent(paths);
    auto r = std::make_shared<Result>();
    QFFileHelper::sharedInstance().getCertificatesSuccess(
        [r](std::vector<std::string> names) {
            ++r->successes;
            r->names = std::move(names);
        },
        [r](std::string message) {
            ++r->errors;
            r->message = std::move(message);
        });
    testkit::pumpUntil([&] { return r->successes + r->errors > 0; }, std::chrono::seconds(3));
    return *r;
}

}  // namespace

TEST(Identities, NamesBetweenQuotesInOutputOrderWithEveryCharacterKept) {
    auto r = listWith(printingTool(
        "  1) 22D237BF88691C37EAC3A9712E7BB8267125A514 \"Apple Development: Jane Doe (ABCDE12345)\"\n"
        "  2) 0A1B2C3D4E5F60718293A4B5C6D7E8F901234567 \"iPhone Distribution: J\xC3\xBCrgen M\xC3\xBCller: (Team) X\"\n"
        "  3) 22D237BF88691C37EAC3A9712E7BB8267125A514 \"Apple Development: Jane Doe (ABCDE12345)\"\n"
        "     3 valid identities found\n"));
    EXPECT_EQ(r.successes, 1);
    EXPECT_EQ(r.errors, 0);
    EXPECT_EQ(r.names, (std::vector<std::string>{"Apple Development: Jane Doe (ABCDE12345)",
                                                 "iPhone Distribution: J\xC3\xBCrgen M\xC3\xBCller: (Team) X",
                                                 "Apple Development: Jane Doe (ABCDE12345)"}));
}

TEST(Identities, SummaryLineAloneMeansNoCertificates) {
    auto r = listWith(printingTool("     0 valid identities found\n"));
    EXPECT_EQ(r.successes, 0);
    EXPECT_EQ(r.errors, 1);
    EXPECT_EQ(r.message, "There aren't Signign Certificates");
}

TEST(Identities, EmptyOutputReportsNothing) {
    auto r = listWith(printingTool(""));
    EXPECT_EQ(r.successes + r.errors, 0);
}

TEST(Identities, InvalidUtf8IsParsedNotDropped) {
    auto r = listWith(printingTool("  1) ABCD \"Bad \xFF Byte\"\n     1 valid identities found\n"));
    ASSERT_EQ(r.names.size(), 1u);
    EXPECT_EQ(r.names[0], "Bad \xEF\xBF\xBD Byte");
}

TEST(Identities, AListerThatCannotStartEndsWithAnError) {
    auto r = listWith("/nonexistent/security");
    EXPECT_EQ(r.successes, 0);
    EXPECT_EQ(r.errors, 1);
}

TEST(Tools, MissingToolsAreNamedInTheirOrder) {
    std::string dir = testkit::makeScratchDir("tools");
    testkit::writeFile(dir + "/zip", "", true);
    QFToolPaths::setCurrent({dir + "/zip", dir + "/unzip", dir + "/security", dir + "/codesign"});
    EXPECT_EQ(QFFileHelper::sharedInstance().lackSupportUtility(),
              (std::vector<std::string>{dir + "/unzip", dir + "/codesign"}));
    testkit::writeFile(dir + "/unzip", "", true);
    testkit::writeFile(dir + "/codesign", "", true);
    EXPECT_TRUE(QFFileHelper::sharedInstance().lackSupportUtility().empty())
        << "the security command is not among the tools examined";
}
