#pragma once
// The USB host access facility: the few operations the transport needs from
// sysfs and usbfs, behind one interface so that the transport can be driven
// against a simulated KVM as well as a real device.
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.hpp"

namespace corvane {

struct UsbInterfaceInfo {
  uint8_t number = 0;
  uint8_t class_code = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
};

// What the device listing tells about one device, without opening it.
struct UsbDeviceInfo {
  uint8_t bus_number = 0;
  uint8_t address = 0;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::optional<std::string> product;
  std::vector<UsbInterfaceInfo> interfaces;
};

struct ControlSetup {
  uint8_t request_type = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

struct EndpointDescriptor {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t max_packet_size = 0;
};

// The endpoints of an interface's active alternate setting in the active
// configuration; found is false when that configuration has no such
// interface.
struct InterfaceDescriptor {
  bool found = false;
  std::vector<EndpointDescriptor> endpoints;
};

// completed is false when the wait ended first. The data stays valid until
// the next bulk IN operation on the device.
struct InCompletion {
  bool completed = false;
  std::span<const uint8_t> data;
};

// One opened device. Bulk IN operations come from one thread and bulk OUT
// operations from one other thread; cancel_transfers may come from any.
// Dropping the device cancels its outstanding transfers and waits for them,
// releases the claimed interface and closes the device node.
class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  virtual Result<> claim_interface(uint8_t number) = 0;
  // Returns the data stage, at most setup.length bytes.
  virtual Result<std::vector<uint8_t>> control_in(const ControlSetup& setup,
                                                  std::chrono::milliseconds timeout) = 0;
  virtual Result<InterfaceDescriptor> interface_descriptor(uint8_t number) = 0;

  // Adds one transfer of length bytes to the IN transfers outstanding.
  virtual Result<> submit_in(uint8_t endpoint, size_t length) = 0;
  // Waits for the oldest outstanding IN transfer; an error is the
  // transfer's, and that transfer is no longer outstanding either way.
  virtual Result<InCompletion> wait_in(std::chrono::nanoseconds timeout) = 0;

  // Sends head followed by body as one bulk OUT transfer; the bytes are
  // copied, so the caller's buffers are free at once. One OUT transfer is
  // outstanding at a time.
  virtual Result<> submit_out(uint8_t endpoint, std::span<const uint8_t> head,
                              std::span<const uint8_t> body) = 0;
  // true once the OUT transfer has completed without error; false while it
  // is still outstanding after timeout.
  virtual Result<bool> wait_out(std::chrono::nanoseconds timeout) = 0;

  // Outstanding transfers complete with an error soon after.
  virtual void cancel_transfers() = 0;
};

struct UsbOpenError {
  // The system refused for lack of permission (EACCES or EPERM).
  bool access_denied = false;
  std::string message;
};

class UsbHost {
 public:
  virtual ~UsbHost() = default;

  virtual Result<std::vector<UsbDeviceInfo>> list_devices() = 0;
  virtual std::expected<std::unique_ptr<UsbDevice>, UsbOpenError> open(uint8_t bus_number,
                                                                         uint8_t address) = 0;
};

}  // namespace corvane
