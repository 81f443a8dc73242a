#include "codesign/CodeResources.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "platform/plist.h"
#include "platform/owned.h"

namespace codesign {
namespace {

namespace plist = platform::plist;

// ---- Rules ------------------------------------------------------------------

struct RuleSpec {
    const char* pattern;
    double weight;
    bool omit;
    bool optional;
};

// The default rules of a flat (iOS) bundle.
constexpr RuleSpec kDefaultRules[] = {
    {"^version.plist$", 1, false, false},
    {"^.*", 1, false, false},
    {"^.*\\.lproj/", 1000, false, true},
    {"^Base\\.lproj/", 1010, false, false},
    {"^.*\\.lproj/locversion.plist$", 1100, true, false},
};

constexpr RuleSpec kDefaultRules2[] = {
    {"^.*", 1, false, false},
    {".*\\.dSYM($|/)", 11, false, false},
    {"^(.*/)?\\.DS_Store$", 2000, true, false},
    {"^Info\\.plist$", 20, true, false},
    {"^version\\.plist$", 20, false, false},
    {"^embedded\\.provisionprofile$", 20, false, false},
    {"^PkgInfo$", 20, true, false},
    {"^.*\\.lproj/", 1000, false, true},
    {"^Base\\.lproj/", 1010, false, false},
    {"^.*\\.lproj/locversion.plist$", 1100, true, false},
};

struct RegexFree {
    void operator()(regex_t* re) const {
        regfree(re);
        delete re;
    }
};

struct Rule {
    std::string pattern;
    double weight = 1;
    bool omit = false;
    bool optional = false;
    bool nested = false;
    std::unique_ptr<regex_t, RegexFree> regex;
};

// An ordered set of rules: the matching rule of highest weight wins, and of
// rules of equal weight the one given first.
class RuleSet {
public:
    // False when the pattern is not a usable extended regular expression.
    bool add(std::string pattern, double weight, bool omit, bool optional, bool nested) {
        auto re = std::make_unique<regex_t>();
        if (regcomp(re.get(), pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
        Rule rule;
        rule.pattern = std::move(pattern);
        rule.weight = weight;
        rule.omit = omit;
        rule.optional = optional;
        rule.nested = nested;
        rule.regex.reset(re.release());
        // Keep the rules sorted by falling weight so that the first match wins.
        auto at = std::upper_bound(rules_.begin(), rules_.end(), weight,
                                   [](double w, const Rule& r) { return w > r.weight; });
        rules_.insert(at, std::move(rule));
        return true;
    }

    const Rule* match(const std::string& relativePath) const {
        for (const Rule& rule : rules_)
            if (regexec(rule.regex.get(), relativePath.c_str(), 0, nullptr, 0) == 0) return &rule;
        return nullptr;
    }

private:
    std::vector<Rule> rules_;
};

RuleSet defaultRuleSet(const RuleSpec* specs, size_t count) {
    RuleSet set;
    for (size_t i = 0; i < count; ++i) set.add(specs[i].pattern, specs[i].weight, specs[i].omit, specs[i].optional, false);
    return set;
}

plist::Dict rulesDict(const RuleSpec* specs, size_t count) {
    plist::Dict out;
    for (size_t i = 0; i < count; ++i) {
        const RuleSpec& s = specs[i];
        if (!s.omit && !s.optional && s.weight == 1) {
            out.emplace(s.pattern, plist::Value(true));
            continue;
        }
        plist::Dict d;
        if (s.omit) d.emplace("omit", plist::Value(true));
        if (s.optional) d.emplace("optional", plist::Value(true));
        d.emplace("weight", plist::Value(s.weight));
        out.emplace(s.pattern, plist::Value(std::move(d)));
    }
    return out;
}

// Reads a "rules"/"rules2" dictionary of a seal. False when a rule is not
// understood; a seal we cannot read the rules of cannot be checked.
// Whether a rule's pattern is one the matcher handles in bounded time. Seals
// come from the package: a hostile pattern must not stall verification.
// Back-references make matching exponential, and interval repetitions
// ("{m,n}") are expanded by the regular-expression compiler, so nesting a few
// of them takes it minutes; the rule language uses neither (a literal brace
// can still be written escaped or in a bracket expression). Matching costs
// up to the pattern's length times the path's for every unsealed file, and
// most of that comes from repetitions: real rules are short (the longest
// default one has 113 characters) and repeat two or three times at most.
bool boundedPattern(std::string_view pattern) {
    constexpr size_t kMaxPattern = 160;
    constexpr int kMaxRepetitions = 16;
    if (pattern.empty() || pattern.size() > kMaxPattern) return false;
    int repetitions = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if ((c == '*' || c == '+' || c == '?') && ++repetitions > kMaxRepetitions) return false;
        if (c == '\\') {
            if (i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return false;
            ++i;
        } else if (c == '{') {
            return false;
        } else if (c == '[') {
            // A bracket expression: "]" first is literal, "[:name:]" and its
            // kin end at their own closing pair.
            size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '^') ++j;
            if (j < pattern.size() && pattern[j] == ']') ++j;
            for (;; ++j) {
                if (j >= pattern.size()) return false;
                if (pattern[j] == ']') break;
                if (pattern[j] == '[' && j + 1 < pattern.size() &&
                    (pattern[j + 1] == ':' || pattern[j + 1] == '.' || pattern[j + 1] == '=')) {
                    const char close[] = {pattern[j + 1], ']', '\0'};
                    const size_t end = pattern.find(close, j + 2);
                    if (end == std::string_view::npos) return false;
                    j = end + 1;
                }
            }
            i = j;
        }
    }
    return true;
}

bool readRules(const plist::Dict& dict, RuleSet* set) {
    constexpr size_t kMaxRules = 32;  // the default sets hold a dozen
    if (dict.size() > kMaxRules) return false;
    for (const auto& [pattern, value] : dict) {
        if (!boundedPattern(pattern)) return false;
        double weight = 1;
        bool omit = false, optional = false, nested = false;
        if (const bool* b = value.asBool()) {
            if (!*b) return false;
        } else if (const plist::Dict* d = value.asDict()) {
            for (const auto& [key, v] : *d) {
                if (key == "weight") {
                    if (const double* r = v.asReal()) weight = *r;
                    else if (const int64_t* i = v.asInteger()) weight = static_cast<double>(*i);
                    else return false;
                    if (!std::isfinite(weight)) return false;
                } else if (key == "omit" || key == "optional" || key == "nested") {
                    const bool* flag = v.asBool();
                    if (!flag) return false;
                    (key == "omit" ? omit : key == "optional" ? optional : nested) = *flag;
                }
                // Other keys carry nothing the check depends on.
            }
        } else {
            return false;
        }
        if (!set->add(pattern, weight, omit, optional, nested)) return false;
    }
    return true;
}

// Paths never sealed whatever the rules say: the seal itself and the main
// executable, which carries the signature that seals the rest.
bool implicitlyExcluded(const std::string& rel, const std::string& mainExecutable) {
    return rel == "_CodeSignature" || rel == "CodeResources" || rel == "_MASReceipt" ||
           (!mainExecutable.empty() && rel == mainExecutable);
}

std::string normalisedExecutable(std::string path) {
    while (path.size() >= 2 && path.compare(0, 2, "./") == 0) path.erase(0, 2);
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return path;
}

// Whether a name or link target can be written into the seal and read back
// unchanged: well-formed UTF-8 without control characters.
bool sealableText(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20) return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
        else return false;
        if (i + len > s.size()) return false;
        for (size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        if (cp == 0xFFFE || cp == 0xFFFF) return false;
        i += len;
    }
    return true;
}

// ---- Hashing ----------------------------------------------------------------


struct FileDigests {
    std::string sha1;
    std::string sha256;
};

// Hashes files in one streaming pass per file, SHA-1 and SHA-256 side by side.
class FileHasher {
public:
    FileHasher()
        : buffer_(size_t{1} << 16),
          sha1_(EVP_MD_fetch(nullptr, "SHA1", nullptr)),
          sha256_(EVP_MD_fetch(nullptr, "SHA256", nullptr)),
          ctx1_(EVP_MD_CTX_new()),
          ctx256_(EVP_MD_CTX_new()) {}

