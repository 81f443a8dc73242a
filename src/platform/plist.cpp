#include "platform/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace platform::plist {

const Value* Value::get(const std::string& key) const {
    const Dict* d = asDict();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

namespace {

// libplist counts dates from 2001-01-01 00:00:00 UTC, as the format does.
constexpr int64_t kPlistEpoch = 978307200;
constexpr int kMaxDepth = 256;

struct NodeDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

std::string takeString(char* s) {
    std::string out = s ? std::string(s) : std::string();
    std::free(s);
    return out;
}

// What libplist 2.2 cannot be given, told before it sees the bytes:
// - It asserts, and so aborts the process, when plist_get_string_val meets a
//   string holding a NUL; strings are read through the length-taking getter
//   instead. Keys have no such getter and come back cut at the NUL, so two
//   different keys could read as one: a text holding a NUL is refused.
// - It reads binary lists by recursion, copying a shared object for every
//   reference to it, and frees every tree by recursion: nesting deep enough
//   overflows the stack, and a few hundred bytes of shared arrays expand to
//   more nodes than memory holds.
// An XML document is refused when it holds a NUL byte (the parser itself
// refuses a character reference to NUL) or nests containers deeper than
// kMaxDepth; a binary one when a string object holds a NUL unit, when the
// tree it makes is deeper or larger than its size warrants, or when its
// tables do not let that be checked.
uint64_t bigEndian(std::string_view bytes, uint64_t at, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

class BinaryCheck {
public:
    explicit BinaryCheck(std::string_view b) : b(b) {}

    bool safe() {
        constexpr uint64_t kHeader = 8, kTrailer = 32;
        if (b.size() < kHeader + kTrailer) return false;
        const uint64_t trailer = b.size() - kTrailer;
        const unsigned offsetSize = static_cast<unsigned char>(b[trailer + 6]);
        refSize = static_cast<unsigned char>(b[trailer + 7]);
        const uint64_t count = bigEndian(b, trailer + 8, 8);
        const uint64_t root = bigEndian(b, trailer + 16, 8);
        table = bigEndian(b, trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
        if (table < kHeader || table > trailer || count > (trailer - table) / offsetSize || root >= count)
            return false;
        offsets.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
            offsets[i] = bigEndian(b, table + i * offsetSize, offsetSize);
            if (offsets[i] < kHeader || offsets[i] >= table) return false;
            if (!stringHoldsNoNul(offsets[i])) return false;
        }
        return nestingWithinLimit(root);
    }

private:
    // The count of a string or container object and where its payload starts.
    bool sizeOf(uint64_t at, uint64_t* length, uint64_t* start) const {
        *length = static_cast<unsigned char>(b[at]) & 0xf;
        *start = at + 1;
        if (*length != 0xf) return true;
        if (*start >= table) return false;
        const unsigned sizeMarker = static_cast<unsigned char>(b[*start]);
        const unsigned width = 1u << (sizeMarker & 0xf);
        if ((sizeMarker >> 4) != 0x1 || width > 8 || width > table - *start - 1) return false;
        *length = bigEndian(b, *start + 1, width);
        *start += 1 + width;
        return true;
    }

    bool stringHoldsNoNul(uint64_t at) const {
        const unsigned type = static_cast<unsigned char>(b[at]) >> 4;
        if (type != 0x5 && type != 0x6 && type != 0x7) return true;  // ASCII, UTF-16, UTF-8 texts
        uint64_t length = 0, start = 0;
        if (!sizeOf(at, &length, &start)) return false;
        const unsigned unit = type == 0x6 ? 2 : 1;
        if (length > (table - start) / unit) return false;
        for (uint64_t k = 0; k < length; ++k) {
            bool zero = b[start + k * unit] == '\0';
            if (unit == 2) zero = zero && b[start + k * unit + 1] == '\0';
            if (zero) return false;
        }
        return true;
    }

    // The objects an array, set or dictionary refers to (keys and values).
    bool references(uint64_t object, std::vector<uint64_t>* out) const {
        out->clear();
        const uint64_t at = offsets[object];
        const unsigned type = static_cast<unsigned char>(b[at]) >> 4;
        if (type != 0xa && type != 0xc && type != 0xd) return true;
        uint64_t count = 0, start = 0;
        if (!sizeOf(at, &count, &start)) return false;
        if (type == 0xd) {
            if (count > std::numeric_limits<uint64_t>::max() / 2) return false;
            count *= 2;
        }
        if (count > (table - start) / refSize) return false;
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t ref = bigEndian(b, start + k * refSize, refSize);
            if (ref >= offsets.size()) return false;
            out->push_back(ref);
        }
        return true;
    }

    // Depth-first from the root, without recursion. An object may be shared
    // (libplist copies it for every reference): its height and the size of
    // its tree are found once, and the tree that libplist will build from the
    // root must stay within kMaxDepth and linear in the input's size. A cycle
    // is refused too.
    bool nestingWithinLimit(uint64_t root) const {
        enum : unsigned char { Unseen, Open, Done };
        std::vector<unsigned char> state(offsets.size(), Unseen);
        std::vector<uint16_t> height(offsets.size(), 0);
        std::vector<uint64_t> nodes(offsets.size(), 0);
        const uint64_t maxNodes = 8 * uint64_t(b.size());
        struct Frame {
            uint64_t object;
            std::vector<uint64_t> children;
            size_t next = 0;
        };
        std::vector<Frame> path;
        auto enter = [&](uint64_t object) {
            if (path.size() >= static_cast<size_t>(kMaxDepth)) return false;
            Frame frame{object, {}, 0};
            if (!references(object, &frame.children)) return false;
            state[object] = Open;
            path.push_back(std::move(frame));
            return true;
        };
        if (!enter(root)) return false;
        while (!path.empty()) {
            Frame& top = path.back();
            if (top.next < top.children.size()) {
                const uint64_t child = top.children[top.next++];
                if (state[child] == Open) return false;
                if (state[child] == Unseen && !enter(child)) return false;
                continue;
            }
            uint16_t h = 0;
            uint64_t n = 1;
            for (uint64_t child : top.children) {
                h = std::max<uint16_t>(h, height[child]);
                n += nodes[child];
                if (n > maxNodes) return false;
            }
            if (h + 1 > kMaxDepth) return false;
            height[top.object] = static_cast<uint16_t>(h + 1);
            nodes[top.object] = n;
            state[top.object] = Done;
            path.pop_back();
        }
        return true;
    }

    std::string_view b;
    unsigned refSize = 0;
    uint64_t table = 0;
    std::vector<uint64_t> offsets;
};

// Containers opened and not yet closed, as the parser will see them: tags
// inside comments, CDATA sections and declarations do not count.
bool xmlNestingWithinLimit(std::string_view x) {
    int depth = 0;
    size_t at = 0;
    auto skipPast = [&](std::string_view end) {
        size_t found = x.find(end, at);
        if (found == std::string_view::npos) return false;
        at = found + end.size();
        return true;
    };
    auto named = [&](size_t from, std::string_view name) {
        if (x.compare(from, name.size(), name) != 0) return false;
        const size_t after = from + name.size();
        return after == x.size() || !std::isalnum(static_cast<unsigned char>(x[after]));
    };
    while ((at = x.find('<', at)) != std::string_view::npos) {
        if (x.compare(at, 4, "<!--") == 0) {
            if (!skipPast("-->")) return true;
            continue;
        }
        if (x.compare(at, 9, "<![CDATA[") == 0) {
            if (!skipPast("]]>")) return true;
            continue;
        }
        const size_t tag = at;
        if (!skipPast(">")) return true;  // an unfinished tag: the parser refuses it
        if (x[tag + 1] == '/') {
            if (named(tag + 2, "array") || named(tag + 2, "dict")) --depth;
        } else if (x[at - 2] != '/' && (named(tag + 1, "array") || named(tag + 1, "dict"))) {
            if (++depth > kMaxDepth) return false;
        }
    }
    return true;
}

bool safeForLibplist(std::string_view bytes) {
    if (bytes.substr(0, 6) == "bplist") return BinaryCheck(bytes).safe();
    return bytes.find('\0') == std::string_view::npos && xmlNestingWithinLimit(bytes);
}

std::optional<Value> fromNode(plist_t node, int depth) {
    if (!node || depth > kMaxDepth) return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING: {
        // The length-taking getter: plist_get_string_val asserts on a NUL.
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        return Value(s ? std::string(s, len) : std::string());
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char* s = plist_get_data_ptr(node, &len);
        return Value(Data{s ? std::string(s, len) : std::string()});
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        auto t = Date(std::chrono::seconds(kPlistEpoch + sec)) + std::chrono::microseconds(usec);
        return Value(std::chrono::time_point_cast<Date::duration>(t));
    }
    case PLIST_ARRAY: {
        Array a;
        uint32_t n = plist_array_get_size(node);
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            auto item = fromNode(plist_array_get_item(node, i), depth + 1);
            if (!item) return std::nullopt;
            a.push_back(std::move(*item));
        }
        return Value(std::move(a));
    }
    case PLIST_DICT: {
        Dict d;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it) return Value(std::move(d));
        for (;;) {
            char* key = nullptr;
            plist_t val = nullptr;
            plist_dict_next_item(node, it, &key, &val);
            if (!val) {
                std::free(key);
                break;
            }
            std::string k = takeString(key);
            auto item = fromNode(val, depth + 1);
            if (!item) {
                std::free(it);
                return std::nullopt;
            }
            d.insert_or_assign(std::move(k), std::move(*item));
        }
        std::free(it);
        return Value(std::move(d));
    }
    default:
        return std::nullopt;
    }
}

