#include "platform/paths.h"

#include <filesystem>

namespace platform::path {

namespace {
std::string_view trimTrailingSlashes(std::string_view p) {
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return p;
}
}  // namespace

std::string appendingPathComponent(std::string_view base, std::string_view component) {
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    while (!component.empty() && component.back() == '/') component.remove_suffix(1);
    std::string out(trimTrailingSlashes(base));
    if (component.empty()) return out;
    if (out.empty()) return std::string(component);
    if (out.back() != '/') out += '/';
    out += component;
    return out;
}

std::string lastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    if (path == "/") return "/";
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string deletingLastPathComponent(std::string_view path) {
    path = trimTrailingSlashes(path);
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos) return "";
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
}

std::string pathExtension(std::string_view path) {
    std::string last = lastPathComponent(path);
    auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
    return last.substr(dot + 1);
}

std::string deletingPathExtension(std::string_view path) {
    std::string_view p = trimTrailingSlashes(path);
    std::string ext = pathExtension(p);
    if (ext.empty()) return std::string(p);
    return std::string(p.substr(0, p.size() - ext.size() - 1));
}

std::string appendingPathExtension(std::string_view path, std::string_view extension) {
    std::string out(trimTrailingSlashes(path));
    if (extension.empty()) return out;
    out += '.';
    out += extension;
    return out;
}

std::string toLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string absolutePath(std::string_view path) {
    if (path.empty() || path.front() == '/') return std::string(path);
    std::error_code ec;
    auto cwd = std::filesystem::current_path(ec);
    if (ec) return safeArgumentPath(path);
    return appendingPathComponent(cwd.string(), path);
}

std::string safeArgumentPath(std::string_view path) {
    if (!path.empty() && path.front() == '-') {
        std::error_code ec;
        auto cwd = std::filesystem::current_path(ec);
        if (ec) return appendingPathComponent(".", path);
        return appendingPathComponent(cwd.string(), path);
    }
    return std::string(path);
}

}  // namespace platform::path
