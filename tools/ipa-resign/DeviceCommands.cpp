#include "DeviceCommands.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace ipa_resign {

int listDevicesCommand(bool json) {
    auto devices = device::listDevices();
    if (!devices) {
        std::fprintf(stderr, "ipa-resign: error: %s\n", devices.text().c_str());
        return 1;
    }
    if (json) {
        auto list = nlohmann::json::array();
        for (const auto& d : *devices)
            list.push_back({{"udid", platform::text::decodeUtf8Lossy(d.udid)},
                            {"name", platform::text::decodeUtf8Lossy(d.name)},
                            {"model", platform::text::decodeUtf8Lossy(d.model)},
                            {"ios", platform::text::decodeUtf8Lossy(d.iosVersion)},
                            {"paired", d.paired}});
        std::printf("%s\n", nlohmann::json{{"type", "devices"}, {"devices", list}}.dump().c_str());
        return 0;
    }
    if (devices->empty()) std::printf("No device connected\n");
    for (const auto& d : *devices) std::printf("%s\n", device::listingLine(d).c_str());
    return 0;
}

}  // namespace ipa_resign
