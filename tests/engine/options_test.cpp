// The changes a run makes besides the new identity, read back from what it
// wrote: property lists, the files it removed, the icon's pixels, the load
// commands through our own Mach-O reader. Each is also refused, before
// anything changes, where it cannot be done.
#include <QImage>
#include <algorithm>
#include <filesystem>

#include "codesign/MachOEdit.h"
#include "engine/QFResignOptions.h"
#include "engine_fixture.h"
#include "test_images.h"
#include "testkit/macho.h"

using namespace enginetest;
namespace stdfs = std::filesystem;
namespace plist = platform::plist;
namespace macho = codesign::macho;

namespace {

// The lines a run logged from the first line to the one before the end line.
std::vector<std::string> linesBetween(const std::vector<std::string>& lines, const std::string& first,
                                      const std::string& end) {
    auto from = std::find(lines.begin(), lines.end(), first);
    auto to = std::find(from, lines.end(), end);
    if (from == lines.end() || to == lines.end()) return {"(not found: " + first + " ... " + end + ")"};
    return {from + 1, to};
}

plist::Value readPlist(const std::string& file) {
    auto value = plist::parse(testkit::readFile(file));
    return value ? *value : plist::Value();
}

std::string stringAt(const plist::Value& dict, const std::string& key) {
    const plist::Value* v = dict.get(key);
    return v && v->asString() ? *v->asString() : "(none)";
}

std::vector<macho::SliceLibraries> librariesOf(const std::string& file) {
    codesign::InputFile input;
    EXPECT_TRUE(input.open(file)) << file;
    auto read = macho::readLibraries(input);
    EXPECT_TRUE(read) << file;
    return read ? *read : std::vector<macho::SliceLibraries>{};
}

class OptionsTest : public EngineTest {
protected:
    // A run with the options; answers the recorder.
    Recorder run(const std::shared_ptr<QFAppPackageHandler>& package, const engine::ResignOptions& options) {
        package->setResignOptions(options);
        Recorder r;
        resign(package, r);
        return r;
    }
};

}  // namespace

TEST_F(OptionsTest, WithEveryOptionOffTheRunWritesWhatItAlwaysWrote) {
    testkit::PackageSpec shape;
    shape.appFiles = {{"Icon.png", pngImage(57, 57, Qt::red)}};
    const std::string ipa = testkit::buildPackage(dir + "/in/Demo.ipa", shape);
    auto package = openIpa(ipa);
    Recorder r = run(package, engine::ResignOptions{});
    ASSERT_TRUE(r.success) << r.error.value_or("");
    EXPECT_EQ(linesBetween(r.lines, "Editing the Info.plist file...", "Editing the Embedded Provision..."),
              std::vector<std::string>{"File Info.plist edited properly"});
    EXPECT_TRUE(package->changesMade().empty());

    // Every entry but those a re-sign always writes is the package's own.
    const std::string out = dir + "/out/New Name.ipa";
    auto alwaysWritten = [](const std::string& entry) {
        return entry == "Entitlements.plist" || entry.find("Info.plist") != std::string::npos ||
               entry.find("embedded.mobileprovision") != std::string::npos ||
               entry.find("_CodeSignature") != std::string::npos;
    };
    auto entries = [&](const std::string& archive) {
        auto names = testkit::archiveEntries(archive);
        std::erase_if(names, alwaysWritten);
        std::sort(names.begin(), names.end());
        return names;
    };
    const auto outputEntries = entries(out);
    EXPECT_EQ(outputEntries, entries(ipa));
    for (const auto& entry : outputEntries)
        if (entry.back() != '/') {
            EXPECT_EQ(testkit::archiveEntry(out, entry), testkit::archiveEntry(ipa, entry)) << entry;
        }
}

