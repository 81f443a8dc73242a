#include "codesign/CodeResources.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <filesystem>

#include "platform/plist.h"
#include "testkit/testkit.h"

namespace {

namespace plist = platform::plist;
namespace fs = std::filesystem;
using codesign::HashType;
using codesign::ResourceProblem;
using codesign::ResourceSealOptions;
using Kind = ResourceProblem::Kind;

std::string digest(const char* name, const std::string& bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_get_digestbyname(name), nullptr), 1);
    return std::string(reinterpret_cast<char*>(md), len);
}
std::string sha1(const std::string& b) { return digest("SHA1", b); }
std::string sha256(const std::string& b) { return digest("SHA256", b); }

ResourceSealOptions options(std::vector<HashType> types = {HashType::SHA256}) {
    ResourceSealOptions o;
    o.hashTypes = std::move(types);
    o.mainExecutable = "App";
    return o;
}

// A small app with what the default rules treat specially.
std::string makeApp() {
    std::string app = testkit::makeScratchDir("seal") + "/App.app";
    auto put = [&](const std::string& rel, const std::string& bytes) { testkit::writeFile(app + "/" + rel, bytes); };
    put("Info.plist", "<plist>info</plist>");
    put("PkgInfo", "APPL????");
    put("App", "main executable");
    put("embedded.mobileprovision", "profile bytes");
    put("en.lproj/Localizable.strings", "\"a\" = \"b\";");
    put("en.lproj/locversion.plist", "loc");
    put("Base.lproj/Main.nib", "nib");
    put(".DS_Store", "finder");
    put("CodeResources", "stray seal");
    put("_CodeSignature/CodeResources", "old seal");
    put("_MASReceipt/receipt", "receipt");
    put("Frameworks/X.framework/X", "framework code");
    put("Frameworks/X.framework/Info.plist", "fw info");
    put("Frameworks/X.framework/_CodeSignature/CodeResources", "fw seal");
    put("assets/big.bin", std::string(200 * 1024 + 1, 'z'));
    fs::create_symlink("../Info.plist", app + "/assets/link");
    return app;
}

plist::Value build(const std::string& app, const ResourceSealOptions& o = options()) {
    auto bytes = codesign::buildCodeResources(app, o);
    EXPECT_TRUE(bytes.ok()) << (bytes ? "" : bytes.text());
    auto value = plist::parse(bytes ? *bytes : "");
    EXPECT_TRUE(value.has_value());
    return value.value_or(plist::Value());
}

const plist::Dict& section(const plist::Value& seal, const char* key) {
    static const plist::Dict none;
    const plist::Value* v = seal.get(key);
    return v && v->asDict() ? *v->asDict() : none;
}

std::vector<std::pair<Kind, std::string>> check(const std::string& app, const std::string& seal,
                                                const ResourceSealOptions& o = options()) {
    std::vector<std::pair<Kind, std::string>> out;
    auto problems = codesign::verifyCodeResources(app, seal, o);
    EXPECT_TRUE(problems.ok());
    if (problems)
        for (const auto& p : *problems) out.emplace_back(p.kind, p.absolutePath);
    return out;
}

