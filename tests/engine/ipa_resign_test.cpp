// The command-line front end, run as a program. With doubles, a copy of the
// program sits in a scratch folder beside the double tools, where it looks
// for its security and codesign commands.
#include <signal.h>

#include <filesystem>
#include <map>
#include <regex>
#include <thread>
#include <sstream>

#include "engine_fixture.h"
#include "platform/folders.h"
#include "platform/process.h"

using namespace enginetest;
namespace stdfs = std::filesystem;
namespace plist = platform::plist;

namespace {

std::vector<std::string> messages(const std::string& text) {
    static const std::regex stamped(R"(^\[\d\d/\d\d \d\d:\d\d:\d\d \d\d\d\] (.*)$)");
    std::vector<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        out.push_back(std::regex_match(line, m, stamped) ? m[1].str() : "UNSTAMPED: " + line);
    }
    return out;
}

class IpaResignTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        binDir = dir + "/bin";
        stdfs::create_directories(binDir);
        program = binDir + "/ipa-resign";
        stdfs::copy_file(testkit::binDir() + "/ipa-resign", program);
        stdfs::permissions(program, stdfs::perms::owner_all);
        writeSecurityDouble(binDir);
        writeCodesignDouble(binDir, codesignLog);
        ipa = testkit::buildPackage(dir + "/in/Demo.ipa");
    }
    std::vector<std::string> standardArgs() {
        return {"--ipa", ipa, "--identity", "Apple Development: Jane (ABCDE12345)", "--profile", profilePath,
                "--name", "Shiny", "--bundle-id", "com.example.chosen", "--output", dir + "/out"};
    }
    std::string binDir, program, ipa;
};

}  // namespace

TEST_F(IpaResignTest, HelpExplainsEveryOption) {
    auto o = runProgram(program, {"--help"}, dir);
    EXPECT_EQ(o.status, 0);
    for (const char* option : {"--ipa", "--identity", "--profile", "--name", "--bundle-id", "--profile-bundle-id",
                               "--output", "--keep-work", "--short-version", "--bundle-version", "--min-os",
                               "--remove-supported-devices", "--device-family", "--file-sharing", "--remove-extensions",
                               "--remove-watch-app", "--remove", "--icon", "--inject", "--inject-weak",
                               "--inject-into-extensions", "--remove-library"})
        EXPECT_NE(o.out.find(option), std::string::npos) << option;
}

