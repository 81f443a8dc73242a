// The mux daemon's side of its socket: 16-byte little-endian headers
// (length with the header, version, message type, tag) and property-list
// messages. A Connect that succeeds hands the socket over to the device's
// port: lockdownd, or a service lockdownd started.
#include <sys/socket.h>

#include <cstring>

#include "Device.h"

namespace devdouble {
namespace {

using platform::plist::Array;
using platform::plist::Data;
using platform::plist::Dict;
using platform::plist::Value;

constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kMessageResult = 1;
constexpr uint32_t kMessagePlist = 8;
constexpr uint32_t kMaxMessage = 1u << 20;

enum MuxResult : int64_t { Ok = 0, BadCommand = 1, BadDevice = 2, ConnectionRefused = 3, BadVersion = 6 };

uint32_t le32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

bool sendMessage(Channel& channel, uint32_t version, uint32_t type, uint32_t tag, const std::string& body) {
    std::string frame;
    putLe32(frame, static_cast<uint32_t>(16 + body.size()));
    putLe32(frame, version);
    putLe32(frame, type);
    putLe32(frame, tag);
    return channel.writeAll(frame + body);
}

bool sendPlistMessage(Channel& channel, uint32_t tag, const Value& value) {
    return sendMessage(channel, kPlistVersion, kMessagePlist, tag, platform::plist::toXml(value));
}

bool sendResult(Channel& channel, uint32_t tag, int64_t number) {
    return sendPlistMessage(channel, tag, Dict{{"MessageType", "Result"}, {"Number", number}});
}

Dict attachedMessage(const Device& device) {
    Dict properties{
        {"ConnectionSpeed", int64_t{480000000}},
        {"ConnectionType", "USB"},
        {"DeviceID", int64_t{device.muxId}},
        {"LocationID", int64_t{0x14100000 + device.muxId}},
        {"ProductID", int64_t{0x12a8}},
        {"SerialNumber", device.udid},
        {"USBSerialNumber", device.udid},
    };
    return Dict{{"DeviceID", int64_t{device.muxId}}, {"MessageType", "Attached"}, {"Properties", properties}};
}

}  // namespace

Device* Double::deviceByMuxId(uint64_t id) {
    for (auto& d : devices)
        if (d.muxId == id) return &d;
    return nullptr;
}

void Double::serveMuxClient(int fd) {
    Channel channel(fd);
    for (;;) {
        unsigned char header[16];
        if (!channel.readExact(header, sizeof header)) return;
        uint32_t length = le32(header), version = le32(header + 4), type = le32(header + 8), tag = le32(header + 12);
        if (length < 16 || length > kMaxMessage) return;
        std::string body(length - 16, '\0');
        if (!body.empty() && !channel.readExact(body.data(), body.size())) return;

        if (version != kPlistVersion || type != kMessagePlist) {
            // Only the property-list protocol is spoken; the binary one gets
            // its own Result message saying so.
            std::string result;
            putLe32(result, BadVersion);
            if (!sendMessage(channel, version, kMessageResult, tag, result)) return;
            continue;
        }
        auto message = platform::plist::parse(body);
        const Dict* request = message ? message->asDict() : nullptr;
        const std::string* kind = request ? stringAt(*request, "MessageType") : nullptr;
        if (!kind) {
            if (!sendResult(channel, tag, BadCommand)) return;
            continue;
        }

        if (*kind == "ListDevices") {
            Array list;
            if (attached)
                for (const auto& d : devices) list.push_back(attachedMessage(d));
            if (!sendPlistMessage(channel, tag, Dict{{"DeviceList", list}})) return;
        } else if (*kind == "Listen") {
            if (!sendResult(channel, tag, Ok)) return;
            // Every change of the cable is told until the listener hangs up.
            bool told = false;
            for (;;) {
                bool now = attached;
                if (now != told) {
                    for (const auto& d : devices) {
                        Dict event = now ? attachedMessage(d)
                                         : Dict{{"DeviceID", int64_t{d.muxId}}, {"MessageType", "Detached"}};
                        if (!sendPlistMessage(channel, 0, event)) return;
                    }
                    told = now;
                }
                if (channel.waitReadable(100)) {
                    char sink[256];
                    if (::recv(channel.fd(), sink, sizeof sink, 0) <= 0) return;
                }
            }
        } else if (*kind == "Connect") {
            const Value* id = request->count("DeviceID") ? &request->at("DeviceID") : nullptr;
            const Value* port = request->count("PortNumber") ? &request->at("PortNumber") : nullptr;
            Device* device = attached && id && id->asInteger() ? deviceByMuxId(static_cast<uint64_t>(*id->asInteger())) : nullptr;
            if (!device) {
                if (!sendResult(channel, tag, BadDevice)) return;
                continue;
            }
            // The port travels in network byte order inside the integer.
            uint16_t raw = port && port->asInteger() ? static_cast<uint16_t>(*port->asInteger()) : 0;
            uint16_t number = static_cast<uint16_t>((raw >> 8) | (raw << 8));
            std::string service;
            if (number == kLockdownPort) {
                service = "lockdownd";
            } else {
                std::lock_guard<std::mutex> g(lock);
                auto it = servicePorts.find(number);
                if (it != servicePorts.end() && &devices[it->second.first] == device) service = it->second.second;
            }
            if (service.empty()) {
                if (!sendResult(channel, tag, ConnectionRefused)) return;
                continue;
            }
            if (!sendResult(channel, tag, Ok)) return;
            if (service == "lockdownd") serveLockdown(channel, *device);
            else if (service == kAfcService) serveAfc(channel, *device);
            else if (service == kInstallationProxyService) serveInstallationProxy(channel, *device);
            else if (service == kNotificationProxyService) serveNotificationProxy(channel, *device);
            return;
        } else if (*kind == "ReadPairRecord") {
            const std::string* udid = stringAt(*request, "PairRecordID");
            const Device* device = nullptr;
            for (const auto& d : devices)
                if (udid && d.udid == *udid) device = &d;
            Dict record;
            {
                std::lock_guard<std::mutex> g(lock);
                if (device && savedRecords.count(device->udid)) record = savedRecords[device->udid];
            }
            if (device && record.empty() && options.refusal != Refusal::NotPaired)
                record = pairing.record(device->wifiAddress);
            if (record.empty()) {
                if (!sendResult(channel, tag, BadDevice)) return;
                continue;
            }
            Dict reply{{"PairRecordData", Data{platform::plist::toBinary(record)}}};
            if (!sendPlistMessage(channel, tag, reply)) return;
        } else if (*kind == "SavePairRecord") {
            const std::string* udid = stringAt(*request, "PairRecordID");
            auto data = request->count("PairRecordData") ? request->at("PairRecordData").asData() : nullptr;
            auto record = data ? platform::plist::parse(data->bytes) : std::nullopt;
            if (!udid || !record || !record->asDict()) {
                if (!sendResult(channel, tag, BadCommand)) return;
                continue;
            }
            {
                std::lock_guard<std::mutex> g(lock);
                savedRecords[*udid] = *record->asDict();
            }
            if (!sendResult(channel, tag, Ok)) return;
        } else if (*kind == "DeletePairRecord") {
            const std::string* udid = stringAt(*request, "PairRecordID");
            {
                std::lock_guard<std::mutex> g(lock);
                if (udid) savedRecords.erase(*udid);
            }
            if (!sendResult(channel, tag, Ok)) return;
        } else if (*kind == "ReadBUID") {
            if (!sendPlistMessage(channel, tag, Dict{{"BUID", pairing.systemBuid}})) return;
        } else {
            if (!sendResult(channel, tag, BadCommand)) return;
        }
    }
}

}  // namespace devdouble
