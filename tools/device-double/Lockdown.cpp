// lockdownd on port 62078: property lists framed by a big-endian length,
// answered with the request's name in "Request" and, on failure, the error's
// name in "Error". StartSession turns the same connection into TLS with the
// device certificate of the pairing; StopSession turns it back.
#include "Device.h"

namespace devdouble {
namespace {

using platform::plist::Data;
using platform::plist::Dict;
using platform::plist::Value;

Dict failure(const std::string& request, const std::string& error) {
    return Dict{{"Request", request}, {"Error", error}};
}

}  // namespace

const std::string* stringAt(const Dict& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : it->second.asString();
}

const Dict* dictAt(const Dict& dict, const std::string& key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : it->second.asDict();
}

Dict Double::lockdownValues(const Device& device) const {
    return Dict{
        {"ActivationState", "Activated"},
        {"BasebandVersion", "3.00.01"},
        {"BuildVersion", device.buildVersion},
        {"CPUArchitecture", "arm64e"},
        {"DeviceClass", "iPhone"},
        {"DeviceColor", "1"},
        {"DeviceName", device.name},
        {"DevicePublicKey", Data{pairing.devicePublicKey}},
        {"HardwareModel", "D16AP"},
        {"HardwarePlatform", "t8110"},
        {"ModelNumber", "MQ0G3"},
        {"PasswordProtected", false},
        {"ProductName", "iPhone OS"},
        {"ProductType", "iPhone15,2"},
        {"ProductVersion", device.productVersion},
        {"ProtocolVersion", "2"},
        {"RegionInfo", "LL/A"},
        {"SerialNumber", "F2LDOUBLE" + std::to_string(device.muxId)},
        {"TimeZone", "Etc/UTC"},
        {"UniqueChipID", static_cast<int64_t>(device.chipId)},
        {"UniqueDeviceID", device.udid},
        {"WiFiAddress", device.wifiAddress},
    };
}

void Double::serveLockdown(Channel& channel, Device& device) {
    const bool refusesHost = options.refusal == Refusal::NotPaired;
    std::string sessionId;
    for (;;) {
        auto message = receivePlist(channel);
        const Dict* request = message ? message->asDict() : nullptr;
        if (!request) return;
        const std::string* name = stringAt(*request, "Request");
        if (!name) {
            if (!sendPlist(channel, failure("", "InvalidRequest"))) return;
            continue;
        }
        const std::string& kind = *name;
        Dict reply{{"Request", kind}};

        if (kind == "QueryType") {
            reply["Type"] = "com.apple.mobile.lockdown";
        } else if (kind == "GetValue") {
            const std::string* domain = stringAt(*request, "Domain");
            const std::string* key = stringAt(*request, "Key");
            if (domain) reply["Domain"] = *domain;
            if (key) reply["Key"] = *key;
            Dict values = lockdownValues(device);
            if (domain && !domain->empty()) {
                reply["Error"] = "MissingValue";
            } else if (!key) {
                reply["Value"] = values;
            } else if (auto it = values.find(*key); it != values.end()) {
                reply["Value"] = it->second;
            } else {
                reply["Error"] = "MissingValue";
            }
        } else if (kind == "SetValue" || kind == "RemoveValue") {
            // Accepted and forgotten: nothing the tests read back.
        } else if (kind == "ValidatePair") {
            if (refusesHost) reply["Error"] = "InvalidHostID";
        } else if (kind == "Pair") {
            // An untrusted computer gets the device's prompt: the user has
            // not answered it yet.
            if (refusesHost) reply["Error"] = "PairingDialogResponsePending";
            else reply["EscrowBag"] = Data{pairing.escrowBag};
        } else if (kind == "Unpair") {
        } else if (kind == "StartSession") {
            if (refusesHost || !stringAt(*request, "HostID")) {
                reply["Error"] = "InvalidHostID";
            } else if (!sessionId.empty()) {
                reply["Error"] = "SessionActive";
            } else {
                sessionId = randomUuid();
                reply["SessionID"] = sessionId;
                reply["EnableSessionSSL"] = true;
                if (!sendPlist(channel, reply)) return;
                if (!channel.startTls(pairing.tls)) return;
                continue;
            }
        } else if (kind == "StopSession") {
            if (sessionId.empty()) {
                reply["Error"] = "SessionInactive";
            } else {
                sessionId.clear();
                if (!sendPlist(channel, reply)) return;
                channel.leaveTls();
                continue;
            }
        } else if (kind == "StartService") {
            const std::string* service = stringAt(*request, "Service");
            if (sessionId.empty()) {
                reply["Error"] = "SessionInactive";
            } else if (!service || (*service != kAfcService && *service != kInstallationProxyService &&
                                    *service != kNotificationProxyService)) {
                reply["Error"] = "InvalidService";
            } else {
                uint16_t port;
                {
                    std::lock_guard<std::mutex> g(lock);
                    port = nextPort++;
                    if (nextPort == kLockdownPort || nextPort == 0) nextPort = 49152;
                    servicePorts[port] = {static_cast<size_t>(&device - devices.data()), *service};
                }
                reply["Service"] = *service;
                reply["Port"] = int64_t{port};
                reply["EnableServiceSSL"] = false;
            }
        } else if (kind == "Goodbye") {
            reply["Result"] = "Success";
        } else {
            reply["Error"] = "InvalidRequest";
        }
        if (!sendPlist(channel, reply)) return;
    }
}

}  // namespace devdouble
