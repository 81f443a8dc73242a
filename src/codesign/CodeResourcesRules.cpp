// The rules of a resource seal: the defaults written into new seals, and
// reading the rules of a seal being checked.
#include "codesign/CodeResourcesParts.h"

namespace codesign::seal {

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

}  // namespace codesign::seal
