// usb-session-request: the computer's side of the KVM's two session requests,
// for lab tests. Opens the device node itself (as the service does), claims
// the interface and sends each named request in turn, printing one line per
// answer:
//   usb-session-request /dev/bus/usb/BBB/DDD INTERFACE reset|status|0xNN...
//   -> "reset state=0 token=<32 hex digits>"
// Exits 1 at the first failed transfer or malformed record.
#include <fcntl.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "error.hpp"
#include "log.hpp"
#include "system/unique_fd.hpp"

namespace corvane::lab {
namespace {

constexpr uint8_t vendor_in_to_interface = 0xc1;  // device to host, vendor, interface
constexpr size_t status_size = 24;

struct ContextDeleter {
  void operator()(libusb_context* context) const { libusb_exit(context); }
};
struct HandleDeleter {
  void operator()(libusb_device_handle* handle) const { libusb_close(handle); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;
using Handle = std::unique_ptr<libusb_device_handle, HandleDeleter>;

// A claimed interface, released before its handle closes.
class Claim {
 public:
  Claim(libusb_device_handle* handle, int interface) : handle_(handle), interface_(interface) {}
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  ~Claim() { libusb_release_interface(handle_, interface_); }

 private:
  libusb_device_handle* handle_;
  int interface_;
};

// "reset", "status", or any other bRequest as 0xNN.
Result<uint8_t> request_code(const std::string& name) {
  if (name == "reset") return uint8_t{0x40};
  if (name == "status") return uint8_t{0x41};
  unsigned code = 0;
  char rest = 0;
  if (std::sscanf(name.c_str(), "0x%2x%c", &code, &rest) == 1) return static_cast<uint8_t>(code);
  return fail("unknown request " + name + " (reset, status or 0xNN)");
}

// Checks the record and formats it as "state=N token=HEX".
Result<std::string> describe_status(const std::array<uint8_t, status_size>& record) {
  if (!std::equal(record.begin(), record.begin() + 4, "TRK5")) return fail("wrong magic");
  if (record[4] > 3) return fail("state " + std::to_string(record[4]) + " out of range");
  if (record[5] != 0 || record[6] != 0 || record[7] != 0)
    return fail("reserved bytes are not zero");
  if (std::all_of(record.begin() + 8, record.end(), [](uint8_t byte) { return byte == 0; })) {
    return fail("the token is all zero");
  }
  std::string text = "state=" + std::to_string(record[4]) + " token=";
  for (auto byte = record.begin() + 8; byte != record.end(); ++byte) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", *byte);
    text += hex;
  }
  return text;
}

Result<> send_request(libusb_device_handle* handle, int interface, const std::string& name) {
  auto code = request_code(name);
  if (!code) return std::unexpected(code.error());
  std::array<uint8_t, status_size> record{};
  int got = libusb_control_transfer(handle, vendor_in_to_interface, *code, 5,
                                    static_cast<uint16_t>(interface), record.data(),
                                    static_cast<uint16_t>(record.size()), 1000);
  if (got < 0) return fail(name + ": " + libusb_error_name(got));
  if (static_cast<size_t>(got) != record.size()) {
    return fail(name + ": " + std::to_string(got) + " bytes instead of 24");
  }
  auto described = describe_status(record);
  if (!described) return fail(name + ": " + described.error().message);
  print_line(name + " " + *described);
  return {};
}

Result<> run(const std::string& node, int interface, const std::vector<std::string>& requests) {
  UniqueFd fd(::open(node.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return fail("open " + node + ": " + os_error_text(errno));
  // The device comes from our own descriptor: libusb must not scan the bus.
  libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
  libusb_context* raw_context = nullptr;
  if (int error = libusb_init(&raw_context); error != 0) {
    return fail(std::string("libusb_init: ") + libusb_error_name(error));
  }
  Context context(raw_context);
  libusb_device_handle* raw_handle = nullptr;
  if (int error = libusb_wrap_sys_device(context.get(), fd.get(), &raw_handle); error != 0) {
    return fail(std::string("libusb_wrap_sys_device: ") + libusb_error_name(error));
  }
  Handle handle(raw_handle);
  if (int error = libusb_claim_interface(handle.get(), interface); error != 0) {
    return fail(std::string("claim interface: ") + libusb_error_name(error));
  }
  Claim claim(handle.get(), interface);
  for (const auto& request : requests) {
    if (auto sent = send_request(handle.get(), interface, request); !sent) return sent;
  }
  return {};
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  if (argc < 4) {
    log_line("usage: usb-session-request DEVICE_NODE INTERFACE reset|status|0xNN...");
    return 2;
  }
  auto done =
      lab::run(argv[1], std::atoi(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
  if (!done) {
    log_line("usb-session-request: " + done.error().message);
    return 1;
  }
  return 0;
}
