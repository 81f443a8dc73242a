// Checking a bundle on disk against its resource seal.
#include "codesign/CodeResourcesParts.h"

namespace codesign {
namespace {

using namespace seal;

// ---- Verifying --------------------------------------------------------------

struct SealedEntry {
    const plist::Value* value = nullptr;
    bool seen = false;
};

bool isOptional(const plist::Value& entry) {
    const plist::Value* v = entry.get("optional");
    return v && v->asBool() && *v->asBool();
}

class SealChecker final : public WalkTarget {
public:
    SealChecker(const plist::Dict& files, RuleSet rules, bool version2, const ResourceSealOptions& options)
        : rules_(std::move(rules)),
          version2_(version2),
          mainExecutable_(normalisedExecutable(options.mainExecutable)),
          types_(selectionOf(options.hashTypes)) {
        sealed_.reserve(files.size());
        for (const auto& [path, value] : files) sealed_.emplace(path, SealedEntry{&value, false});
    }

    bool folder(const std::string& rel) override {
        if (implicitlyExcluded(rel, mainExecutable_)) return false;
        // A folder where a file or link was sealed.
        if (SealedEntry* e = find(rel)) {
            e->seen = true;
            report(ResourceProblem::Kind::Modified, rel);
        }
        return true;
    }

    void entry(int dirFd, const char* name, const std::string& rel, EntryKind kind) override {
        if (implicitlyExcluded(rel, mainExecutable_)) return;
        if (SealedEntry* e = find(rel)) {
            e->seen = true;
            if (!matches(*e->value, dirFd, name, rel, kind)) report(ResourceProblem::Kind::Modified, rel);
            return;
        }
        const Rule* rule = rules_.match(rel);
        if (!rule || rule->omit) return;
        // The first version of the seal never lists links.
        if (!version2_ && kind == EntryKind::Symlink) return;
        report(ResourceProblem::Kind::Added, rel);
    }

    void unreadableFolder(const std::string& rel, bool) override {
        // What lies inside cannot be checked: never let that pass as sound.
        report(ResourceProblem::Kind::Modified, rel);
    }

    std::vector<ResourceProblem> run(const std::string& bundleRoot) {
        root_ = trimmedRoot(bundleRoot);
        walkBundle(bundleRoot, *this);
        const std::vector<std::optional<FileDigests>> digests = jobs_.finish();
        for (size_t i = 0; i < hashed_.size(); ++i) {
            const Hashed& file = hashed_[i];
            const bool same = digests[i] && (!file.sha1 || digests[i]->sha1 == *file.sha1) &&
                              (!file.sha256 || digests[i]->sha256 == *file.sha256);
            if (!same) report(ResourceProblem::Kind::Modified, file.rel);
        }
        for (const auto& [path, e] : sealed_)
            if (!e.seen && !isOptional(*e.value)) report(ResourceProblem::Kind::Missing, path);
        std::sort(problems_.begin(), problems_.end(), [](const ResourceProblem& a, const ResourceProblem& b) {
            return a.absolutePath < b.absolutePath;
        });
        return std::move(problems_);
    }

private:
    SealedEntry* find(const std::string& rel) {
        auto it = sealed_.find(rel);
        return it == sealed_.end() ? nullptr : &it->second;
    }

    void report(ResourceProblem::Kind kind, const std::string& rel) {
        problems_.push_back(ResourceProblem{kind, joined(root_, rel)});
    }

    static const std::string* dataOf(const plist::Value* v) {
        if (!v) return nullptr;
        const plist::Data* d = v->asData();
        return d ? &d->bytes : nullptr;
    }

