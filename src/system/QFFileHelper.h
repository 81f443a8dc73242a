#pragma once
// The one shared object through which the system meets the machine: which
// tools are present, which signing identities the keychain holds, which
// profiles are installed, and packing and unpacking archives.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/result.h"

class QFProvisioningProfile;
struct QFUnpackedTree;
class QFCompressedAhead;

class QFFileHelper {
public:
    static QFFileHelper& sharedInstance();

    const std::vector<std::string>& provisionExtensions() const { return _provisionExtensions; }

    // Launch paths of the missing tools, in the order zip, unzip, codesign.
    std::vector<std::string> lackSupportUtility();

    // Later, on the main queue: success with the identity names, or error with
    // "There aren't Signign Certificates", or neither when the tool printed
    // nothing; never both.
    void getCertificatesSuccess(std::function<void(std::vector<std::string>)> success,
                                std::function<void(std::string)> error);

    // Installed profiles under ~/Library/MobileDevice/Provisioning Profiles,
    // sorted by name (plain byte comparison).
    std::vector<std::shared_ptr<QFProvisioningProfile>> getProvisioningProfiles();
    // The folder of installed profiles: ~/Library/MobileDevice/Provisioning Profiles.
    static std::string provisioningProfilesFolder();
    // Copies a profile file into that folder (made, mode 0700, when missing)
    // as UUID.mobileprovision, replacing an earlier copy of the same profile.
    // The installed file's path, or the line to show when it is not a
    // profile or cannot be copied.
    platform::Result<std::string> installProvisioningProfile(const std::string& file);

    // complete(true/false) once, on the main queue (at once, on the calling
    // thread, for an archive that does not exist).
    void unzip(const std::string& archivePath, const std::string& toPath, std::function<void(bool)> complete);
    // As unzip, and on success also the record of the unpacked tree that
    // zipChanges packs from (nothing when it cannot be made).
    void unzipRecording(const std::string& archivePath, const std::string& toPath,
                        std::function<void(bool, std::shared_ptr<const QFUnpackedTree>)> complete);
    void zip(const std::string& directoryPath, const std::string& toPath, std::function<void(bool)> complete);
    // As zip, but builds the archive from the package the directory was
    // unpacked from, packing again only the files that changed since; falls
    // back to zip when that package cannot serve. The result holds exactly
    // the directory, as zip's would.
    // ahead: binaries compressed while the run still signed (QFCompressAhead).
    void zipChanges(const std::string& directoryPath, std::shared_ptr<const QFUnpackedTree> unpacked,
                    const std::string& toPath, std::function<void(bool)> complete,
                    std::shared_ptr<QFCompressedAhead> ahead = nullptr);

private:
    QFFileHelper();
    // unzip and unzipRecording; record: capture the unpacked tree.
    void unpack(const std::string& archivePath, const std::string& toPath, bool record,
                std::function<void(bool, std::shared_ptr<const QFUnpackedTree>)> complete);
    // zipChanges by the packing tool alone, which copies from the old
    // package what it takes for unchanged.
    void zipFileSync(const std::string& directoryPath, std::shared_ptr<const QFUnpackedTree> unpacked,
                     const std::string& toPath, std::function<void(bool)> complete);
    std::vector<std::string> _provisionExtensions;
};
