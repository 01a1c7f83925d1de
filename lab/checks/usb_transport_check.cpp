// usb-transport-check: corvane's own USB transport against a real device,
// for lab tests. Connects the way the service does (sysfs listing, usbfs
// node, session reset, handshake, approved store), prints the outcome, then
// runs each step on the connection and prints its result:
//   usb-transport-check STORE [access-unit BYTES | read | frame]...
//   -> "connected: LABEL fingerprint=FP terminal=0|1 files=0|1" or
//      "connect failed: TEXT" (exit 1)
//   access-unit BYTES -> "access unit BYTES digest=HEX sent in S s" or
//                        "access unit BYTES failed in S s: TEXT"
//   read              -> "read: data N bytes", "read: no data" or "read failed: TEXT"
//   frame             -> "frame C.T length=N digest=HEX" once a whole frame
//                        has arrived, or "frame failed: TEXT"
// A step that fails does not end the run: what the connection does after a
// failure is what the tests look at. The digest is the gadget's, over the
// frame's payload.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fingerprint.hpp"
#include "log.hpp"
#include "payload_digest.hpp"
#include "session/connect.hpp"
#include "session/encode.hpp"
#include "session/frame.hpp"
#include "session/usbfs_host.hpp"

namespace corvane::lab {
namespace {

using namespace std::chrono_literals;

constexpr auto read_timeout = 1s;
constexpr int frame_reads = 10;

std::string seconds_since(std::chrono::steady_clock::time_point start) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return text;
}

// Bytes that differ from unit to unit and from offset to offset, so a lost,
// repeated or reordered piece changes the digest.
std::vector<uint8_t> unit_data(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : data) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<uint8_t>(state);
  }
  return data;
}

void send_unit(UsbConnection& connection, size_t size, uint32_t index) {
  AccessUnitInfo unit{1000 * uint64_t{index}, index == 0, index == 0};
  auto data = unit_data(size, index);
  auto prefix = encode_access_unit_prefix(unit, data.size());
  if (!prefix) {
    print_line("access unit " + std::to_string(size) + " failed: " + prefix.error().message);
    return;
  }
  PayloadDigest digest;
  digest.add(std::span(*prefix).subspan(8));
  digest.add(data);
  auto start = std::chrono::steady_clock::now();
  auto sent = connection.send_access_unit(unit, data);
  std::string head = "access unit " + std::to_string(size);
  if (sent) {
    print_line(head + " digest=" + digest.text() + " sent in " + seconds_since(start) + " s");
  } else {
    print_line(head + " failed in " + seconds_since(start) + " s: " + sent.error().message);
  }
}

void read_once(UsbConnection& connection) {
  size_t before = connection.receive_buffer().size();
  auto got = connection.read(read_timeout);
  if (!got) {
    print_line("read failed: " + got.error().message);
  } else if (*got) {
    print_line("read: data " + std::to_string(connection.receive_buffer().size() - before) +
               " bytes");
  } else {
    print_line("read: no data");
  }
}

Result<bool> frame_from_buffer(UsbConnection& connection) {
  auto taken = read_frame(connection.receive_buffer());
  if (!taken) return std::unexpected(taken.error());
  if (!taken->complete) return false;
  const auto& frame = taken->frame;
  PayloadDigest digest;
  digest.add(frame.payload);
  print_line("frame " + std::to_string(frame.channel) + "." + std::to_string(frame.type) +
             " length=" + std::to_string(frame.payload.size()) + " digest=" + digest.text());
  return true;
}

void next_frame(UsbConnection& connection) {
  for (int read = 0;; ++read) {
    auto printed = frame_from_buffer(connection);
    if (!printed) return print_line("frame failed: " + printed.error().message);
    if (*printed) return;
    if (read == frame_reads) return print_line("frame failed: none arrived");
    if (auto got = connection.read(read_timeout); !got) {
      return print_line("frame failed: " + got.error().message);
    }
  }
}

Result<> run_steps(UsbConnection& connection, const std::vector<std::string>& steps) {
  uint32_t units = 0;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (steps[i] == "read" || steps[i] == "frame") {
      (steps[i] == "read" ? read_once : next_frame)(connection);
      continue;
    }
    if (steps[i] != "access-unit" || i + 1 == steps.size()) {
      return fail("unknown step " + steps[i] + " (access-unit BYTES, read or frame)");
    }
    send_unit(connection, std::strtoull(steps[++i].c_str(), nullptr, 10), units++);
  }
  return {};
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  if (argc < 2) {
    log_line("usage: usb-transport-check STORE [access-unit BYTES | read | frame]...");
    return 2;
  }
  UsbfsHost host;
  auto connected = connect(host, argv[1], steady_clock());
  if (!connected) {
    print_line("connect failed: " + connect_error_text(connected.error()));
    return 1;
  }
  print_line("connected: " + connected->candidate.label +
             " fingerprint=" + format_fingerprint(connected->fingerprint) +
             " terminal=" + std::to_string(connected->settings.terminal_enabled) +
             " files=" + std::to_string(connected->settings.files_enabled));
  auto done =
      lab::run_steps(*connected->connection, std::vector<std::string>(argv + 2, argv + argc));
  if (!done) {
    log_line("usb-transport-check: " + done.error().message);
    return 2;
  }
  return 0;
}
