#pragma once
// The parts the resource seal is made of, shared by the builder and the
// checker: the rules that decide what is sealed, the file hasher, and the
// walk over a bundle's folders. Internal to codesign.
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
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codesign/CodeResources.h"
#include "platform/owned.h"
#include "platform/plist.h"

namespace codesign::seal {

namespace plist = platform::plist;

// ---- Rules ------------------------------------------------------------------

struct RuleSpec {
    const char* pattern;
    double weight;
    bool omit;
    bool optional;
};

// The default rules of a flat (iOS) bundle.
inline constexpr RuleSpec kDefaultRules[] = {
    {"^version.plist$", 1, false, false},
    {"^.*", 1, false, false},
    {"^.*\\.lproj/", 1000, false, true},
    {"^Base\\.lproj/", 1010, false, false},
    {"^.*\\.lproj/locversion.plist$", 1100, true, false},
};

inline constexpr RuleSpec kDefaultRules2[] = {
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

// An ordered set of rules: the matching rule of highest weight wins; of
// rules of equal weight an omitting one, then the one given first.
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
        // Keep the rules sorted by falling weight so that the first match
        // wins; of rules of equal weight an omitting one wins (older seals
        // pair "^" and "^Info\.plist$" at one weight), then the one given first.
        auto at = std::upper_bound(rules_.begin(), rules_.end(), rule, [](const Rule& a, const Rule& r) {
            return a.weight != r.weight ? a.weight > r.weight : (a.omit && !r.omit);
        });
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

RuleSet defaultRuleSet(const RuleSpec* specs, size_t count);
plist::Dict rulesDict(const RuleSpec* specs, size_t count);
// Reads a "rules"/"rules2" dictionary of a seal. False when a rule is not
// understood; a seal we cannot read the rules of cannot be checked.
bool readRules(const plist::Dict& dict, RuleSet* set);
// Paths never sealed whatever the rules say: the seal itself and the main
// executable, which carries the signature that seals the rest.
bool implicitlyExcluded(const std::string& rel, const std::string& mainExecutable);
std::string normalisedExecutable(std::string path);
// Whether a name or link target can be written into the seal and read back
// unchanged: well-formed UTF-8 without control characters.
bool sealableText(std::string_view s);

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
        int fd = openRegular(dirFd, name, nullptr);
        if (fd < 0) return std::nullopt;
        std::optional<FileDigests> out = hashOpen(fd, wantSha1, wantSha256);
        close(fd);
        return out;
    }

    // The regular file `name` of dirFd opened as hash() opens it, or -1; its
    // size in *size when asked.
    static int openRegular(int dirFd, const char* name, uint64_t* size) {
        int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return -1;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            return -1;
        }
        if (size) *size = uint64_t(st.st_size);
        return fd;
    }

    // The digests of the rest of an open regular file.
    std::optional<FileDigests> hashOpen(int fd, bool wantSha1, bool wantSha256) {
        if (!usable()) return std::nullopt;
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

std::optional<std::string> readLinkAt(int dirFd, const char* name);

// Files a walk opens, hashed on the walking thread and, once there is much
// to hash, on helper threads beside it: a large bundle's seal then takes the
// cores that would idle. Each file's digests land in the slot add() gave it.
// At most kMaxWaiting files wait open at a time: past that, the walking
// thread hashes one before it goes on.
class HashJobs {
public:
    HashJobs();
    ~HashJobs();
    HashJobs(const HashJobs&) = delete;
    HashJobs& operator=(const HashJobs&) = delete;

    // Whether files can be hashed at all (the digests are to be had).
    bool usable() const { return own_.usable(); }
    // Takes over fd, an open regular file of the given size; answers its slot.
    size_t add(int fd, uint64_t size, bool sha1, bool sha256);
    // Waits for every file: each slot's digests, nothing where a file could
    // not be read.
    std::vector<std::optional<FileDigests>> finish();

private:
    struct Job {
        int fd;
        size_t slot;
        bool sha1, sha256;
    };
    bool hashNext(FileHasher& hasher, std::unique_lock<std::mutex>& lock);
    void help();

    static constexpr size_t kMaxWaiting = 64;
    static constexpr uint64_t kShareFrom = uint64_t(4) << 20;  // bytes added before helpers start
    std::mutex lock_;
    std::condition_variable more_;
    std::deque<Job> waiting_;
    std::vector<std::optional<FileDigests>> results_;
    size_t unfinished_ = 0;
    uint64_t added_ = 0;
    bool closing_ = false;
    FileHasher own_;
    std::vector<std::thread> helpers_;
};

// ---- Walking a bundle -------------------------------------------------------

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

void walkBundle(const std::string& bundleRoot, WalkTarget& target);
std::string trimmedRoot(const std::string& root);
std::string joined(const std::string& root, const std::string& rel);

// The hash types asked for, each once, in a fixed order.
struct HashSelection {
    bool sha1 = false;
    bool sha256 = false;
    bool empty() const { return !sha1 && !sha256; }
};

HashSelection selectionOf(const std::vector<HashType>& types);

}  // namespace codesign::seal
