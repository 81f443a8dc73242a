#pragma once
// ipa-resign and the devices on the cable: --list-devices, and the device
// that --install names (or the only one connected).
#include <optional>
#include <string>

#include "device/Devices.h"
#include "platform/result.h"

namespace ipa_resign {

// Prints the connected devices: one line each ("No device connected" when
// none), or with json one object {"type":"devices","devices":[...]}. The exit
// status: 0, or 1 when the device service cannot be reached.
int listDevicesCommand(bool json);

}  // namespace ipa_resign
