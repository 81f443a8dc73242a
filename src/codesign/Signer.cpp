#include "codesign/Signer.h"

#include <filesystem>

#include "codesign/Bundle.h"
#include "codesign/CodeResources.h"
#include "codesign/DerEntitlements.h"
#include "codesign/MachOSigner.h"
#include "codesign/Requirements.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/plist.h"

namespace codesign {

namespace {

SignResult failure(std::string text) {
    SignResult result;
    result.error = std::move(text);
    return result;
}

platform::Result<> loadEntitlements(const std::string& path, SigningContext& context) {
    auto bytes = platform::fs::readFile(path);
    if (!bytes) return platform::Error(platform::ErrorKind::Io, "cannot read entitlement data from " + path);
    auto parsed = platform::plist::parse(*bytes);
    if (!parsed || !parsed->asDict())
        return platform::Error(platform::ErrorKind::Malformed, "failed to parse entitlements from " + path);
    auto der = derEntitlements(*parsed->asDict());
    if (!der) return platform::Error(der.kind(), "invalid entitlements in " + path + ": " + der.text());
    // An XML file is carried as its own bytes; any other property list form is
    // carried as the XML it reads as.
    const bool isXml = bytes->find("<plist") != std::string::npos && bytes->rfind("bplist", 0) != 0;
    context.entitlementsXml = isXml ? *bytes : platform::plist::toXml(*parsed);
    context.entitlementsDer = std::move(*der);
    context.entitlements = *parsed->asDict();
    return {};
}

}  // namespace

ChainFacts chainFactsFor(const CmsSigner& signer) {
    ChainFacts facts;
    const auto& chain = signer.chainFacts();
    facts.length = 1 + chain.size();
    facts.leafCommonName = signer.leafFacts().commonName;
    facts.leafSha1 = signer.leafFacts().sha1;
    if (!chain.empty()) {
        facts.issuerHasWwdrMarker = chain.front().hasWwdrMarker;
        if (chain.back().selfSigned) {
            facts.chainEndsAtRoot = true;
            facts.anchorSha1 = chain.back().sha1;
        }
    }
    return facts;
}

SignResult signItem(const SignRequest& request) {
    std::optional<BundleInfo> bundle;
    std::string binaryPath = request.path;
    if (platform::fs::isDirectory(request.path)) {
        auto read = readBundle(request.path);
        if (!read) return failure(read.text());
        bundle = std::move(*read);
        if (auto problem = versionedLayoutProblem(*bundle)) return failure("cannot sign the framework: " + *problem);
        binaryPath = bundle->executablePath;
    }
    auto binary = prepareBinary(binaryPath);
    if (!binary) {
        if (!platform::fs::fileExists(binaryPath)) return failure("No such file or directory");
        if (binary.kind() == platform::ErrorKind::NotMachO)
            return failure(bundle ? "main executable is not a Mach-O binary" : "not a Mach-O binary");
        return failure((bundle ? "main executable is malformed: " : "malformed Mach-O file: ") + binary.text());
    }
    // A binary reached through a symbolic link is replaced where it lives;
    // the link stays a link.
    std::string target = binaryPath;
    if (platform::fs::isSymlink(binaryPath)) {
        std::error_code ec;
        auto resolved = std::filesystem::canonical(binaryPath, ec);
        if (ec) return failure("cannot resolve " + binaryPath);
        target = resolved.string();
    }
    SignResult result;
    if (binary->existing == ExistingSignature::Signed || binary->existing == ExistingSignature::Invalid) {
        if (!request.force) return failure("is already signed");
        result.replaced = binary->existing == ExistingSignature::Signed ? SignResult::Replaced::Existing
                                                                        : SignResult::Replaced::Invalid;
    }

    SigningContext context;
    context.identity = request.identity ? &*request.identity : nullptr;
    std::unique_ptr<CmsSigner> signer;
    if (request.identity) {
        auto created = CmsSigner::create(*request.identity);
        if (!created) return failure(created.text());
        signer = std::move(*created);
        context.signer = signer.get();
    }
    if (bundle) {
        context.identifier = bundle->identifier;
    } else if (binary->existing == ExistingSignature::Signed && !binary->existingIdentifier.empty()) {
        // A re-signed bare library keeps the name it was signed under.
        context.identifier = binary->existingIdentifier;
    } else {
        context.identifier = identifierFromFileName(platform::path::lastPathComponent(target));
    }
    if (signer) {
        context.teamId = signer->leafFacts().organizationalUnit;
        context.requirements = requirementsSet(designatedRequirement(context.identifier, chainFactsFor(*signer)));
    } else {
        context.requirements = requirementsSet(std::nullopt);
    }
    if (request.entitlementsPath && binary->isMainExecutable()) {
        if (auto loaded = loadEntitlements(*request.entitlementsPath, context); !loaded) return failure(loaded.text());
    }

    // Every write is staged first and committed together at the end: a
    // failure anywhere leaves the item on disk exactly as it was.
    std::optional<std::string> codeResources;
    ReplacementFile sealFile;
    if (bundle) {
        ResourceSealOptions seal;
        seal.hashTypes = binary->hashTypes();
        seal.mainExecutable = bundle->executableName;
        auto built = buildCodeResources(bundle->contents, seal);
        if (!built) return failure("cannot seal the bundle's resources: " + built.text());
        codeResources = std::move(*built);
        context.infoPlist = bundle->infoPlistBytes;
        context.codeResources = codeResources;

        const std::string sealPath = codeResourcesPath(*bundle);
        const std::string folder = platform::path::deletingLastPathComponent(sealPath);
        const bool folderThere = platform::fs::isDirectory(folder) && !platform::fs::isSymlink(folder);
        if (!folderThere && (platform::fs::isSymlink(folder) || platform::fs::fileExists(folder)))
            return failure("cannot write the resource seal: " + folder + " is not a folder");
        if (platform::fs::isSymlink(sealPath) || platform::fs::isDirectory(sealPath))
            return failure("cannot write the resource seal: " + sealPath + " is not a file");
        // A missing _CodeSignature folder is made only when the seal is committed.
        if (!sealFile.create(sealPath, 0644, folderThere ? std::string() : bundle->contents) ||
            !sealFile.write(0, *codeResources))
            return failure("cannot write the resource seal");
    }

    ReplacementFile out;
    if (!out.create(target, binary->input.mode())) return failure("cannot write beside " + target);
    if (auto written = writeSignedBinary(*binary, context, out); !written) return failure(written.text());
    std::vector<ReplacementFile*> staged;
    if (bundle) staged.push_back(&sealFile);
    staged.push_back(&out);
    if (!commitTogether(staged)) return failure("cannot replace " + target);

    result.ok = true;
    result.identifier = context.identifier;
    const std::string machoFormat = binary->file.formatName();
    result.format = bundle ? bundleFormat(*bundle, machoFormat) : machoFormat;
    return result;
}

}  // namespace codesign
