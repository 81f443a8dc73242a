#include "platform/plist.h"

#include <plist/plist.h>

#include <charconv>
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
        char* s = nullptr;
        plist_get_string_val(node, &s);
        return Value(takeString(s));
    }
    case PLIST_DATA: {
        char* s = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &s, &len);
        Data d{s ? std::string(s, len) : std::string()};
        std::free(s);
        return Value(std::move(d));
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
    if (bytes.empty() || bytes.size() > 0x7fffffff) return std::nullopt;
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