TEST_F(OptionsTest, PropertyListOptionsReachTheApplicationAndTheBundlesThatFollowIt) {
    testkit::PackageSpec shape;
    shape.watchApp = true;
    auto package = open(shape);
    const std::string app = package->appPath();
    auto info = readPlist(app + "/Info.plist");
    (*info.asDict())["UISupportedDevices"] = plist::Array{"iPhone10,3"};
    testkit::writeFile(app + "/Info.plist", plist::toXml(info));

    // Refused before anything changes: a minimum system that is no version.
    for (const char* bad : {"14.x", "", "14.", ".1", "1.2.3.4", "v14"}) {
        engine::ResignOptions options;
        options.minimumOSVersion = bad;
        Recorder refused = run(package, options);
        ASSERT_TRUE(refused.error) << bad;
        EXPECT_EQ(refused.error->rfind("The minimum system version \"" + std::string(bad) + "\" is not a version", 0), 0u);
        EXPECT_TRUE(refused.lines.empty());
    }
    for (const char* good : {"14", "14.0", "15.4.1"}) EXPECT_TRUE(engine::isVersionText(good)) << good;
    EXPECT_EQ(readPlist(app + "/Info.plist"), info);

    engine::ResignOptions options;
    options.shortVersion = "2.0";
    options.bundleVersion = "200";
    options.minimumOSVersion = "14.0";
    options.removeSupportedDevices = true;
    options.deviceFamily = engine::DeviceFamily::ipad;
    options.fileSharing = true;
    Recorder r = run(package, options);
    ASSERT_TRUE(r.success) << r.error.value_or("");
    const std::vector<std::string> expected = {
        "CFBundleShortVersionString set to 2.0 in the application and in PlugIns/Share.appex, Watch/DemoWatch.app, "
        "Watch/DemoWatch.app/PlugIns/DemoWatchExt.appex",
        "CFBundleVersion set to 200 in the application and in PlugIns/Share.appex, Watch/DemoWatch.app, "
        "Watch/DemoWatch.app/PlugIns/DemoWatchExt.appex",
        "MinimumOSVersion set to 14.0 in the application and in PlugIns/Share.appex",
        "UISupportedDevices removed: the application installs on any device of its family",
        "UIDeviceFamily set to iPad (2)",
        "File sharing turned on: UIFileSharingEnabled and LSSupportsOpeningDocumentsInPlace set to true"};
    EXPECT_EQ(linesBetween(r.lines, "Editing the Info.plist file...", "File Info.plist edited properly"), expected);
    EXPECT_EQ(package->changesMade(), expected);

    auto appInfo = readPlist(app + "/Info.plist");
    EXPECT_EQ(stringAt(appInfo, "CFBundleIdentifier"), "com.example.new");
    EXPECT_EQ(stringAt(appInfo, "MinimumOSVersion"), "14.0");
    EXPECT_EQ(appInfo.get("UISupportedDevices"), nullptr);
    EXPECT_EQ(*appInfo.get("UIDeviceFamily"), plist::Value(plist::Array{2}));
    EXPECT_EQ(*appInfo.get("UIFileSharingEnabled"), plist::Value(true));
    EXPECT_EQ(*appInfo.get("LSSupportsOpeningDocumentsInPlace"), plist::Value(true));
    for (const char* bundle : {"", "/PlugIns/Share.appex", "/Watch/DemoWatch.app",
                               "/Watch/DemoWatch.app/PlugIns/DemoWatchExt.appex"}) {
        auto bundleInfo = readPlist(app + bundle + "/Info.plist");
        EXPECT_EQ(stringAt(bundleInfo, "CFBundleShortVersionString"), "2.0") << bundle;
        EXPECT_EQ(stringAt(bundleInfo, "CFBundleVersion"), "200") << bundle;
    }
    // A watch application runs on its own system's versions.
    EXPECT_EQ(stringAt(readPlist(app + "/PlugIns/Share.appex/Info.plist"), "MinimumOSVersion"), "14.0");
    EXPECT_EQ(stringAt(readPlist(app + "/Watch/DemoWatch.app/Info.plist"), "MinimumOSVersion"), "(none)");
}