plist_t toNode(const Value& value) {
    return std::visit(
        [](const auto& x) -> plist_t {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, bool>) return plist_new_bool(x ? 1 : 0);
            else if constexpr (std::is_same_v<T, int64_t>) return plist_new_uint(static_cast<uint64_t>(x));
            else if constexpr (std::is_same_v<T, double>) return plist_new_real(x);
            else if constexpr (std::is_same_v<T, std::string>) return plist_new_string(x.c_str());
            else if constexpr (std::is_same_v<T, Data>) return plist_new_data(x.bytes.data(), x.bytes.size());
            else if constexpr (std::is_same_v<T, Date>) {
                auto us = std::chrono::duration_cast<std::chrono::microseconds>(x.time_since_epoch()).count();
                int64_t sec = us / 1000000 - kPlistEpoch;
                return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>(us % 1000000));
            } else if constexpr (std::is_same_v<T, Array>) {
                plist_t a = plist_new_array();
                for (const auto& item : x) plist_array_append_item(a, toNode(item));
                return a;
            } else {
                plist_t d = plist_new_dict();
                for (const auto& [k, item] : x) plist_dict_set_item(d, k.c_str(), toNode(item));
                return d;
            }
        },
        value.v);
}

// ---- XML writer -------------------------------------------------------

