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
        ++seen_;
        if (implicitlyExcluded(rel, mainExecutable_)) return;
        const Rule* rule = rules_.match(rel);
        const Rule* rule2 = rules2_.match(rel);
        const bool inFiles = rule && !rule->omit && kind == EntryKind::Regular;
        const bool inFiles2 = rule2 && !rule2->omit;
        if (!inFiles && !inFiles2) return;
        if (!sealableText(rel)) return fail("a file name cannot be sealed: " + rel);

        switch (kind) {
        case EntryKind::Regular: {
            // Opened now, hashed by the jobs; recorded once the walk is over.
            uint64_t size = 0;
            const int fd = FileHasher::openRegular(dirFd, name, &size);
            if (fd < 0) return fail("cannot read " + rel);
            jobs_.add(fd, size, true, inFiles2 && types_.sha256);
            hashed_.push_back(Hashed{rel, seen_, inFiles, inFiles && rule->optional, inFiles2,
                                     inFiles2 && rule2->optional});
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
        ++seen_;
        if (tooDeep) fail("folders nested too deeply at " + rel);
        else fail(rel.empty() ? std::string("cannot read the bundle folder") : "cannot read the folder " + rel);
    }

    bool stopped() const override { return !error_.empty(); }

    platform::Result<std::string> run(const std::string& bundleRoot) {
        if (types_.empty()) return platform::Error("no hash type given for the resource seal");
        if (!jobs_.usable()) return platform::Error("hashing is not available");
        walkBundle(bundleRoot, *this);
        const std::vector<std::optional<FileDigests>> digests = jobs_.finish();
        for (size_t i = 0; i < hashed_.size(); ++i) {
            const Hashed& file = hashed_[i];
            if (!digests[i]) {
                // An unreadable file met before the walk stopped is the one told.
                if (error_.empty() || file.order < errorOrder_) {
                    error_ = "cannot read " + file.rel;
                    errorOrder_ = file.order;
                }
                continue;
            }
            if (file.inFiles) {
                plist::Value hash{plist::Data{digests[i]->sha1}};
                if (file.optional) files_.emplace(file.rel, plist::Dict{{"hash", hash}, {"optional", true}});
                else files_.emplace(file.rel, std::move(hash));
            }
            if (file.inFiles2) {
                plist::Dict d;
                if (types_.sha1) d.emplace("hash", plist::Data{digests[i]->sha1});
                if (types_.sha256) d.emplace("hash2", plist::Data{digests[i]->sha256});
                if (file.optional2) d.emplace("optional", true);
                files2_.emplace(file.rel, std::move(d));
            }
        }
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
        if (!error_.empty()) return;
        error_ = std::move(message);
        errorOrder_ = seen_;
    }

    // A regular file of the seal, waiting for its digests.
    struct Hashed {
        std::string rel;
        size_t order;  // its place in the walk
        bool inFiles, optional, inFiles2, optional2;
    };

    std::string mainExecutable_;
    HashSelection types_;
    RuleSet rules_;
    RuleSet rules2_;
    HashJobs jobs_;
    std::vector<Hashed> hashed_;
    size_t seen_ = 0;
    plist::Dict files_;
    plist::Dict files2_;
    std::string error_;
    size_t errorOrder_ = 0;
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
