// Building the resource seal of a bundle.
#include "codesign/CodeResourcesParts.h"

namespace codesign {
namespace {

using namespace seal;

// ---- Building ---------------------------------------------------------------

class SealBuilder final : public WalkTarget {
public:
    explicit SealBuilder(const ResourceSealOptions& options)
        : mainExecutable_(normalisedExecutable(options.mainExecutable)),
          types_(selectionOf(options.hashTypes)),
          rules_(defaultRuleSet(kDefaultRules, std::size(kDefaultRules))),
          rules2_(defaultRuleSet(kDefaultRules2, std::size(kDefaultRules2))) {}

    bool folder(const std::string& rel) override { return !implicitlyExcluded(rel, mainExecutable_); }

    void entry(int dirFd, const char* name, const std::string& rel, EntryKind kind) override {
        if (implicitlyExcluded(rel, mainExecutable_)) return;
        const Rule* rule = rules_.match(rel);
        const Rule* rule2 = rules2_.match(rel);
        const bool inFiles = rule && !rule->omit && kind == EntryKind::Regular;
        const bool inFiles2 = rule2 && !rule2->omit;
        if (!inFiles && !inFiles2) return;
        if (!sealableText(rel)) return fail("a file name cannot be sealed: " + rel);

        switch (kind) {
        case EntryKind::Regular: {
            auto digests = hasher_.hash(dirFd, name, true, inFiles2 && types_.sha256);
            if (!digests) return fail("cannot read " + rel);
            if (inFiles) {
                plist::Value hash{plist::Data{digests->sha1}};
                if (rule->optional) files_.emplace(rel, plist::Dict{{"hash", hash}, {"optional", true}});
                else files_.emplace(rel, std::move(hash));
            }
            if (inFiles2) {
                plist::Dict d;
                if (types_.sha1) d.emplace("hash", plist::Data{digests->sha1});
                if (types_.sha256) d.emplace("hash2", plist::Data{digests->sha256});
                if (rule2->optional) d.emplace("optional", true);
                files2_.emplace(rel, std::move(d));
            }
            break;
        }
        case EntryKind::Symlink: {
            auto target = readLinkAt(dirFd, name);
            if (!target) return fail("cannot read the link " + rel);
            if (!sealableText(*target)) return fail("a link target cannot be sealed: " + rel);
            files2_.emplace(rel, plist::Dict{{"symlink", *target}});
            break;
        }
        case EntryKind::Other:
            return fail("cannot seal " + rel + ": not a file, folder or symbolic link");
        case EntryKind::Unreadable:
            return fail("cannot read " + rel);
        }
    }

    void unreadableFolder(const std::string& rel, bool tooDeep) override {
        if (tooDeep) fail("folders nested too deeply at " + rel);
        else fail(rel.empty() ? std::string("cannot read the bundle folder") : "cannot read the folder " + rel);
    }

    bool stopped() const override { return !error_.empty(); }

    platform::Result<std::string> run(const std::string& bundleRoot) {
        if (types_.empty()) return platform::Error("no hash type given for the resource seal");
        if (!hasher_.usable()) return platform::Error("hashing is not available");
        walkBundle(bundleRoot, *this);
        if (!error_.empty()) return platform::Error(error_);
        plist::Dict top;
        top.emplace("files", std::move(files_));
        top.emplace("files2", std::move(files2_));
        top.emplace("rules", rulesDict(kDefaultRules, std::size(kDefaultRules)));
        top.emplace("rules2", rulesDict(kDefaultRules2, std::size(kDefaultRules2)));
        return plist::toXml(plist::Value(std::move(top)));
    }

private:
    void fail(std::string message) {
        if (error_.empty()) error_ = std::move(message);
    }

    std::string mainExecutable_;
    HashSelection types_;
    RuleSet rules_;
    RuleSet rules2_;
    FileHasher hasher_;
    plist::Dict files_;
    plist::Dict files2_;
    std::string error_;
};

}  // namespace

platform::Result<std::string> buildCodeResources(const std::string& bundleRoot, const ResourceSealOptions& options) {
    try {
        CLocaleScope locale;
        SealBuilder builder(options);
        return builder.run(bundleRoot);
    } catch (const std::exception&) {
        return platform::Error("out of memory while sealing the bundle resources");
    }
}

}  // namespace codesign
