// The package workspace: construction, the work directory, unpacking, finding
// the application, and the read-only queries on the unpacked application.
#include "engine/QFAppPackageHandler.h"

#include <chrono>

#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"
#include "platform/plist.h"
#include "profile/QFProvisioningProfile.h"
#include "support/QFDateFormatterUtil.h"
#include "system/QFFileHelper.h"
#include "system/QFRepack.h"
#include "system/QFUnpackedTree.h"

namespace fs = platform::fs;
namespace path = platform::path;

namespace {

// The folder of one package under "resign"/"unzip". A name made only of dots
// would climb out of that folder, so it gets a plain stand-in.
std::string packageFolderName(const std::string& packagePath) {
    std::string name = path::deletingPathExtension(path::lastPathComponent(packagePath));
    if (name.empty() || name == "." || name == "..") return "package";
    return name;
}

std::optional<platform::plist::Value> readPropertyList(const std::string& file) {
    auto bytes = fs::readFile(file);
    if (!bytes) return std::nullopt;
    return platform::plist::parse(*bytes);
}

}  // namespace

QFAppPackageHandler::~QFAppPackageHandler() {
    // That work hashes with OpenSSL, which a process tears down at exit.
    QFWaitForCompressedAhead(compressedAhead);
}

std::shared_ptr<QFAppPackageHandler> QFAppPackageHandler::initWithPackagePath(std::string packagePath) {
    return std::shared_ptr<QFAppPackageHandler>(new QFAppPackageHandler(std::move(packagePath)));
}

QFAppPackageHandler::QFAppPackageHandler(std::string packagePath) : _packagePath(std::move(packagePath)) {
    // Without a private temporary folder there is nowhere safe to unpack:
    // workPath stays empty and unpacking fails.
    auto cache = cacheFolderPath();
    if (!cache) return;
    auto stamp = QFDateFormatterUtil::sharedFormatter().timestampForDate(std::chrono::system_clock::now());
    std::string work = path::appendingPathComponent(*cache, "unzip");
    work = path::appendingPathComponent(work, packageFolderName(_packagePath));
    _workPath = path::appendingPathComponent(work, stamp.value_or(""));
}

std::optional<std::string> QFAppPackageHandler::cacheFolderPath() {
    auto temporary = platform::folders::temporaryDirectory();
    if (!temporary) return std::nullopt;
    return path::appendingPathComponent(*temporary, "resign");
}

// MARK: properties

std::string QFAppPackageHandler::entitlementsPath() const {
    return path::appendingPathComponent(workPath(), "Entitlements.plist");
}

std::string QFAppPackageHandler::packagePath() const {
    std::lock_guard<std::mutex> g(pathsLock);
    return _packagePath;
}
void QFAppPackageHandler::setPackagePath(std::string value) {
    std::lock_guard<std::mutex> g(pathsLock);
    _packagePath = std::move(value);
}
std::string QFAppPackageHandler::workPath() const {
    std::lock_guard<std::mutex> g(pathsLock);
    return _workPath;
}
void QFAppPackageHandler::setWorkPath(std::string value) {
    std::lock_guard<std::mutex> g(pathsLock);
    _workPath = std::move(value);
}
std::string QFAppPackageHandler::appPath() const {
    std::lock_guard<std::mutex> g(pathsLock);
    return _appPath;
}
void QFAppPackageHandler::setAppPath(std::string value) {
    std::lock_guard<std::mutex> g(pathsLock);
    _appPath = std::move(value);
}

// MARK: unpacking

void QFAppPackageHandler::unzipIpa(std::function<void()> success, ErrorBlock error) {
    if (path::toLower(path::pathExtension(packagePath())) != "ipa") {
        if (error) error("This file extension is not .ipa");
        return;
    }
    const std::string work = workPath();
    if (work.empty()) {
        if (error) error("unzip failure");
        return;
    }
    fs::removeItem(work);
    fs::createDirectory(work);
    unpackedTree.reset();
    auto self = shared_from_this();
    QFFileHelper::sharedInstance().unzipRecording(packagePath(), work, [self, success, error](
                                                                      bool unpacked, std::shared_ptr<const QFUnpackedTree> tree) {
        if (unpacked) {
            self->unpackedTree = std::move(tree);
            self->setAppPath();
            // A package without an application has nothing to re-sign, and
            // its queries would only answer placeholders.
            if (auto refusal = self->openingRefusal()) {
                self->unpackedTree.reset();
                self->removeWorkDirectory();
                if (error) error(*refusal);
                return;
            }
            if (success) success();
        } else {
            self->unpackedTree.reset();
            self->removeWorkDirectory();
            if (error) error("unzip failure");
        }
    });
}