    bool usable() const { return sha1_ && sha256_ && ctx1_ && ctx256_; }

    // The digests of the regular file `name` in the folder dirFd; nothing when
    // it is not (or no longer) a regular file or cannot be read. Links are
    // never followed and opening never blocks on a pipe put in its place.
    std::optional<FileDigests> hash(int dirFd, const char* name, bool wantSha1, bool wantSha256) {
        if (!usable()) return std::nullopt;
        int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return std::nullopt;
        std::optional<FileDigests> out = hashOpen(fd, wantSha1, wantSha256);
        close(fd);
        return out;
    }

private:
    std::optional<FileDigests> hashOpen(int fd, bool wantSha1, bool wantSha256) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
        if (wantSha1 && EVP_DigestInit_ex(ctx1_.get(), sha1_.get(), nullptr) != 1) return std::nullopt;
        if (wantSha256 && EVP_DigestInit_ex(ctx256_.get(), sha256_.get(), nullptr) != 1) return std::nullopt;
        for (;;) {
            ssize_t n = read(fd, buffer_.data(), buffer_.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::nullopt;
            }
            if (n == 0) break;
            auto len = static_cast<size_t>(n);
            if (wantSha1 && EVP_DigestUpdate(ctx1_.get(), buffer_.data(), len) != 1) return std::nullopt;
            if (wantSha256 && EVP_DigestUpdate(ctx256_.get(), buffer_.data(), len) != 1) return std::nullopt;
        }
        FileDigests out;
        if (wantSha1 && !finish(ctx1_.get(), &out.sha1)) return std::nullopt;
        if (wantSha256 && !finish(ctx256_.get(), &out.sha256)) return std::nullopt;
        return out;
    }