TEST(CodeResourcesBuild, DefaultRulesDecideWhatEachVersionSeals) {
    std::string app = makeApp();
    plist::Value seal = build(app);
    const plist::Dict& files = section(seal, "files");
    const plist::Dict& files2 = section(seal, "files2");

    for (const char* both : {"embedded.mobileprovision", "Frameworks/X.framework/X", "Frameworks/X.framework/Info.plist",
                             "Frameworks/X.framework/_CodeSignature/CodeResources", "Base.lproj/Main.nib"}) {
        EXPECT_TRUE(files.count(both)) << both;
        EXPECT_TRUE(files2.count(both)) << both;
    }
    for (const char* v1only : {"Info.plist", "PkgInfo", ".DS_Store"}) {
        EXPECT_TRUE(files.count(v1only)) << v1only;
        EXPECT_FALSE(files2.count(v1only)) << v1only;
    }
    for (const char* never : {"App", "CodeResources", "_CodeSignature/CodeResources", "_MASReceipt/receipt",
                              "en.lproj/locversion.plist"}) {
        EXPECT_FALSE(files.count(never)) << never;
        EXPECT_FALSE(files2.count(never)) << never;
    }

    // Localised resources are optional, Base.lproj ones are not.
    const plist::Value& loc = files.at("en.lproj/Localizable.strings");
    ASSERT_TRUE(loc.asDict());
    EXPECT_EQ(loc, plist::Value(plist::Dict{{"hash", plist::Data{sha1("\"a\" = \"b\";")}}, {"optional", true}}));
    EXPECT_EQ(*files2.at("en.lproj/Localizable.strings").get("optional"), plist::Value(true));
    EXPECT_EQ(files.at("Base.lproj/Main.nib"), plist::Value(plist::Data{sha1("nib")}));
    EXPECT_EQ(files2.at("Base.lproj/Main.nib").get("optional"), nullptr);

    // Links: a link entry in the second version only, never followed.
    EXPECT_EQ(files2.at("assets/link"), plist::Value(plist::Dict{{"symlink", "../Info.plist"}}));
    EXPECT_FALSE(files.count("assets/link"));
}

TEST(CodeResourcesBuild, HashesFollowTheSignatureHashTypes) {
    std::string app = makeApp();
    const std::string big(200 * 1024 + 1, 'z');  // spans several read buffers

    plist::Value only256 = build(app);
    EXPECT_EQ(section(only256, "files2").at("assets/big.bin"), plist::Value(plist::Dict{{"hash2", plist::Data{sha256(big)}}}));
    EXPECT_EQ(section(only256, "files").at("assets/big.bin"), plist::Value(plist::Data{sha1(big)}));

    plist::Value dual = build(app, options({HashType::SHA1, HashType::SHA256}));
    EXPECT_EQ(section(dual, "files2").at("embedded.mobileprovision"),
              plist::Value(plist::Dict{{"hash", plist::Data{sha1("profile bytes")}},
                                       {"hash2", plist::Data{sha256("profile bytes")}}}));

    // The same hash as the command-line tool gives for the file on disk.
    std::string out;
    if (fs::exists("/usr/bin/openssl")) {
        ASSERT_EQ(testkit::run({"/usr/bin/openssl", "dgst", "-sha256", "-binary", app + "/Frameworks/X.framework/X"}, &out), 0);
        EXPECT_EQ(section(dual, "files2").at("Frameworks/X.framework/X").get("hash2")->asData()->bytes, out);
    }
}

TEST(CodeResourcesBuild, WritesRulesAsTheSystemWritesThem) {
    std::string app = makeApp();
    auto bytes = codesign::buildCodeResources(app, options());
    ASSERT_TRUE(bytes);
    // Same bytes every time: the seal's hash goes into the signature.
    auto again = codesign::buildCodeResources(app, options());
    ASSERT_TRUE(again);
    EXPECT_EQ(*bytes, *again);
    EXPECT_NE(bytes->find("\t\t<key>^.*\\.lproj/</key>\n\t\t<dict>\n\t\t\t<key>optional</key>\n\t\t\t<true/>\n"
                          "\t\t\t<key>weight</key>\n\t\t\t<real>1000</real>\n"),
              std::string::npos);
    EXPECT_NE(bytes->find("<real>1010</real>"), std::string::npos);
    EXPECT_NE(bytes->find("<real>11</real>"), std::string::npos);

    plist::Value seal = *plist::parse(*bytes);
    const plist::Dict& rules = section(seal, "rules");
    const plist::Dict& rules2 = section(seal, "rules2");
    EXPECT_EQ(rules.size(), 5u);
    EXPECT_EQ(rules2.size(), 10u);
    EXPECT_EQ(rules.at("^version.plist$"), plist::Value(true));
    EXPECT_EQ(rules2.at("^.*"), plist::Value(true));
    EXPECT_EQ(rules2.at("^(.*/)?\\.DS_Store$"), plist::Value(plist::Dict{{"omit", true}, {"weight", 2000.0}}));
    EXPECT_EQ(rules2.at(".*\\.dSYM($|/)"), plist::Value(plist::Dict{{"weight", 11.0}}));
    EXPECT_EQ(rules.at("^.*\\.lproj/locversion.plist$"), plist::Value(plist::Dict{{"omit", true}, {"weight", 1100.0}}));
}

