#include "ZipWriter.h"

#include "testkit/testkit.h"

namespace {
uint32_t crc32(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
void le16(std::string& out, uint32_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>((v >> 8) & 0xFF);
}
void le32(std::string& out, uint32_t v) {
    le16(out, v & 0xFFFF);
    le16(out, v >> 16);
}
}  // namespace

void ZipWriter::addFile(const std::string& name, const std::string& data, uint32_t mode) {
    Entry e{name, data, mode, crc32(data), static_cast<uint32_t>(body.size())};
    le32(body, 0x04034b50);
    le16(body, 10);  // version needed
    le16(body, 0);   // flags
    le16(body, 0);   // stored
    le16(body, 0);
    le16(body, 0x21);  // time, date
    le32(body, e.crc);
    le32(body, static_cast<uint32_t>(data.size()));
    le32(body, static_cast<uint32_t>(data.size()));
    le16(body, static_cast<uint32_t>(name.size()));
    le16(body, 0);
    body += name;
    body += data;
    entries.push_back(std::move(e));
}

void ZipWriter::write(const std::string& path) const {
    std::string out = body, central;
    for (const auto& e : entries) {
        le32(central, 0x02014b50);
        le16(central, 0x031E);  // made by Unix, 3.0
        le16(central, 10);
        le16(central, 0);
        le16(central, 0);
        le16(central, 0);
        le16(central, 0x21);
        le32(central, e.crc);
        le32(central, static_cast<uint32_t>(e.data.size()));
        le32(central, static_cast<uint32_t>(e.data.size()));
        le16(central, static_cast<uint32_t>(e.name.size()));
        le16(central, 0);
        le16(central, 0);
        le16(central, 0);
        le16(central, 0);
        le32(central, e.mode << 16);
        le32(central, e.offset);
        central += e.name;
    }
    uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out += central;
    le32(out, 0x06054b50);
    le16(out, 0);
    le16(out, 0);
    le16(out, static_cast<uint32_t>(entries.size()));
    le16(out, static_cast<uint32_t>(entries.size()));
    le32(out, static_cast<uint32_t>(central.size()));
    le32(out, centralOffset);
    le16(out, 0);
    testkit::writeFile(path, out);
}