    // False when the entry does not match; a file to hash is opened and
    // left to the jobs, and judged once the walk is over.
    bool matches(const plist::Value& entry, int dirFd, const char* name, const std::string& rel, EntryKind kind) {
        const std::string* sha1 = nullptr;
        const std::string* sha256 = nullptr;
        if (const plist::Data* bare = entry.asData()) {
            sha1 = &bare->bytes;
        } else if (entry.asDict()) {
            if (const plist::Value* link = entry.get("symlink")) {
                const std::string* expected = link->asString();
                if (!expected || kind != EntryKind::Symlink) return false;
                auto target = readLinkAt(dirFd, name);
                return target && *target == *expected;
            }
            // Nested code recorded by its signature is not something this
            // seal check can confirm; it never passes unchecked.
            if (entry.get("cdhash")) return false;
            sha1 = dataOf(entry.get("hash"));
            sha256 = dataOf(entry.get("hash2"));
        } else {
            return false;
        }
        if (kind != EntryKind::Regular) return false;

        // The first version is SHA-1 throughout. The second carries one hash
        // per hash type of the signature, and every one of them must hold;
        // with no types given, every hash the entry has is checked.
        HashSelection want;
        if (!version2_) {
            want.sha1 = true;
        } else if (types_.empty()) {
            want.sha1 = sha1 != nullptr;
            want.sha256 = sha256 != nullptr;
        } else {
            want = types_;
        }
        if (want.empty()) return false;
        if ((want.sha1 && !sha1) || (want.sha256 && !sha256)) return false;
        uint64_t size = 0;
        const int fd = FileHasher::openRegular(dirFd, name, &size);
        if (fd < 0) return false;
        jobs_.add(fd, size, want.sha1, want.sha256);
        hashed_.push_back(Hashed{rel, want.sha1 ? sha1 : nullptr, want.sha256 ? sha256 : nullptr});
        return true;
    }

    // A sealed file waiting for its digests, and those it must have.
    struct Hashed {
        std::string rel;
        const std::string* sha1;
        const std::string* sha256;
    };

    RuleSet rules_;
    bool version2_;
    std::string mainExecutable_;
    HashSelection types_;
    HashJobs jobs_;
    std::vector<Hashed> hashed_;
    std::unordered_map<std::string, SealedEntry> sealed_;
    std::string root_;
    std::vector<ResourceProblem> problems_;
};

// A problem standing for a seal that cannot be read at all, for callers that
// do not ask about malformed seals: an empty answer would read as success.
std::vector<ResourceProblem> unreadableSeal(const std::string& bundleRoot) {
    return {ResourceProblem{ResourceProblem::Kind::Modified, joined(trimmedRoot(bundleRoot), "_CodeSignature/CodeResources")}};
}

}  // namespace

platform::Result<std::vector<ResourceProblem>> verifyCodeResources(const std::string& bundleRoot,
                                                                   std::string_view codeResources,
                                                                   const ResourceSealOptions& options) {
    try {
        CLocaleScope locale;
        auto fail = [] {
            return platform::Error(platform::ErrorKind::Malformed, "the resource seal cannot be read");
        };
        std::optional<plist::Value> seal = plist::parse(codeResources);
        if (!seal || !seal->asDict()) return fail();
        const plist::Value* files = seal->get("files");
        const plist::Value* rules = seal->get("rules");
        const plist::Value* files2 = seal->get("files2");
        const plist::Value* rules2 = seal->get("rules2");
        if (!files || !rules || !files->asDict() || !rules->asDict()) return fail();
        if ((files2 != nullptr) != (rules2 != nullptr)) return fail();
        const bool version2 = files2 != nullptr;
        if (version2 && (!files2->asDict() || !rules2->asDict())) return fail();

        RuleSet ruleSet;
        if (!readRules(*(version2 ? rules2 : rules)->asDict(), &ruleSet)) return fail();
        SealChecker checker(*(version2 ? files2 : files)->asDict(), std::move(ruleSet), version2, options);
        return checker.run(bundleRoot);
    } catch (const std::exception&) {
        return unreadableSeal(bundleRoot);
    }
}

}  // namespace codesign