void indent(std::string& out, int depth) { out.append(static_cast<size_t>(depth), '\t'); }

void appendEscaped(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
}

std::string base64(std::string_view bytes) {
    static const char* tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto b = [&](size_t k) { return static_cast<unsigned>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned n = (b(i) << 16) | (b(i + 1) << 8) | b(i + 2);
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += tbl[(n >> 6) & 63];
        out += tbl[n & 63];
    }
    if (i + 1 == bytes.size()) {
        unsigned n = b(i) << 16;
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        unsigned n = (b(i) << 16) | (b(i + 1) << 8);
        out += tbl[(n >> 18) & 63];
        out += tbl[(n >> 12) & 63];
        out += tbl[(n >> 6) & 63];
        out += '=';
    }
    return out;
}

void writeXml(std::string& out, const Value& value, int depth) {
    std::visit(
        [&](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            indent(out, depth);
            if constexpr (std::is_same_v<T, bool>) {
                out += x ? "<true/>\n" : "<false/>\n";
            } else if constexpr (std::is_same_v<T, int64_t>) {
                out += "<integer>" + std::to_string(x) + "</integer>\n";
            } else if constexpr (std::is_same_v<T, double>) {
                char buf[64];
                auto r = std::to_chars(buf, buf + sizeof buf, x);
                out += "<real>" + std::string(buf, r.ptr) + "</real>\n";
            } else if constexpr (std::is_same_v<T, std::string>) {
                out += "<string>";
                appendEscaped(out, x);
                out += "</string>\n";
            } else if constexpr (std::is_same_v<T, Data>) {
                out += "<data>\n";
                std::string b64 = base64(x.bytes);
                const size_t width = static_cast<size_t>(std::max(16, 76 - 8 * depth));
                for (size_t i = 0; i < b64.size(); i += width) {
                    indent(out, depth);
                    out += b64.substr(i, width);
                    out += '\n';
                }
                indent(out, depth);
                out += "</data>\n";
            } else if constexpr (std::is_same_v<T, Date>) {
                std::time_t t = std::chrono::system_clock::to_time_t(x);
                std::tm tm{};
                gmtime_r(&t, &tm);
                char buf[32];
                std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
                out += "<date>" + std::string(buf) + "</date>\n";
            } else if constexpr (std::is_same_v<T, Array>) {
                if (x.empty()) {
                    out += "<array/>\n";
                    return;
                }
                out += "<array>\n";
                for (const auto& item : x) writeXml(out, item, depth + 1);
                indent(out, depth);
                out += "</array>\n";
            } else {
                if (x.empty()) {
                    out += "<dict/>\n";
                    return;
                }
                out += "<dict>\n";
                for (const auto& [k, item] : x) {
                    indent(out, depth + 1);
                    out += "<key>";
                    appendEscaped(out, k);
                    out += "</key>\n";
                    writeXml(out, item, depth + 1);
                }
                indent(out, depth);
                out += "</dict>\n";
            }
        },
        value.v);
}

}  // namespace

std::optional<Value> parse(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > 0x7fffffff || !safeForLibplist(bytes)) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root) return std::nullopt;
    Node owner(root);
    return fromNode(root, 0);
}

std::string toXml(const Value& value) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    writeXml(out, value, 0);
    out += "</plist>\n";
    return out;
}

std::string toBinary(const Value& value) {
    Node node(toNode(value));
    char* buf = nullptr;
    uint32_t len = 0;
    plist_to_bin(static_cast<plist_t>(node.get()), &buf, &len);
    std::string out = buf ? std::string(buf, len) : std::string();
    plist_to_bin_free(buf);
    return out;
}

}  // namespace platform::plist