TEST(CodeResourcesBuild, HostileTreesAreNeitherFollowedNorSealedBlindly) {
    std::string app = makeApp();
    fs::create_directories(app + "/odd");
    fs::create_symlink("loop-b", app + "/odd/loop-a");
    fs::create_symlink("loop-a", app + "/odd/loop-b");
    fs::create_symlink("/", app + "/odd/root");
    fs::create_symlink("..", app + "/odd/up");
    testkit::writeFile(app + "/odd/a&b <c>.txt", "markup");

    plist::Value seal = build(app);
    const plist::Dict& files2 = section(seal, "files2");
    EXPECT_EQ(files2.at("odd/root"), plist::Value(plist::Dict{{"symlink", "/"}}));
    EXPECT_EQ(files2.at("odd/loop-a"), plist::Value(plist::Dict{{"symlink", "loop-b"}}));
    EXPECT_TRUE(files2.count("odd/a&b <c>.txt"));
    for (const auto& [path, v] : files2) {
        EXPECT_NE(path.rfind("odd/root/", 0), 0u) << path;
        EXPECT_NE(path.rfind("odd/up/", 0), 0u) << path;
    }

    // What cannot be sealed faithfully fails the build with a reason.
    auto failsWith = [&](const std::string& expected) {
        auto failed = codesign::buildCodeResources(app, options());
        EXPECT_FALSE(failed);
        const std::string error = failed ? "" : failed.text();
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    };
    std::string fifo = app + "/odd/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    failsWith("odd/pipe");  // and does not hang opening it
    fs::remove(fifo);

    testkit::writeFile(app + "/odd/ctl\x01name", "x");
    failsWith("cannot be sealed");
    fs::remove(app + "/odd/ctl\x01name");
    testkit::writeFile(app + "/odd/bad\xff", "x");
    failsWith("cannot be sealed");
    fs::remove(app + "/odd/bad\xff");

    std::string deep = app + "/deep";
    for (int i = 0; i < 130; ++i) deep += "/d";
    fs::create_directories(deep);
    failsWith("nested too deeply");
    fs::remove_all(app + "/deep");

    if (geteuid() != 0) {  // permissions do not bind the superuser
        std::string locked = app + "/assets/locked";
        testkit::writeFile(locked, "secret");
        chmod(locked.c_str(), 0);
        failsWith("assets/locked");
        chmod(locked.c_str(), 0600);
    }
    EXPECT_TRUE(codesign::buildCodeResources(app, options()));
    EXPECT_FALSE(codesign::buildCodeResources(app + "/nothing-here", options()));
}

TEST(CodeResourcesBuild, ManyFilesHashedBesideTheWalkLandInTheirOwnEntries) {
    // Past the size where helper threads hash, and past the files that may
    // wait open at a time.
    std::string app = makeApp();
    std::vector<std::string> contents;
    for (int i = 0; i < 150; ++i) {
        contents.push_back(std::string(48 * 1024 + i, char('a' + i % 26)) + std::to_string(i));
        testkit::writeFile(app + "/many/f" + std::to_string(i), contents.back());
    }
    plist::Value seal = build(app, options({HashType::SHA1, HashType::SHA256}));
    for (int i = 0; i < 150; ++i) {
        const std::string rel = "many/f" + std::to_string(i);
        EXPECT_EQ(section(seal, "files").at(rel), plist::Value(plist::Data{sha1(contents[size_t(i)])})) << rel;
        EXPECT_EQ(section(seal, "files2").at(rel),
                  plist::Value(plist::Dict{{"hash", plist::Data{sha1(contents[size_t(i)])}},
                                           {"hash2", plist::Data{sha256(contents[size_t(i)])}}}))
            << rel;
    }
    const std::string xml = plist::toXml(seal);
    const auto dual = options({HashType::SHA1, HashType::SHA256});
    EXPECT_TRUE(check(app, xml, dual).empty());
    // One byte changed in one file among them, another file's bytes swapped
    // with its neighbour's: each reported as itself.
    testkit::writeFile(app + "/many/f77", contents[77].substr(0, contents[77].size() - 1) + "#");
    testkit::writeFile(app + "/many/f120", contents[121]);
    testkit::writeFile(app + "/many/f121", contents[120]);
    std::vector<std::pair<Kind, std::string>> expected = {{Kind::Modified, app + "/many/f120"},
                                                          {Kind::Modified, app + "/many/f121"},
                                                          {Kind::Modified, app + "/many/f77"}};
    EXPECT_EQ(check(app, xml, dual), expected);
}