// Time stamps out, so that whole outputs compare.
static std::string unstamped(std::string text) {
    text = std::regex_replace(text, std::regex(R"(\[\d\d/\d\d \d\d:\d\d:\d\d \d\d\d\])"), "[T]");
    return std::regex_replace(text, std::regex(R"("time":"[^"]*")"), R"("time":"T")");
}

// Whole outputs and exit codes, byte for byte, of command lines that end
// before any package is opened: the usage errors, the order of packages given
// as --ipa and as plain arguments, quiet failures naming their package, and
// text the JSON lines escape (quotes, control characters, invalid UTF-8).
TEST_F(IpaResignTest, CommandLinesKeepTheirExitCodesAndOutputs) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    const Case cases[] = {
        {{}, 2,
         "",
         "ipa-resign: error: missing or empty: --ipa, --identity, --profile, --output\nTry 'ipa-resign --help' for more information.\n"},
        {{"--frobnicate"}, 2,
         "",
         "ipa-resign: error: unknown argument \"--frobnicate\"\nTry 'ipa-resign --help' for more information.\n"},
        {{"-x", "--ipa", "a.ipa"}, 2,
         "",
         "ipa-resign: error: unknown argument \"-x\"\nTry 'ipa-resign --help' for more information.\n"},
        {{"--ipa"}, 2,
         "",
         "ipa-resign: error: --ipa needs a value\nTry 'ipa-resign --help' for more information.\n"},
        {{"--identity", "I", "--output"}, 2,
         "",
         "ipa-resign: error: --output needs a value\nTry 'ipa-resign --help' for more information.\n"},
        {{"--name", "a", "--name", "b"}, 2,
         "",
         "ipa-resign: error: --name is given twice\nTry 'ipa-resign --help' for more information.\n"},
        {{"--install", "U1", "x.ipa", "--install=U2"}, 2,
         "",
         "ipa-resign: error: --install is given twice\nTry 'ipa-resign --help' for more information.\n"},
        {{"--install=", "x.ipa"}, 2,
         "",
         "ipa-resign: error: --install= needs a value after \"=\"; leave out \"=\" to give none\nTry 'ipa-resign --help' for more information.\n"},
        {{"--json=1"}, 2,
         "",
         "ipa-resign: error: unknown argument \"--json=1\"\nTry 'ipa-resign --help' for more information.\n"},
        {{"--identity=", "--profile", "p", "--output", "o", "x.ipa"}, 2,
         "",
         "ipa-resign: error: missing or empty: --identity\nTry 'ipa-resign --help' for more information.\n"},
        {{"--identity=I", "--p12", "f", "--profile", "p", "--output", "o", "x.ipa"}, 2,
         "",
         "ipa-resign: error: give either --identity or --p12, not both\nTry 'ipa-resign --help' for more information.\n"},
        {{"--bundle-id", "b", "--profile-bundle-id", "--identity", "I", "--profile", "p", "--output", "o", "x.ipa"}, 2,
         "",
         "ipa-resign: error: give either --bundle-id or --profile-bundle-id, not both\nTry 'ipa-resign --help' for more information.\n"},
        {{"--p12-password-env", "V", "--identity", "I", "--profile", "p", "--output", "o", "x.ipa"}, 2,
         "",
         "ipa-resign: error: a PKCS#12 password option needs --p12 FILE\nTry 'ipa-resign --help' for more information.\n"},
        {{"--name", "N", "--identity", "I", "--profile", "p", "--output", "o", "x.ipa", "y.ipa"}, 2,
         "",
         "ipa-resign: error: --name gives every package the same name and archive; leave it out to re-sign several packages\nTry 'ipa-resign --help' for more information.\n"},
        {{"--p12", "", "--profile", "", "--output", "o", "--name=", "x.ipa"}, 2,
         "",
         "ipa-resign: error: missing or empty: --p12, --profile, --name\nTry 'ipa-resign --help' for more information.\n"},
        {{"--help", "--frobnicate"}, 2,
         "",
         "ipa-resign: error: unknown argument \"--frobnicate\"\nTry 'ipa-resign --help' for more information.\n"},
        {{"--identity", "X", "--profile", "p.mobileprovision", "--output", "o", "b.ipa", "--ipa", "a.ipa", "--", "--c.ipa", "-"}, 1,
         "ipa-resign: 0 of 4 packages re-signed\n  FAILED  b.ipa\n  FAILED  a.ipa\n  FAILED  --c.ipa\n  FAILED  -\n",
         "Could not decode file.\n[T] Not found ipa file b.ipa\n[T] Not found ipa file a.ipa\n[T] Not found ipa file --c.ipa\n[T] Not found ipa file -\n"},
        {{"--quiet", "--identity", "X", "--profile", "p.mobileprovision", "--output", "o", "b.ipa", "a.ipa"}, 1,
         "ipa-resign: 0 of 2 packages re-signed\n  FAILED  b.ipa\n  FAILED  a.ipa\n",
         "Could not decode file.\n[T] b.ipa: Not found ipa file b.ipa\n[T] a.ipa: Not found ipa file a.ipa\n"},
        {{"--json", "--identity", "X", "--profile", "p.mobileprovision", "--output", "o", "no/a\tb\"c\\d\001\010\014\177\377\342\202.ipa", "--ipa", "second \303\251.ipa"}, 1,
         "{\"type\":\"log\",\"package\":\"no/a\\tb\\\"c\\\\d\\u0001\\u0008\\u000c\\u007f\357\277\275\357\277\275\357\277\275.ipa\",\"stage\":\"idle\",\"color\":\"red\",\"time\":\"T\",\"message\":\"Not found ipa file no/a\\tb\\\"c\\\\d\\u0001\\u0008\\u000c\\u007f\357\277\275\357\277\275\357\277\275.ipa\"}\n{\"type\":\"result\",\"package\":\"no/a\\tb\\\"c\\\\d\\u0001\\u0008\\u000c\\u007f\357\277\275\357\277\275\357\277\275.ipa\",\"status\":\"failed\",\"archive\":null,\"message\":\"Not found ipa file no/a\\tb\\\"c\\\\d\\u0001\\u0008\\u000c\\u007f\357\277\275\357\277\275\357\277\275.ipa\",\"signed\":[],\"timings\":{}}\n{\"type\":\"log\",\"package\":\"second \303\251.ipa\",\"stage\":\"idle\",\"color\":\"red\",\"time\":\"T\",\"message\":\"Not found ipa file second \303\251.ipa\"}\n{\"type\":\"result\",\"package\":\"second \303\251.ipa\",\"status\":\"failed\",\"archive\":null,\"message\":\"Not found ipa file second \303\251.ipa\",\"signed\":[],\"timings\":{}}\n{\"type\":\"summary\",\"status\":\"failed\",\"packages\":2,\"succeeded\":0,\"failed\":[\"no/a\\tb\\\"c\\\\d\\u0001\\u0008\\u000c\\u007f\357\277\275\357\277\275\357\277\275.ipa\",\"second \303\251.ipa\"]}\n",
         "Could not decode file.\n[T] Not found ipa file no/a\tb\"c\\d\001\010\014\177\377\342\202.ipa\n[T] Not found ipa file second \303\251.ipa\nipa-resign: 0 of 2 packages re-signed\n  FAILED  no/a\tb\"c\\d\001\010\014\177\377\342\202.ipa\n  FAILED  second \303\251.ipa\n"},
        {{"--json", "--p12", "missing.p12", "--profile", "p", "--output", "o", "x.ipa"}, 1,
         "{\"type\":\"error\",\"package\":\"\",\"message\":\"cannot read the PKCS#12 file missing.p12\"}\n",
         "ipa-resign: error: cannot read the PKCS#12 file missing.p12\n"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) line += " " + a;
        SCOPED_TRACE("ipa-resign" + line);
        auto o = runProgram(program, c.args, dir);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(unstamped(o.out), c.out);
        EXPECT_EQ(unstamped(o.err), c.err);
    }
    EXPECT_TRUE(recordedCalls(codesignLog).empty());

    // A whole run's closing lines: the signed items, the stages timed, the summary.
    auto args = standardArgs();
    args.push_back("--json");
    auto o = runProgram(program, args, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    std::string closing = o.out.substr(o.out.rfind("{\"type\":\"result\""));
    closing = std::regex_replace(closing, std::regex(R"(:[0-9]+\.[0-9]+([,}]))"), ":N$1");  // seconds
    for (size_t at; (at = closing.find(dir)) != std::string::npos;) closing.replace(at, dir.size(), "D");
    const std::string identity = R"j("identity":"Apple Development: Jane (ABCDE12345)")j";
    EXPECT_EQ(closing,
              R"j({"type":"result","package":"D/in/Demo.ipa","status":"succeeded","archive":"D/out/Shiny.ipa",)j"
              R"j("message":"Resign done, ipa saved to D/out","signed":[)j"
              R"j({"path":"Payload/Demo.app/Frameworks/A.framework/Frameworks/Inner.framework",)j" + identity +
                  R"j(,"profile":null},)j"
              R"j({"path":"Payload/Demo.app/Frameworks/A.framework",)j" + identity + R"j(,"profile":null},)j"
              R"j({"path":"Payload/Demo.app/Frameworks/libX.dylib",)j" + identity + R"j(,"profile":null},)j"
              R"j({"path":"Payload/Demo.app/PlugIns/Share.appex/Frameworks/S.framework",)j" + identity +
                  R"j(,"profile":null},)j"
              R"j({"path":"Payload/Demo.app/PlugIns/Share.appex",)j" + identity +
                  R"j(,"profile":"D/Chosen.mobileprovision"},)j"
              R"j({"path":"Payload/Demo.app",)j" + identity + R"j(,"profile":"D/Chosen.mobileprovision"}],)j"
              R"j("timings":{"unpacking":N,"entitlements":N,"info-plist":N,"embedded-profile":N,"signing":N,)j"
              R"j("packing":N}})j"
              "\n"
              R"j({"type":"summary","status":"succeeded","packages":1,"succeeded":1,"failed":[]})j"
              "\n");
}

TEST_F(IpaResignTest, AnArchiveAlreadyThereIsReplacedOnlyWithOverwrite) {
    const std::string archive = dir + "/out/Shiny.ipa";
    testkit::writeFile(archive, "an earlier archive");
    auto refused = runProgram(program, standardArgs(), dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("ipa-resign: error: " + ipa + ": " + archive +
                               " exists already; give --overwrite to replace it, or --name for another name\n"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(testkit::readFile(archive), "an earlier archive");
    EXPECT_TRUE(recordedCalls(codesignLog).empty());

    auto args = standardArgs();
    args.push_back("--overwrite");
    auto replaced = runProgram(program, args, dir);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(testkit::archiveEntry(archive, "Payload/Demo.app/embedded.mobileprovision"), testkit::readFile(profilePath));
}

TEST_F(IpaResignTest, ResignsEndToEndAndPrintsTheLog) {
    auto o = runProgram(program, standardArgs(), dir);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    auto lines = messages(o.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Start unzip the ipa file to path: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "Unzip ipa file succeeded");
    EXPECT_EQ(lines[2], "Generating entitlements..");
    EXPECT_EQ(lines[lines.size() - 2], "Zipping done. IPA file saved in the path: " + dir + "/out/Shiny.ipa");
    EXPECT_EQ(lines.back(), "Resign done, ipa saved to " + dir + "/out");

    const std::string archive = dir + "/out/Shiny.ipa";
    auto info = *plist::parse(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.chosen");
    EXPECT_EQ(*info.get("CFBundleDisplayName")->asString(), "Shiny");
    EXPECT_EQ(testkit::archiveEntry(archive, "Payload/Demo.app/embedded.mobileprovision"),
              testkit::readFile(profilePath));
    // The work directory goes away with the program.
    const std::string work = lines[0].substr(std::string("Start unzip the ipa file to path: ").size());
    EXPECT_FALSE(stdfs::exists(work));
}

TEST_F(IpaResignTest, FailuresGoToStandardErrorWithNonZeroStatus) {
    {
        SCOPED_TRACE("verification fails");
        CodesignScript script;
        script.failVerifying = "A.framework";
        writeCodesignDouble(binDir, codesignLog, script);
        auto o = runProgram(program, standardArgs(), dir);
        EXPECT_EQ(o.status, 1);
        // One stamped message, whose text spans the tools' output lines.
        auto errors = messages(o.err);
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors[0].rfind("Signing failed with error: ", 0), 0u) << o.err;
        EXPECT_NE(o.err.find("A.framework: invalid signature"), std::string::npos);
        EXPECT_FALSE(stdfs::exists(dir + "/out/Shiny.ipa"));
    }
    {
        SCOPED_TRACE("package missing");
        auto args = standardArgs();
        args[1] = dir + "/nothing.ipa";
        auto o = runProgram(program, args, dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(messages(o.err), std::vector<std::string>{"Not found ipa file " + dir + "/nothing.ipa"});
    }
    {
        SCOPED_TRACE("no application in the package");
        const std::string root = testkit::makeScratchDir("no-app");
        testkit::writeFile(root + "/Payload/readme.txt", "no application here");
        testkit::zipTree(root, dir + "/in/NoApp.ipa");
        auto args = standardArgs();
        args[1] = dir + "/in/NoApp.ipa";
        auto o = runProgram(program, args, dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(messages(o.err), std::vector<std::string>{
                                       "The package NoApp.ipa holds no application (no folder Payload/NAME.app): it is "
                                       "not an app package. Choose an .ipa exported from an application."});
    }
    {
        SCOPED_TRACE("profile missing");
        auto args = standardArgs();
        args[5] = dir + "/nothing.mobileprovision";
        auto o = runProgram(program, args, dir);
        EXPECT_EQ(o.status, 1);
        // The profile record's own decoding diagnostic may come first.
        auto errors = messages(o.err);
        ASSERT_FALSE(errors.empty());
        EXPECT_EQ(errors.back(), "Unable to replace the entitlements.mobileprovision. Please try again.");
    }
    {
        SCOPED_TRACE("codesign missing");
        stdfs::remove(binDir + "/codesign");
        auto o = runProgram(program, standardArgs(), dir);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(messages(o.err), std::vector<std::string>{"This command requires the support of " + binDir + "/codesign"});
    }
}

TEST_F(IpaResignTest, RelativePathsAreTakenFromTheCurrentFolder) {
    stdfs::copy_file(ipa, dir + "/rel.ipa");
    stdfs::copy_file(profilePath, dir + "/rel.mobileprovision");
    const std::string errPath = dir + "/stderr.txt";
    std::string out;
    int status = testkit::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>" + shellQuote(errPath), program, "--ipa",
                               "rel.ipa", "--identity", "X", "--profile", "rel.mobileprovision", "--name", "R",
                               "--bundle-id", "com.r", "--output", "out-rel"},
                              &out, dir);
    EXPECT_EQ(status, 0) << testkit::readFile(errPath);
    EXPECT_TRUE(stdfs::is_regular_file(dir + "/out-rel/R.ipa"));
}

TEST_F(IpaResignTest, AnInterruptedRunLeavesNoWorkFolderAndNoArchive) {
    CodesignScript script;
    script.signSeconds = 30;
    writeCodesignDouble(binDir, codesignLog, script);
    platform::Task run(program, standardArgs());
    run.setCapturesOutput(true);
    ASSERT_TRUE(run.launch());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stdfs::exists(codesignLog) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(stdfs::exists(codesignLog)) << "signing never started";
    ::kill(run.processIdentifier(), SIGTERM);
    std::string out = platform::readToEnd(run.takeOutputDescriptor());
    run.waitUntilExit();
    EXPECT_EQ(run.terminationStatus(), 128 + SIGTERM) << out;

    // Its work folder was its own, beside the window's "resign" root, not in it.
    const std::string temporary = *platform::folders::temporaryDirectory();
    const std::string prefix = "Start unzip the ipa file to path: ";
    auto lines = messages(out);
    ASSERT_FALSE(lines.empty());
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0u) << lines[0];
    const stdfs::path work = lines[0].substr(prefix.size());
    EXPECT_EQ(work.parent_path().parent_path(), temporary);
    EXPECT_EQ(work.parent_path().filename().string().rfind("ipa-resign-", 0), 0u) << work;
    EXPECT_FALSE(stdfs::exists(work.parent_path()));
    EXPECT_TRUE(!stdfs::exists(dir + "/out") || stdfs::is_empty(dir + "/out")) << "no archive, no staging";
}

// Every file below a folder with its bytes.
std::map<std::string, std::string> treeBytes(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : stdfs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) files[entry.path().string()] = testkit::readFile(entry.path().string());
    return files;
}

// Checks the machine-readable output of a batch; prints "ok" or what is wrong.
constexpr const char* kCheckJsonBatch = R"py(
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
results = [l for l in lines if l["type"] == "result"]
assert lines[-1]["type"] == "summary", lines[-1]
assert lines[-1]["failed"] == [sys.argv[2]], lines[-1]
assert [r["status"] for r in results] == ["succeeded", "failed", "succeeded"], results
for l in lines:
    if l["type"] == "log":
        assert l["stage"] and l["color"] in ("black", "red", "orange", "green") and l["package"], l
good = results[0]
assert good["archive"].endswith("/out/One.ipa"), good
assert {"unpacking", "signing", "packing"} <= set(good["timings"]), good["timings"]
assert good["signed"][-1]["path"] == "Payload/Demo.app" and good["signed"][-1]["profile"], good["signed"]
assert all(i["identity"] == "Apple Development: Jane (ABCDE12345)" for i in good["signed"]), good["signed"]
nested = [i for i in good["signed"] if i["path"].endswith(".appex")]
assert nested and all(i["profile"] for i in nested), good["signed"]
assert any(l["type"] == "log" and l["stage"] == "signing" for l in lines)
print("ok")
)py";

TEST_F(IpaResignTest, BatchResignsTheGoodPackagesReportsTheBrokenOneAndFails) {
    testkit::PackageSpec one, two;
    one.displayName = "One";
    two.displayName.reset();  // no display name: the bundle name or folder name is kept
    two.appName = "Two";
    const std::string first = testkit::buildPackage(dir + "/in/one.ipa", one);
    const std::string broken = dir + "/in/broken.ipa";
    testkit::writeFile(broken, "this is no zip archive");
    const std::string third = testkit::buildPackage(dir + "/in/two.ipa", two);

    auto o = runProgram(program, {"--json", "--identity", "Apple Development: Jane (ABCDE12345)", "--profile",
                                  profilePath, "--output", dir + "/out", "--ipa", first, broken, third},
                        dir);
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_TRUE(stdfs::is_regular_file(dir + "/out/One.ipa"));
    EXPECT_TRUE(stdfs::is_regular_file(dir + "/out/Two.ipa"));
    // Each keeps its own identifier when none is given.
    auto info = *plist::parse(testkit::archiveEntry(dir + "/out/Two.ipa", "Payload/Two.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleIdentifier")->asString(), "com.example.demo");
    // The readable lines went to standard error, the summary last.
    EXPECT_NE(o.err.find("] Resign done, ipa saved to"), std::string::npos);
    EXPECT_NE(o.err.find("2 of 3 packages re-signed"), std::string::npos) << o.err;

    testkit::writeFile(dir + "/out.jsonl", o.out);
    std::string verdict;
    testkit::run({"/usr/bin/python3", "-c", kCheckJsonBatch, dir + "/out.jsonl", broken}, &verdict);
    EXPECT_EQ(verdict, "ok\n") << o.out;
}

TEST_F(IpaResignTest, P12SignsThroughAKeychainOfItsOwnAndLeavesTheUsersAlone) {
    // Real tools this time: the run's identity must reach codesign.
    for (const char* tool : {"security", "codesign"})
        stdfs::copy_file(testkit::binDir() + "/" + tool, binDir + "/" + tool, stdfs::copy_options::overwrite_existing);
    const auto& ca = testkit::pki::TestPKI::shared();
    std::string out;
    testkit::writeFile(dir + "/mine.p12", testkit::pki::pkcs12(ca.issueLeaf({.commonName = "Mine"}), {}, "m"));
    ASSERT_EQ(testkit::run({binDir + "/security", "import", dir + "/mine.p12", "-P", "m"}, &out), 0) << out;
    const std::string users = std::string(std::getenv("XDG_DATA_HOME")) + "/ipa-resigner";
    auto before = treeBytes(users);

    const std::string password = "pa55-w0rd-for-ci";
    const auto ciLeaf = ca.issueLeaf({.commonName = "CI Only"});
    testkit::writeFile(dir + "/ci.p12", testkit::pki::pkcs12(ciLeaf, {ca.intermediate()}, password));
    // The profile must list the run's certificate, as a device checks.
    auto ciProfile = profileOptions();
    ciProfile.developerCertificates = {ciLeaf.certDer};
    testkit::writeFile(profilePath, testkit::pki::makeProfile(ciProfile));
    ::setenv("CI_P12_PASSWORD", password.c_str(), 1);
    auto o = runProgram(program, {"--json", "--p12", dir + "/ci.p12", "--p12-password-env", "CI_P12_PASSWORD",
                                  "--profile", profilePath, "--output", dir + "/out", ipa},
                        dir);
    ::unsetenv("CI_P12_PASSWORD");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("\"identity\":\"CI Only\""), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find(password), std::string::npos);
    EXPECT_EQ(o.err.find(password), std::string::npos);
    EXPECT_EQ(treeBytes(users), before);
    // The run's keychain is gone with the run.
    for (const auto& entry : stdfs::recursive_directory_iterator(std::getenv("TMPDIR")))
        EXPECT_EQ(entry.path().filename().string().rfind("keychain-", 0), std::string::npos) << entry.path();

    std::string unpacked = testkit::makeScratchDir("unpacked");
    ASSERT_EQ(testkit::run({"/usr/bin/unzip", "-q", dir + "/out/Demo.ipa", "-d", unpacked}), 0);
    out.clear();
    testkit::run({binDir + "/codesign", "-v", unpacked + "/Payload/Demo.app"}, &out);
    EXPECT_EQ(out, "");
}