void QFAppPackageHandler::setAppPath() {
    const std::string payload = path::appendingPathComponent(workPath(), "Payload");
    for (const auto& entry : fs::contentsOfDirectory(payload)) {
        if (path::toLower(path::pathExtension(entry)) == "app") {
            setAppPath(path::appendingPathComponent(payload, entry));
            return;
        }
    }
}

std::optional<std::string> QFAppPackageHandler::openingRefusal() const {
    const std::string package = path::lastPathComponent(packagePath());
    const std::string app = appPath();
    if (app.empty())
        return "The package " + package +
               " holds no application (no folder Payload/NAME.app): it is not an app package. Choose an .ipa "
               "exported from an application.";
    if (!fs::fileExists(path::appendingPathComponent(app, "Info.plist")))
        return "The application " + path::lastPathComponent(app) + " in the package " + package +
               " has no Info.plist: the package is damaged. Choose an .ipa exported from an application.";
    return std::nullopt;
}

bool QFAppPackageHandler::removeWorkDirectory() {
    const std::string work = workPath();
    if (work.empty() || !fs::fileExists(work)) return false;
    return fs::removeItem(work);
}

bool QFAppPackageHandler::removeCodeSignatureDirectory() {
    const std::string app = appPath();
    if (app.empty()) return true;  // no application: nothing to remove
    const std::string signature = path::appendingPathComponent(app, "_CodeSignature");
    if (!fs::fileExists(signature) && !fs::isSymlink(signature)) return true;
    return fs::removeItem(signature);
}

// MARK: queries

std::optional<std::string> QFAppPackageHandler::getEmbeddedProvisioningProfilePath() {
    const std::string app = appPath();
    if (app.empty()) return std::nullopt;
    std::optional<std::string> found;
    for (const auto& entry : fs::contentsOfDirectory(app)) {
        const std::string extension = path::pathExtension(entry);  // case matters here
        if (extension == "mobileprovision" || extension == "provisionprofile") found = app + "/" + entry;
    }
    return found;
}

std::optional<std::string> QFAppPackageHandler::infoPlistPath() const {
    const std::string app = appPath();
    if (app.empty()) return std::nullopt;
    return path::appendingPathComponent(app, "Info.plist");
}

std::string QFAppPackageHandler::bundleDisplayName() {
    auto file = infoPlistPath();
    if (!file || !fs::fileExists(*file)) return "Not found info.plist";
    auto info = readPropertyList(*file);
    const platform::plist::Value* name = info ? info->get("CFBundleDisplayName") : nullptr;
    if (!name || !name->asString()) return "Not key is \"CFBundleDisplayName\" in the info.plist";
    return *name->asString();
}

std::optional<std::string> QFAppPackageHandler::bundleID() {
    auto file = infoPlistPath();
    if (!file || !fs::fileExists(*file)) return "Not found info.plist";
    auto info = readPropertyList(*file);
    const platform::plist::Value* identifier = info ? info->get("CFBundleIdentifier") : nullptr;
    if (!identifier || !identifier->asString()) return std::nullopt;
    return *identifier->asString();
}

std::shared_ptr<QFProvisioningProfile> QFAppPackageHandler::embeddedMobileprovision() {
    if (!_embeddedMobileprovision)
        _embeddedMobileprovision = std::make_shared<QFProvisioningProfile>(getEmbeddedProvisioningProfilePath());
    return _embeddedMobileprovision;
}

// MARK: reporting

void QFAppPackageHandler::reportLog(const std::string& message) {
    if (auto log = logLocalBlock) log(message);
}

void QFAppPackageHandler::reportError(const std::string& message) {
    if (auto error = errorLocalBlock) error(message);
}

void QFAppPackageHandler::reportSuccess(const std::string& message) {
    if (auto success = successLocalBlock) success(message);
}