TEST(CodeResourcesVerify, ReportsEachKindOfChangeByAbsolutePath) {
    std::string app = makeApp();
    auto seal = codesign::buildCodeResources(app, options());
    ASSERT_TRUE(seal);
    EXPECT_TRUE(check(app, *seal).empty());

    // Changes outside the seal's reach: omitted, excluded, or the executable.
    testkit::writeFile(app + "/Info.plist", "changed");
    testkit::writeFile(app + "/sub/.DS_Store", "finder");
    testkit::writeFile(app + "/_CodeSignature/extra", "x");
    testkit::writeFile(app + "/App", "re-signed executable");
    fs::remove(app + "/en.lproj/Localizable.strings");  // optional
    EXPECT_TRUE(check(app, *seal).empty());

    // One byte of a nested seal, an added file, a removed file, a file
    // turned into a link and a link retargeted.
    std::string nested = app + "/Frameworks/X.framework/_CodeSignature/CodeResources";
    testkit::writeFile(nested, "fw seaL");
    testkit::writeFile(app + "/assets/new.png", "new");
    fs::remove(app + "/embedded.mobileprovision");
    fs::remove(app + "/Base.lproj/Main.nib");
    fs::create_symlink("../PkgInfo", app + "/Base.lproj/Main.nib");
    fs::remove(app + "/assets/link");
    fs::create_symlink("../PkgInfo", app + "/assets/link");

    std::vector<std::pair<Kind, std::string>> expected = {
        {Kind::Modified, app + "/Base.lproj/Main.nib"},
        {Kind::Modified, nested},
        {Kind::Modified, app + "/assets/link"},
        {Kind::Added, app + "/assets/new.png"},
        {Kind::Missing, app + "/embedded.mobileprovision"},
    };
    EXPECT_EQ(check(app, *seal), expected);

    // A link turned into a file, a folder where a file was sealed.
    fs::remove(app + "/assets/link");
    testkit::writeFile(app + "/assets/link", "../Info.plist");
    fs::remove(app + "/assets/big.bin");
    fs::create_directories(app + "/assets/big.bin");
    auto problems = check(app, *seal);
    EXPECT_NE(std::find(problems.begin(), problems.end(), std::pair{Kind::Modified, app + "/assets/link"}), problems.end());
    EXPECT_NE(std::find(problems.begin(), problems.end(), std::pair{Kind::Modified, app + "/assets/big.bin"}),
              problems.end());

    // A path given with a trailing slash still yields single-slash paths.
    auto trailing = codesign::verifyCodeResources(app + "/", *seal, options());
    ASSERT_TRUE(trailing);
    for (const auto& p : *trailing) EXPECT_EQ(p.absolutePath.find("//"), std::string::npos) << p.absolutePath;
}

TEST(CodeResourcesVerify, EveryHashTypeOfTheSignatureMustMatch) {
    std::string app = makeApp();
    auto only256 = codesign::buildCodeResources(app, options());
    auto dual = codesign::buildCodeResources(app, options({HashType::SHA1, HashType::SHA256}));
    ASSERT_TRUE(only256 && dual);
    EXPECT_TRUE(check(app, *dual, options({HashType::SHA1, HashType::SHA256})).empty());
    EXPECT_TRUE(check(app, *dual).empty());
    // A seal lacking the SHA-1 hashes a dual signature needs.
    auto problems = check(app, *only256, options({HashType::SHA1, HashType::SHA256}));
    EXPECT_FALSE(problems.empty());
    for (const auto& p : problems) EXPECT_EQ(p.first, Kind::Modified) << p.second;

    // A seal with only the first version falls back to it, SHA-1 throughout.
    plist::Value seal = *plist::parse(*dual);
    seal.asDict()->erase("files2");
    seal.asDict()->erase("rules2");
    std::string v1 = plist::toXml(seal);
    EXPECT_TRUE(check(app, v1).empty());
    testkit::writeFile(app + "/Info.plist", "changed");
    EXPECT_EQ(check(app, v1), (std::vector<std::pair<Kind, std::string>>{{Kind::Modified, app + "/Info.plist"}}));
}