TEST_F(OptionsTest, RemovedBundlesAreGoneUnsignedAndNeedNoProfile) {
    // A profile for the application alone: its extensions would need their own.
    auto o = profileOptions();
    o.bundleId = "com.example.new";
    testkit::writeFile(profilePath, testkit::pki::makeProfile(o));
    testkit::PackageSpec shape;
    shape.watchApp = true;
    auto package = open(shape);
    Recorder needsProfiles = run(package, {});
    ASSERT_TRUE(needsProfiles.error);
    EXPECT_NE(needsProfiles.error->find("needs a provisioning profile"), std::string::npos);

    engine::ResignOptions unknown;
    unknown.removeBundles = {"Nope"};
    Recorder refused = run(package, unknown);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(*refused.error, "The application has no nested bundle named \"Nope\": name one of its extensions or "
                              "nested applications (such as PlugIns/Share.appex).");
    EXPECT_TRUE(stdfs::exists(package->appPath() + "/PlugIns/Share.appex"));

    engine::ResignOptions options;
    options.removeExtensions = true;
    options.removeWatchApp = true;
    Recorder r = run(package, options);
    ASSERT_TRUE(r.success) << r.error.value_or("");
    const std::vector<std::string> expected = {
        "Removed the extension PlugIns/Share.appex: it is not signed and needs no profile",
        "Removed the watch application folder Watch: it is not signed and needs no profile"};
    EXPECT_EQ(linesBetween(r.lines, "File Info.plist edited properly", "Editing the Embedded Provision..."), expected);
    EXPECT_EQ(package->changesMade(), expected);
    for (const auto& entry : testkit::archiveEntries(dir + "/out/New Name.ipa")) {
        EXPECT_EQ(entry.find("PlugIns"), std::string::npos) << entry;
        EXPECT_EQ(entry.find("Watch"), std::string::npos) << entry;
    }
    for (const auto& call : recordedCalls(codesignLog))
        for (const auto& argument : call) EXPECT_EQ(argument.find(".appex"), std::string::npos) << argument;
}

TEST_F(OptionsTest, IconReplacesEveryFileTheInfoPlistNamesAtItsOwnSize) {
    testkit::PackageSpec shape;
    shape.appFiles = {{"Icon.png", pngImage(57, 57, Qt::red)},    {"Icon@2x.png", pngImage(114, 114, Qt::red)},
                      {"Icon~ipad.png", pngImage(76, 76, Qt::red)}, {"Other.png", pngImage(10, 10, Qt::red)},
                      {"Assets.car", "compiled assets"}};
    auto package = open(shape);
    const std::string app = package->appPath();
    testkit::writeFile(dir + "/not-an-image.png", "text");
    engine::ResignOptions unreadable;
    unreadable.iconPath = dir + "/not-an-image.png";
    Recorder refused = run(package, unreadable);
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->rfind("The icon \"" + dir + "/not-an-image.png\" cannot be read as an image", 0), 0u);

    testkit::writeFile(dir + "/new.png", pngImage(300, 200, Qt::blue));
    engine::ResignOptions options;
    options.iconPath = dir + "/new.png";
    Recorder r = run(package, options);
    ASSERT_TRUE(r.success) << r.error.value_or("");
    EXPECT_EQ(linesBetween(r.lines, "File Info.plist edited properly", "Editing the Embedded Provision..."),
              (std::vector<std::string>{
                  "Icon replaced by new.png, scaled to each file's size: Icon.png (57x57), Icon@2x.png (114x114), "
                  "Icon~ipad.png (76x76)",
                  "Assets.car is left as it is: an icon compiled into it stays the old one"}));
    EXPECT_EQ(package->changesMade().size(), 1u);
    for (const auto& [name, side] : {std::pair{"Icon.png", 57}, {"Icon@2x.png", 114}, {"Icon~ipad.png", 76}}) {
        QImage icon(QString::fromStdString(app + "/" + name));
        EXPECT_EQ(icon.size(), QSize(side, side)) << name;
        EXPECT_EQ(icon.pixelColor(side / 2, side / 2), QColor(Qt::blue)) << name;
    }
    EXPECT_EQ(QImage(QString::fromStdString(app + "/Other.png")).pixelColor(5, 5), QColor(Qt::red));
    EXPECT_EQ(testkit::readFile(app + "/Assets.car"), "compiled assets");
}