    static bool finish(EVP_MD_CTX* ctx, std::string* out) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(ctx, md, &len) != 1) return false;
        out->assign(reinterpret_cast<const char*>(md), len);
        return true;
    }

    std::vector<char> buffer_;
    platform::Owned<EVP_MD, EVP_MD_free> sha1_;
    platform::Owned<EVP_MD, EVP_MD_free> sha256_;
    platform::Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx1_;
    platform::Owned<EVP_MD_CTX, EVP_MD_CTX_free> ctx256_;
};

std::optional<std::string> readLinkAt(int dirFd, const char* name) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlinkat(dirFd, name, buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        if (buf.size() >= (size_t{1} << 16)) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

// ---- Walking a bundle -------------------------------------------------------

// Deeper than any real bundle; bounds open descriptors and recursion.
constexpr int kMaxFolderDepth = 128;

enum class EntryKind { Regular, Symlink, Other, Unreadable };

// What a walk reports to. Relative paths use "/" and have no leading slash.
class WalkTarget {
public:
    virtual ~WalkTarget() = default;
    // Whether to enter the folder.
    virtual bool folder(const std::string& rel) = 0;
    virtual void entry(int dirFd, const char* name, const std::string& rel, EntryKind kind) = 0;
    // A folder that could not be listed; rel is "" for the bundle itself.
    virtual void unreadableFolder(const std::string& rel, bool tooDeep) = 0;
    virtual bool stopped() const { return false; }
};

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};

