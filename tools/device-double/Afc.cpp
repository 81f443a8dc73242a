// AFC on its service connection: 40-byte little-endian headers ("CFA6LPAA",
// the whole packet's length, the length of header and arguments, the packet
// number, the operation), then the arguments, then the payload. Answers carry
// the request's packet number; failures are a status packet with the code.
// The media folder lives in memory.
#include <cstring>

#include "Device.h"

namespace devdouble {
namespace {

constexpr char kMagic[8] = {'C', 'F', 'A', '6', 'L', 'P', 'A', 'A'};
constexpr uint64_t kHeaderSize = 40;
constexpr uint64_t kMaxPacket = 512ull << 20;

enum Op : uint64_t {
    Status = 0x01, Data = 0x02, ReadDir = 0x03, RemovePath = 0x08, MakeDir = 0x09, GetFileInfo = 0x0A,
    GetDevInfo = 0x0B, FileOpen = 0x0D, FileOpenResult = 0x0E, FileRead = 0x0F, FileWrite = 0x10,
    FileSeek = 0x11, FileTell = 0x12, FileTellResult = 0x13, FileClose = 0x14, FileSetSize = 0x15,
    RenamePath = 0x18, RemovePathAndContents = 0x22,
};

enum Code : uint64_t {
    Success = 0, UnknownError = 1, HeaderInvalid = 2, InvalidArg = 7, ObjectNotFound = 8, ObjectIsDir = 9,
    PermDenied = 10, OpNotSupported = 15, ObjectExists = 16, DirNotEmpty = 33,
};

uint64_t le64(const char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}
void putLe64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

bool sendPacket(Channel& channel, uint64_t number, uint64_t op, const std::string& arguments,
                const std::string& payload = {}) {
    std::string packet(kMagic, sizeof kMagic);
    putLe64(packet, kHeaderSize + arguments.size() + payload.size());
    putLe64(packet, kHeaderSize + arguments.size());
    putLe64(packet, number);
    putLe64(packet, op);
    packet += arguments;
    packet += payload;
    return channel.writeAll(packet);
}

bool sendStatus(Channel& channel, uint64_t number, uint64_t code) {
    std::string argument;
    putLe64(argument, code);
    return sendPacket(channel, number, Status, argument);
}

// Names joined by NULs, each one ended by a NUL: the form of listings and
// key-value answers.
std::string nulList(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        out += item;
        out.push_back('\0');
    }
    return out;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

struct OpenFile {
    std::string path;
    uint64_t position = 0;
    bool append = false;
};

}  // namespace

std::optional<std::string> normalizedPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (parts.empty()) return std::nullopt;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const auto& p : parts) out += (out.empty() ? "" : "/") + p;
    return out;
}