TEST_F(OptionsTest, InjectedLibrariesAreLoadedInEverySliceAndCanBeRemovedAgain) {
    testkit::PackageSpec shape;
    shape.executableArchs = {"arm64", "x86_64"};
    shape.executableLinkerArgs = {"-headerpad_max_install_names"};  // room for the x86_64 slice too
    auto package = open(shape);
    const std::string app = package->appPath();
    // The extension searches the application's Frameworks through its run path.
    testkit::MachOSpec extension;
    extension.linkerArgs = {"-rpath", "@executable_path/../../Frameworks"};
    ASSERT_EQ(testkit::buildMachO(app + "/PlugIns/Share.appex/Share", extension), "");
    testkit::MachOSpec arm64, x86_64;
    arm64.kind = x86_64.kind = testkit::MachOSpec::Kind::Dylib;
    x86_64.arch = "x86_64";
    const std::string lib = dir + "/libTweak.dylib";
    ASSERT_EQ(testkit::buildMachO(dir + "/a/libTweak.dylib", arm64), "");
    ASSERT_EQ(testkit::buildMachO(dir + "/e/libTweak.dylib", x86_64), "");
    ASSERT_EQ(testkit::makeFat(lib, {dir + "/a/libTweak.dylib", dir + "/e/libTweak.dylib"}), "");
    const std::string executable = testkit::readFile(app + "/Demo");

    // A thin library cannot serve a fat executable: refused, nothing changed.
    engine::ResignOptions thin;
    thin.injectLibraries = {dir + "/a/libTweak.dylib"};
    Recorder refused = run(package, thin);
    ASSERT_TRUE(refused.error);
    EXPECT_NE(refused.error->find("has no x86_64 code"), std::string::npos) << *refused.error;
    EXPECT_FALSE(stdfs::exists(app + "/Frameworks/libTweak.dylib"));

    engine::ResignOptions options;
    options.injectLibraries = {lib};
    options.injectWeak = true;
    options.injectIntoExtensions = true;
    Recorder r = run(package, options);
    ASSERT_TRUE(r.success) << r.error.value_or("");
    EXPECT_EQ(package->changesMade(),
              std::vector<std::string>{"Injected libTweak.dylib: copied into Frameworks, loaded by Demo as "
                                       "@executable_path/Frameworks/libTweak.dylib (weak), PlugIns/Share.appex/Share "
                                       "as @rpath/libTweak.dylib (weak)"});
    EXPECT_EQ(testkit::readFile(app + "/Frameworks/libTweak.dylib"), testkit::readFile(lib));
    auto slices = librariesOf(app + "/Demo");
    ASSERT_EQ(slices.size(), 2u);
    for (const auto& slice : slices) {
        EXPECT_EQ(slice.loads.back().path, "@executable_path/Frameworks/libTweak.dylib") << slice.arch;
        EXPECT_EQ(slice.loads.back().command, macho::LC_LOAD_WEAK_DYLIB) << slice.arch;
    }
    EXPECT_EQ(librariesOf(app + "/PlugIns/Share.appex/Share").at(0).loads.back().path, "@rpath/libTweak.dylib");
    bool signedLibrary = false;
    for (const auto& call : recordedCalls(codesignLog))
        signedLibrary |= call.size() > 3 && call[1] == "-fs" && call[3] == app + "/Frameworks/libTweak.dylib";
    EXPECT_TRUE(signedLibrary) << testkit::readFile(codesignLog);

    engine::ResignOptions removal;
    removal.removeLibraries = {"libTweak.dylib"};
    Recorder removed = run(package, removal);
    ASSERT_TRUE(removed.success) << removed.error.value_or("");
    EXPECT_EQ(testkit::readFile(app + "/Demo"), executable);
    EXPECT_EQ(package->changesMade(),
              (std::vector<std::string>{
                  "Removed the load command of @executable_path/Frameworks/libTweak.dylib from Demo",
                  "Removed the load command of @rpath/libTweak.dylib from PlugIns/Share.appex/Share",
                  "Removed Frameworks/libTweak.dylib: nothing in the application loads it any more"}));
    EXPECT_FALSE(stdfs::exists(app + "/Frameworks/libTweak.dylib"));

    // An executable without the room: refused before anything changes.
    ASSERT_EQ(testkit::buildMachO(dir + "/roomy", {}), "");
    testkit::MachOSpec tight;  // a run path fills the room but for the linker's least padding
    tight.linkerArgs = {"-rpath", std::string(librariesOf(dir + "/roomy").at(0).freeSpace - 32 - 13, 'r')};
    ASSERT_EQ(testkit::buildMachO(app + "/Demo", tight), "");
    ASSERT_EQ(librariesOf(app + "/Demo").at(0).freeSpace, 32u);
    const std::string before = testkit::readFile(app + "/Demo");
    Recorder noRoom = run(package, options);
    ASSERT_TRUE(noRoom.error);
    EXPECT_EQ(noRoom.error->rfind("The load commands of \"Demo\" cannot be changed: the arm64 slice has 32 bytes free", 0),
              0u)
        << *noRoom.error;
    EXPECT_NE(noRoom.error->find("sections are never moved"), std::string::npos);
    EXPECT_EQ(testkit::readFile(app + "/Demo"), before);
}