// Walks the folder open as fd (which it takes over), depth first, names in
// byte order, never following symbolic links: every entry is looked at with
// lstat semantics and every folder opened relative to its parent with
// O_NOFOLLOW, so a link swapped in during the walk cannot lead outside.
void walkFolder(int fd, const std::string& prefix, int depth, WalkTarget& target) {
    std::unique_ptr<DIR, DirClose> dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        target.unreadableFolder(prefix, false);
        return;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent* e = readdir(dir.get());
        if (!e) {
            if (errno != 0) {
                target.unreadableFolder(prefix, false);
                return;
            }
            break;
        }
        std::string_view name(e->d_name);
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());

    const int dfd = dirfd(dir.get());
    for (const std::string& name : names) {
        if (target.stopped()) return;
        std::string rel = prefix.empty() ? name : prefix + "/" + name;
        struct stat st;
        if (fstatat(dfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Unreadable);
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!target.folder(rel)) continue;
            if (depth + 1 > kMaxFolderDepth) {
                target.unreadableFolder(rel, true);
                continue;
            }
            int child = openat(dfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                target.unreadableFolder(rel, false);
                continue;
            }
            walkFolder(child, rel, depth + 1, target);
        } else if (S_ISREG(st.st_mode)) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Regular);
        } else if (S_ISLNK(st.st_mode)) {
            target.entry(dfd, name.c_str(), rel, EntryKind::Symlink);
        } else {
            target.entry(dfd, name.c_str(), rel, EntryKind::Other);
        }
    }
}

void walkBundle(const std::string& bundleRoot, WalkTarget& target) {
    int fd = open(bundleRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        target.unreadableFolder("", false);
        return;
    }
    walkFolder(fd, "", 0, target);
}

std::string trimmedRoot(const std::string& root) {
    std::string out = root;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string joined(const std::string& root, const std::string& rel) {
    if (rel.empty()) return root;
    if (root == "/") return root + rel;
    return root + "/" + rel;
}

// The hash types asked for, each once, in a fixed order.
struct HashSelection {
    bool sha1 = false;
    bool sha256 = false;
    bool empty() const { return !sha1 && !sha256; }
};

HashSelection selectionOf(const std::vector<HashType>& types) {
    HashSelection s;
    for (HashType t : types) {
        if (t == HashType::SHA1) s.sha1 = true;
        else if (t == HashType::SHA256) s.sha256 = true;
    }
    return s;
}

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
            if (!matches(*e->value, dirFd, name, kind)) report(ResourceProblem::Kind::Modified, rel);
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

    bool matches(const plist::Value& entry, int dirFd, const char* name, EntryKind kind) {
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
        auto digests = hasher_.hash(dirFd, name, want.sha1, want.sha256);
        if (!digests) return false;
        if (want.sha1 && digests->sha1 != *sha1) return false;
        if (want.sha256 && digests->sha256 != *sha256) return false;
        return true;
    }

    RuleSet rules_;
    bool version2_;
    std::string mainExecutable_;
    HashSelection types_;
    FileHasher hasher_;
    std::unordered_map<std::string, SealedEntry> sealed_;
    std::string root_;
    std::vector<ResourceProblem> problems_;
};

// Rules match names byte by byte, whatever locale the process has chosen:
// the C locale holds for this thread while the guard lives.
class CLocaleScope {
public:
    CLocaleScope() : c_(newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr))) {
        if (c_) previous_ = uselocale(c_);
    }
    ~CLocaleScope() {
        if (!c_) return;
        uselocale(previous_);
        freelocale(c_);
    }
    CLocaleScope(const CLocaleScope&) = delete;
    CLocaleScope& operator=(const CLocaleScope&) = delete;

private:
    locale_t c_;
    locale_t previous_ = nullptr;
};

// A problem standing for a seal that cannot be read at all, for callers that
// do not ask about malformed seals: an empty answer would read as success.
std::vector<ResourceProblem> unreadableSeal(const std::string& bundleRoot) {
    return {ResourceProblem{ResourceProblem::Kind::Modified, joined(trimmedRoot(bundleRoot), "_CodeSignature/CodeResources")}};
}

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