TEST(CodeResourcesVerify, MalformedSealsNeverPass) {
    std::string app = makeApp();
    plist::Value good = build(app);
    auto without = [&](const char* key) {
        plist::Value v = good;
        v.asDict()->erase(key);
        return plist::toXml(v);
    };
    // Rules that would stall the matcher: a back-reference, nested interval
    // repetitions (minutes in the compiler alone), absurd lengths and counts.
    auto withRule = [&](const std::string& pattern) {
        plist::Value v = good;
        (*(*v.asDict())["rules2"].asDict())[pattern] = true;
        return plist::toXml(v);
    };
    plist::Value manyRules = good;
    for (int i = 0; i < 40; ++i) (*(*manyRules.asDict())["rules2"].asDict())["^r" + std::to_string(i) + "$"] = true;
    std::string repeated;
    for (int i = 0; i < 17; ++i) repeated += "a?";

    for (const std::string& bytes : {std::string("not a plist"), without("files"), without("rules"), without("rules2"),
                                     withRule("^(a*)*\\1$"), withRule("((a{1,100}){1,100}){1,100}$"),
                                     withRule("^" + std::string(200, 'a')), withRule(repeated), withRule("^[ab"),
                                     plist::toXml(manyRules), plist::toXml(plist::Value(plist::Array{}))}) {
        auto answer = codesign::verifyCodeResources(app, bytes, options());
        EXPECT_FALSE(answer);
        EXPECT_TRUE(!answer && answer.kind() == platform::ErrorKind::Malformed);
    }

    // Entries of the wrong shape, or nested code, are never taken as sound.
    plist::Value odd = good;
    plist::Dict& files2 = *(*odd.asDict())["files2"].asDict();
    files2["PkgInfo"] = plist::Dict{{"cdhash", plist::Data{std::string(20, 'x')}}};
    files2["assets/big.bin"] = plist::Value("text");
    EXPECT_EQ(check(app, plist::toXml(odd)),
              (std::vector<std::pair<Kind, std::string>>{{Kind::Modified, app + "/PkgInfo"},
                                                         {Kind::Modified, app + "/assets/big.bin"}}));
}

TEST(CodeResourcesVerify, SpecialFilesAndUnreadableFoldersAreReported) {
    std::string app = makeApp();
    auto seal = codesign::buildCodeResources(app, options());
    ASSERT_TRUE(seal);
    std::string fifo = app + "/assets/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    testkit::writeFile(app + "/assets/bad\xff", "x");
    EXPECT_EQ(check(app, *seal), (std::vector<std::pair<Kind, std::string>>{{Kind::Added, app + "/assets/bad\xff"},
                                                                            {Kind::Added, fifo}}));
    fs::remove(fifo);
    fs::remove(app + "/assets/bad\xff");

    // Rules match bytes even when the process runs in a UTF-8 locale, where
    // the regular expressions would stop at bytes that are not UTF-8.
    testkit::writeFile(app + "/assets/\xff\xfe/.DS_Store", "finder");
    ASSERT_TRUE(std::setlocale(LC_ALL, "C.UTF-8"));
    auto inUtf8Locale = check(app, *seal);
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(inUtf8Locale.empty());
    fs::remove_all(app + "/assets/\xff\xfe");

    if (geteuid() != 0) {
        std::string fw = app + "/Frameworks/X.framework";
        chmod(fw.c_str(), 0);
        auto problems = check(app, *seal);
        chmod(fw.c_str(), 0755);
        EXPECT_NE(std::find(problems.begin(), problems.end(), std::pair{Kind::Modified, fw}), problems.end());
    }
}

}  // namespace
