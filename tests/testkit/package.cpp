#include "testkit/package.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "platform/plist.h"
#include "testkit/macho.h"
#include "testkit/pki.h"
#include "testkit/testkit.h"

namespace testkit {

namespace {

namespace stdfs = std::filesystem;
namespace plist = platform::plist;

// Linking is the slow part: each kind of binary is built once per process
// and copied where it is needed.
std::string cachedBinary(const std::string& key, const MachOSpec& shape) {
    static std::mutex lock;
    static std::map<std::string, std::string> built;
    std::lock_guard<std::mutex> g(lock);
    auto it = built.find(key);
    if (it != built.end()) return it->second;
    std::string path = makeScratchDir("binaries") + "/" + key;
    std::string error = buildMachO(path, shape);
    if (!error.empty()) throw std::runtime_error("building " + key + " failed: " + error);
    built[key] = path;
    return path;
}

void copyBinary(const std::string& from, const std::string& to) {
    stdfs::create_directories(stdfs::path(to).parent_path());
    stdfs::copy_file(from, to, stdfs::copy_options::overwrite_existing);
    stdfs::permissions(to, stdfs::perms::owner_all | stdfs::perms::group_read | stdfs::perms::group_exec |
                               stdfs::perms::others_read | stdfs::perms::others_exec);
}

std::string dylib() {
    MachOSpec shape;
    shape.kind = MachOSpec::Kind::Dylib;
    return cachedBinary("lib.dylib", shape);
}

MachOSpec executableSpec(size_t padding) {
    MachOSpec shape;
    shape.extraDataBytes = padding;
    return shape;
}

std::string bundleInfo(const std::string& name, const std::string& identifier, const std::string& packageType) {
    plist::Dict keys{{"CFBundleExecutable", name},
                     {"CFBundleIdentifier", identifier},
                     {"CFBundleName", name},
                     {"CFBundlePackageType", packageType},
                     {"CFBundleShortVersionString", "1.0"},
                     {"CFBundleVersion", "1"}};
    return plist::toXml(plist::Value(keys));
}

void writeFramework(const std::string& folder, const std::string& name) {
    copyBinary(dylib(), folder + "/" + name);
    writeFile(folder + "/Info.plist", bundleInfo(name, "com.example.framework." + name, "FMWK"));
}

// X.framework/Versions/A holds the code, its Info.plist in Resources;
// Versions/Current and the entries at the top are links.
void writeVersionedFramework(const std::string& folder, const std::string& name) {
    const std::string version = folder + "/Versions/A";
    copyBinary(dylib(), version + "/" + name);
    writeFile(version + "/Resources/Info.plist", bundleInfo(name, "com.example.framework." + name, "FMWK"));
    writeFile(version + "/Resources/en.lproj/" + name + ".strings", "\"hello\" = \"Hello\";\n");
    writeFile(version + "/Headers/" + name + ".h", "int " + name + "Version(void);\n");
    stdfs::create_directory_symlink("A", folder + "/Versions/Current");
    stdfs::create_symlink("Versions/Current/" + name, folder + "/" + name);
    stdfs::create_directory_symlink("Versions/Current/Resources", folder + "/Resources");
    stdfs::create_directory_symlink("Versions/Current/Headers", folder + "/Headers");
}

MachOSpec bundleSpec() {
    MachOSpec shape;
    shape.kind = MachOSpec::Kind::Bundle;
    return shape;
}

// Signs an executable ad hoc with the given entitlements, as a build
// machine of another team would have left it.
void signWithClaims(const std::string& executable, const std::string& claims) {
    if (claims.empty()) return;
    const std::string file = makeScratchDir("claims") + "/claims.plist";
    writeFile(file, claims);
    std::string output;
    if (run({binDir() + "/codesign", "-s", "-", "-f", "--entitlements", file, executable}, &output) != 0)
        throw std::runtime_error("signing " + executable + " with its claims failed: " + output);
    stdfs::remove_all(stdfs::path(file).parent_path());
}

// Code of every other kind a real application holds, none of it named like
// a framework or a library.
void writeEveryCodeKind(const std::string& app, const std::string& appName, const std::string& helperClaims) {
    const std::string tests = app + "/PlugIns/" + appName + "Tests.xctest";
    copyBinary(cachedBinary("bundle", bundleSpec()), tests + "/" + appName + "Tests");
    writeFile(tests + "/Info.plist", bundleInfo(appName + "Tests", "com.example.tests", "BNDL"));
    writeFramework(tests + "/Frameworks/T1.framework", "T1");
    writeFramework(tests + "/Frameworks/T2.framework", "T2");

    const std::string service = app + "/XPCServices/Helper.xpc";
    copyBinary(cachedBinary("app-0", executableSpec(0)), service + "/Helper");
    signWithClaims(service + "/Helper", helperClaims);
    writeFile(service + "/Info.plist", bundleInfo("Helper", "com.example.helper", "XPC!"));

    const std::string assets = app + "/Assets.bundle";
    copyBinary(cachedBinary("bundle", bundleSpec()), assets + "/Assets");
    writeFile(assets + "/Info.plist", bundleInfo("Assets", "com.example.assets", "BNDL"));
    writeFile(assets + "/image.dat", std::string(300, 'i'));

    copyBinary(cachedBinary("app-0", executableSpec(0)), app + "/helper");
    signWithClaims(app + "/helper", helperClaims);

    static std::mutex lock;
    static std::string dsym;
    std::lock_guard<std::mutex> g(lock);
    if (dsym.empty()) {
        MachOSpec debug;
        debug.debugInfo = true;
        const std::string dir = makeScratchDir("dsym");
        std::string error = buildMachO(dir + "/" + appName, debug);
        if (error.empty()) error = makeDsym(dir + "/" + appName, dir + "/" + appName + ".dSYM");
        if (!error.empty()) throw std::runtime_error("building the dSYM failed: " + error);
        dsym = dir + "/" + appName + ".dSYM";
    }
    stdfs::copy(dsym, app + "/" + appName + ".dSYM", stdfs::copy_options::recursive);
}

}  // namespace

std::vector<std::string> everyCodeKindItems(const std::string& appName) {
    return {"Assets.bundle",
            "PlugIns/" + appName + "Tests.xctest/Frameworks/T1.framework",
            "PlugIns/" + appName + "Tests.xctest/Frameworks/T2.framework",
            "PlugIns/" + appName + "Tests.xctest",
            "XPCServices/Helper.xpc",
            "helper",
            ""};
}

std::string otherTeamClaims(const std::string& bundleId, bool extension) {
    const std::string team = kOtherTeam;
    plist::Dict claims{{"application-identifier", team + "." + bundleId},
                       {"com.apple.developer.team-identifier", team},
                       {"get-task-allow", false},
                       {"com.apple.security.application-groups", plist::Array{"group.com.zyxwv.shared"}}};
    if (extension) {
        claims["keychain-access-groups"] = plist::Array{team + "." + bundleId};
    } else {
        claims["keychain-access-groups"] = plist::Array{team + "." + bundleId, team + ".com.zyxwv.shared"};
        claims["aps-environment"] = "development";
        claims["com.apple.developer.associated-domains"] = plist::Array{"applinks:zyxwv.example", "webcredentials:zyxwv.example"};
        claims["com.apple.developer.icloud-services"] = plist::Array{"CloudKit"};
        claims["com.apple.developer.icloud-container-identifiers"] = plist::Array{"iCloud.com.zyxwv.demo"};
        claims["com.apple.developer.ubiquity-kvstore-identifier"] = team + "." + bundleId;
    }
    return plist::toXml(plist::Value(claims));
}

std::string buildPackageTree(const std::string& root, const PackageSpec& shape) {
    const std::string app = root + "/Payload/" + shape.appName + ".app";
    stdfs::create_directories(app);

    std::vector<std::string> slices;
    for (const auto& arch : shape.executableArchs) {
        MachOSpec slice = executableSpec(shape.executablePadding);
        slice.arch = arch;
        slice.linkerArgs = shape.executableLinkerArgs;
        std::string key = "app-" + std::to_string(shape.executablePadding);
        for (const auto& argument : shape.executableLinkerArgs) key += "_" + argument;
        slices.push_back(cachedBinary(arch == "arm64" ? key : key + "-" + arch, slice));
    }
    if (slices.size() == 1) {
        copyBinary(slices.front(), app + "/" + shape.appName);
    } else {
        std::string fat = makeScratchDir("fat") + "/" + shape.appName;
        if (std::string error = makeFat(fat, slices); !error.empty()) throw std::runtime_error("lipo failed: " + error);
        copyBinary(fat, app + "/" + shape.appName);
        stdfs::remove_all(stdfs::path(fat).parent_path());
    }
    signWithClaims(app + "/" + shape.appName, shape.appClaims);
    for (const auto& [relative, bytes] : shape.appFiles) writeFile(app + "/" + relative, bytes);

    plist::Dict info{{"CFBundleExecutable", shape.appName},
                     {"CFBundleIdentifier", shape.bundleId},
                     {"CFBundleName", shape.appName},
                     {"CFBundlePackageType", "APPL"},
                     {"CFBundleShortVersionString", "1.2.3"},
                     {"CFBundleVersion", "42"},
                     {"LSRequiresIPhoneOS", true},
                     {"UIDeviceFamily", plist::Array{1, 2}},
                     {"CFBundleIcons", plist::Dict{{"CFBundlePrimaryIcon",
                                                    plist::Dict{{"CFBundleIconFiles", plist::Array{"Icon"}}}}}}};
    if (shape.displayName) info["CFBundleDisplayName"] = *shape.displayName;
    plist::Value infoValue(info);
    writeFile(app + "/Info.plist", shape.binaryInfoPlist ? plist::toBinary(infoValue) : plist::toXml(infoValue));

    if (shape.frameworks) {
        writeFramework(app + "/Frameworks/A.framework", "A");
        writeFramework(app + "/Frameworks/A.framework/Frameworks/Inner.framework", "Inner");
        copyBinary(dylib(), app + "/Frameworks/libX.dylib");
    }
    if (shape.versionedFramework) writeVersionedFramework(app + "/Frameworks/V.framework", "V");
    for (int i = 0; i < shape.extraFrameworks; ++i)
        writeFramework(app + "/Frameworks/F" + std::to_string(i) + ".framework", "F" + std::to_string(i));
    if (shape.appExtension) {
        const std::string appex = app + "/PlugIns/Share.appex";
        copyBinary(cachedBinary("app-0", executableSpec(0)), appex + "/Share");
        signWithClaims(appex + "/Share", shape.extensionClaims);
        writeFile(appex + "/Info.plist", bundleInfo("Share", shape.bundleId + ".share", "XPC!"));
        writeFramework(appex + "/Frameworks/S.framework", "S");
    }
    if (shape.watchApp) {
        // A watch-style nested application naming its companion, with its
        // own framework and an extension naming the watch application.
        const std::string watch = app + "/Watch/DemoWatch.app";
        const std::string watchId = shape.bundleId + ".watchkitapp";
        copyBinary(cachedBinary("app-0", executableSpec(0)), watch + "/DemoWatch");
        auto watchInfo = *plist::parse(bundleInfo("DemoWatch", watchId, "APPL"));
        (*watchInfo.asDict())["WKCompanionAppBundleIdentifier"] = shape.bundleId;
        (*watchInfo.asDict())["CFBundleDisplayName"] = "Watch Own Name";
        writeFile(watch + "/Info.plist", plist::toXml(watchInfo));
        writeFramework(watch + "/Frameworks/W.framework", "W");
        const std::string watchExtension = watch + "/PlugIns/DemoWatchExt.appex";
        copyBinary(cachedBinary("app-0", executableSpec(0)), watchExtension + "/DemoWatchExt");
        auto extensionInfo = *plist::parse(bundleInfo("DemoWatchExt", watchId + ".extension", "XPC!"));
        (*extensionInfo.asDict())["NSExtension"] =
            plist::Dict{{"NSExtensionAttributes", plist::Dict{{"WKAppBundleIdentifier", watchId}}},
                        {"NSExtensionPointIdentifier", "com.apple.watchkit"}};
        writeFile(watchExtension + "/Info.plist", plist::toXml(extensionInfo));
    }
    if (shape.everyCodeKind) writeEveryCodeKind(app, shape.appName, shape.helperClaims);
    if (shape.oldSignature) {
        std::string old = shape.oldProfileBytes;
        if (old.empty()) {
            pki::ProfileOptions options;
            options.name = "Old Profile";
            options.bundleId = shape.bundleId;
            old = pki::makeProfile(options);
        }
        writeFile(app + "/embedded.mobileprovision", old);
        writeFile(app + "/_CodeSignature/CodeResources", plist::toXml(plist::Value(plist::Dict{{"files", plist::Dict{}}})));
    }
    for (int i = 0; i < shape.resourceFiles; ++i) {
        // Distinct contents, so that the packer cannot take a short cut.
        std::string name = "res-" + std::to_string(i) + ".txt";
        std::string bytes = name + "\n";
        if (bytes.size() < shape.resourceBytes) bytes.append(shape.resourceBytes - bytes.size(), 'r');
        writeFile(app + "/Resources/" + name, bytes);
    }
    if (shape.topLevelEntries) {
        writeFile(root + "/iTunesMetadata.plist",
                  plist::toXml(plist::Value(plist::Dict{{"itemName", shape.appName}})));
        writeFile(root + "/SwiftSupport/iphoneos/libswiftDemo.dylib", "not a library\n");
    }
    return app;
}

void zipTree(const std::string& root, const std::string& ipaPath) {
    std::string output;
    stdfs::create_directories(stdfs::path(ipaPath).parent_path());
    if (run({"/usr/bin/zip", "-qry", stdfs::absolute(ipaPath).string(), "."}, &output, root) != 0)
        throw std::runtime_error("zip failed: " + output);
}

std::string buildPackage(const std::string& ipaPath, const PackageSpec& shape) {
    std::string root = makeScratchDir("package-tree");
    buildPackageTree(root, shape);
    zipTree(root, ipaPath);
    stdfs::remove_all(root);
    return ipaPath;
}

std::vector<std::string> archiveEntries(const std::string& ipaPath) {
    std::string output;
    if (run({"/usr/bin/unzip", "-Z1", ipaPath}, &output) != 0) throw std::runtime_error("unzip -Z1 failed: " + output);
    std::vector<std::string> names;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) names.push_back(line);
    return names;
}

std::string archiveEntry(const std::string& ipaPath, const std::string& entryName) {
    std::string output;
    if (run({"/usr/bin/unzip", "-p", ipaPath, entryName}, &output) != 0)
        throw std::runtime_error("no entry " + entryName + " in " + ipaPath);
    return output;
}

}  // namespace testkit