TEST_F(IpaResignTest, PackageChangeFlagsReachThePackageAndTheJsonResultListsThem) {
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--min-os", "fourteen"}, {"--device-family", "watch"}, {"--inject-weak"}}) {
        auto args = standardArgs();
        args.insert(args.end(), bad.begin(), bad.end());
        auto refused = runProgram(program, args, dir);
        EXPECT_EQ(refused.status, 2) << bad[0];
        EXPECT_NE(refused.err.find("ipa-resign: error: " + bad[0]), std::string::npos) << refused.err;
    }
    EXPECT_TRUE(recordedCalls(codesignLog).empty());

    auto args = standardArgs();
    args.insert(args.end(), {"--json", "--short-version", "5.0", "--bundle-version=500", "--min-os", "16.0",
                             "--device-family", "iphone", "--file-sharing", "--remove", "Share"});
    auto o = runProgram(program, args, dir);
    ASSERT_EQ(o.status, 0) << o.err;
    testkit::writeFile(dir + "/out.jsonl", o.out);
    std::string changes;
    testkit::run({"/usr/bin/python3", "-c",
                  "import json,sys\n"
                  "r=[l for l in map(json.loads, open(sys.argv[1])) if l['type']=='result'][0]\n"
                  "print('\\n'.join(r['changes']))",
                  dir + "/out.jsonl"},
                 &changes);
    EXPECT_EQ(changes,
              // The extension goes: it is not kept in step.
              "CFBundleShortVersionString set to 5.0 in the application\n"
              "CFBundleVersion set to 500 in the application\n"
              "MinimumOSVersion set to 16.0 in the application\n"
              "UIDeviceFamily set to iPhone (1)\n"
              "File sharing turned on: UIFileSharingEnabled and LSSupportsOpeningDocumentsInPlace set to true\n"
              "Removed the extension PlugIns/Share.appex: it is not signed and needs no profile\n");
    const std::string archive = dir + "/out/Shiny.ipa";
    auto info = *plist::parse(testkit::archiveEntry(archive, "Payload/Demo.app/Info.plist"));
    EXPECT_EQ(*info.get("CFBundleVersion")->asString(), "500");
    EXPECT_EQ(*info.get("UIDeviceFamily"), plist::Value(plist::Array{1}));
    for (const auto& entry : testkit::archiveEntries(archive)) EXPECT_EQ(entry.find("Share.appex"), std::string::npos);
}