void Double::serveAfc(Channel& channel, Device& device) {
    std::map<uint64_t, OpenFile> open;
    uint64_t nextHandle = 1;
    for (;;) {
        char header[kHeaderSize];
        if (!channel.readExact(header, sizeof header)) return;
        uint64_t entire = le64(header + 8), self = le64(header + 16), number = le64(header + 24),
                 op = le64(header + 32);
        if (std::memcmp(header, kMagic, sizeof kMagic) != 0 || self < kHeaderSize || entire < self ||
            entire > kMaxPacket)
            return;  // the stream cannot be followed any further
        std::string arguments(self - kHeaderSize, '\0'), payload(entire - self, '\0');
        if (!arguments.empty() && !channel.readExact(arguments.data(), arguments.size())) return;
        if (!payload.empty() && !channel.readExact(payload.data(), payload.size())) return;

        // A path argument: up to the first NUL, from offset on.
        auto pathArgument = [&](size_t offset) -> std::optional<std::string> {
            if (offset > arguments.size()) return std::nullopt;
            std::string raw = arguments.substr(offset);
            raw = raw.substr(0, raw.find('\0'));
            return normalizedPath(raw);
        };
        auto handleArgument = [&](size_t count) -> OpenFile* {
            if (arguments.size() < 8 * count) return nullptr;
            auto it = open.find(le64(arguments.data()));
            return it == open.end() ? nullptr : &it->second;
        };

        bool sent = false;
        uint64_t code = Success;
        std::unique_lock<std::mutex> g(lock);
        auto isFolder = [&](const std::string& p) { return device.folders.count(p) > 0; };
        auto isFile = [&](const std::string& p) { return device.files.count(p) > 0; };
        switch (op) {
        case GetDevInfo: {
            size_t used = 0;
            for (const auto& [p, bytes] : device.files) used += bytes.size();
            uint64_t total = 64ull << 30;
            std::string info = nulList({"Model", "iPhone15,2", "FSTotalBytes", std::to_string(total), "FSFreeBytes",
                                        std::to_string(total - used), "FSBlockSize", "4096"});
            g.unlock();
            sent = sendPacket(channel, number, Data, {}, info);
            break;
        }
        case GetFileInfo: {
            auto path = pathArgument(0);
            if (!path || (!isFolder(*path) && !isFile(*path))) {
                code = ObjectNotFound;
                break;
            }
            bool folder = isFolder(*path);
            uint64_t size = folder ? 64 : device.files[*path].size();
            std::string info = nulList({"st_size", std::to_string(size), "st_blocks", std::to_string((size + 511) / 512),
                                        "st_nlink", folder ? "2" : "1", "st_ifmt", folder ? "S_IFDIR" : "S_IFREG",
                                        "st_mtime", "1765180800000000000", "st_birthtime", "1765180800000000000"});
            g.unlock();
            sent = sendPacket(channel, number, Data, {}, info);
            break;
        }
        case ReadDir: {
            auto path = pathArgument(0);
            if (!path || !isFolder(*path)) {
                code = path && isFile(*path) ? InvalidArg : ObjectNotFound;
                break;
            }
            std::vector<std::string> names{".", ".."};
            auto collect = [&](const std::string& p) {
                if (!p.empty() && parentOf(p) == *path) names.push_back(p.substr(path->empty() ? 0 : path->size() + 1));
            };
            for (const auto& f : device.folders) collect(f);
            for (const auto& [f, bytes] : device.files) collect(f);
            g.unlock();
            sent = sendPacket(channel, number, Data, {}, nulList(names));
            break;
        }
        case MakeDir: {
            auto path = pathArgument(0);
            if (!path) {
                code = PermDenied;
                break;
            }
            // Every folder on the way is made, as mkdir -p does.
            for (std::string p = *path; !p.empty(); p = parentOf(p))
                if (isFile(p)) code = ObjectExists;
            if (code == Success)
                for (std::string p = *path; !p.empty(); p = parentOf(p)) device.folders.insert(p);
            break;
        }
        case RemovePath:
        case RemovePathAndContents: {
            auto path = pathArgument(0);
            if (!path || path->empty()) {
                code = PermDenied;
            } else if (isFile(*path)) {
                device.files.erase(*path);
            } else if (!isFolder(*path)) {
                code = ObjectNotFound;
            } else {
                std::string prefix = *path + "/";
                auto inside = [&](const std::string& p) { return p.compare(0, prefix.size(), prefix) == 0; };
                bool empty = true;
                for (const auto& f : device.folders) empty = empty && !inside(f);
                for (const auto& [f, bytes] : device.files) empty = empty && !inside(f);
                if (!empty && op == RemovePath) {
                    code = DirNotEmpty;
                    break;
                }
                std::erase_if(device.folders, inside);
                std::erase_if(device.files, [&](const auto& entry) { return inside(entry.first); });
                device.folders.erase(*path);
            }
            break;
        }
        case RenamePath: {
            auto from = pathArgument(0);
            size_t second = arguments.find('\0');
            auto to = second == std::string::npos ? std::nullopt : pathArgument(second + 1);
            if (!from || !to || from->empty() || to->empty()) {
                code = InvalidArg;
            } else if (!isFile(*from)) {
                code = isFolder(*from) ? OpNotSupported : ObjectNotFound;
            } else if (!isFolder(parentOf(*to)) || isFolder(*to)) {
                code = ObjectNotFound;
            } else {
                device.files[*to] = std::move(device.files[*from]);
                device.files.erase(*from);
            }
            break;
        }
        case FileOpen: {
            if (arguments.size() < 9) {
                code = InvalidArg;
                break;
            }
            uint64_t mode = le64(arguments.data());
            auto path = pathArgument(8);
            if (!path || path->empty() || mode < 1 || mode > 6) {
                code = InvalidArg;
            } else if (isFolder(*path)) {
                code = ObjectIsDir;
            } else if (!isFolder(parentOf(*path)) || ((mode == 1 || mode == 2) && !isFile(*path))) {
                code = ObjectNotFound;
            } else {
                if (mode == 3 || mode == 4) device.files[*path].clear();
                else device.files[*path];
                uint64_t handle = nextHandle++;
                open[handle] = OpenFile{*path, 0, mode >= 5};
                std::string argument;
                putLe64(argument, handle);
                g.unlock();
                sent = sendPacket(channel, number, FileOpenResult, argument);
            }
            break;
        }
        case FileWrite:
        case FileRead:
        case FileSeek:
        case FileTell:
        case FileSetSize:
        case FileClose: {
            const size_t counts = op == FileSeek ? 3 : (op == FileRead || op == FileSetSize) ? 2 : 1;
            OpenFile* file = handleArgument(counts);
            if (!file) {
                code = InvalidArg;
                break;
            }
            if (op == FileClose) {
                open.erase(le64(arguments.data()));
                break;
            }
            std::string& bytes = device.files[file->path];
            if (op == FileWrite) {
                if (file->append) file->position = bytes.size();
                if (file->position > bytes.size()) bytes.resize(file->position, '\0');
                bytes.replace(file->position, std::min<uint64_t>(payload.size(), bytes.size() - file->position), payload);
                file->position += payload.size();
            } else if (op == FileRead) {
                uint64_t want = le64(arguments.data() + 8);
                std::string chunk =
                    file->position < bytes.size() ? bytes.substr(file->position, std::min<uint64_t>(want, 1u << 24)) : "";
                file->position += chunk.size();
                g.unlock();
                sent = sendPacket(channel, number, Data, {}, chunk);
            } else if (op == FileSeek) {
                uint64_t whence = le64(arguments.data() + 8);
                int64_t offset = static_cast<int64_t>(le64(arguments.data() + 16));
                int64_t base = whence == 0 ? 0 : whence == 1 ? static_cast<int64_t>(file->position)
                             : whence == 2 ? static_cast<int64_t>(bytes.size()) : -1;
                if (base < 0 || (offset < 0 && -offset > base) || offset > int64_t{1} << 40) code = InvalidArg;
                else file->position = static_cast<uint64_t>(base + offset);
            } else if (op == FileTell) {
                std::string argument;
                putLe64(argument, file->position);
                g.unlock();
                sent = sendPacket(channel, number, FileTellResult, argument);
            } else if (op == FileSetSize) {
                uint64_t size = le64(arguments.data() + 8);
                if (size > kMaxPacket) code = InvalidArg;
                else bytes.resize(size, '\0');
            }
            break;
        }
        default:
            code = OpNotSupported;
        }
        if (g.owns_lock()) g.unlock();
        if (!sent && !sendStatus(channel, number, code)) return;
    }
}

}  // namespace devdouble
