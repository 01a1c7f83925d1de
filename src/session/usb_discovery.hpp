#pragma once
// The USB device listing, read from sysfs without opening any device.
#include <filesystem>
#include <vector>

#include "error.hpp"
#include "session/usb_host.hpp"

namespace corvane {

// Reads root/sys/bus/usb/devices (production root: "/"), ordered by bus
// number and device address. Only a failure to read the folder itself is an
// error: a device whose attributes cannot be read is left out, since its
// files vanish while it is being unplugged.
Result<std::vector<UsbDeviceInfo>> list_usb_devices(const std::filesystem::path& root);

}  // namespace corvane
