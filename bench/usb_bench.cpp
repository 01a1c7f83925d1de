// The USB transport's overhead over the facility it drives, measured side by
// side against the in-process KVM (whose device side runs on its own thread,
// as hardware does):
//   (a) send_access_unit of 100 KiB, 1 MiB and 8 MiB units against a plain
//       loop that moves the same bytes through the facility in 64 KiB
//       transfers: goodput ratio;
//   (b) reading 64 KiB file.chunk frames through the IN pool and taking them
//       from the receive buffer, against a plain loop that keeps four IN
//       transfers going and drops what arrives: goodput ratio;
//   (c) the time one small access unit takes to go out.
// Each figure is the best of several rounds, alternating the two sides.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "in_process_usb.hpp"
#include "session/frame.hpp"
#include "session/usb_connection.hpp"

namespace {

using namespace corvane;
using namespace std::chrono_literals;
using test::Bytes;
using test::InProcessUsbHost;
using Timer = std::chrono::steady_clock;

constexpr uint8_t out_endpoint = 0x01;
constexpr uint8_t in_endpoint = 0x81;
constexpr int rounds = 7;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "usb_bench: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T check(Result<T> result, const char* what) {
  if (!result) die(std::string(what) + ": " + result.error().message);
  return std::move(*result);
}

void check(Result<> result, const char* what) {
  if (!result) die(std::string(what) + ": " + result.error().message);
}

double seconds_since(Timer::time_point start) {
  return std::chrono::duration<double>(Timer::now() - start).count();
}

// The plain loop's side: the facility alone, one 64 KiB OUT transfer after
// another.
void plain_write(UsbDevice& device, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto piece = bytes.first(std::min(bytes.size(), usb_write_limit));
    check(device.submit_out(out_endpoint, piece, {}), "submit_out");
    while (!check(device.wait_out(25ms), "wait_out")) {
    }
    bytes = bytes.subspan(piece.size());
  }
}

// Reads until total bytes have arrived; the IN transfers are already posted.
void plain_read(UsbDevice& device, size_t total) {
  size_t arrived = 0;
  while (arrived < total) {
    auto completion = check(device.wait_in(1s), "wait_in");
    if (!completion.completed) die("the KVM stopped sending");
    arrived += completion.data.size();
    check(device.submit_in(in_endpoint, 65536), "submit_in");
  }
}

void connection_read(UsbConnection& connection, size_t frames) {
  auto& buffer = connection.receive_buffer();
  while (frames > 0) {
    if (!check(connection.read(1s), "read")) die("the KVM stopped sending");
    for (;;) {
      auto frame = check(read_frame(buffer), "read_frame");
      if (!frame.complete) break;
      if (frames == 0) die("more frames than sent");
      --frames;
    }
  }
}

struct Best {
  double plain = 1e9;
  double connection = 1e9;
};

void report(const char* what, size_t bytes, const Best& best) {
  double plain = static_cast<double>(bytes) / best.plain / 1e6;
  double connection = static_cast<double>(bytes) / best.connection / 1e6;
  std::printf("%-34s plain %8.1f MB/s  transport %8.1f MB/s  ratio %.2f\n", what, plain,
              connection, connection / plain);
}

}  // namespace

int main() {
  InProcessUsbHost host(steady_clock(), InProcessUsbHost::Service::device_thread);
  auto& transport_kvm = host.plug();
  test::SimulatedDeviceConfig plain_config;
  plain_config.address = 3;
  auto& plain_kvm = host.plug(plain_config);
  for (auto* kvm : {&transport_kvm, &plain_kvm}) {
    kvm->with_kvm([](test::SimulatedKvm& k) { k.discard_received(); });
  }

  auto opened =
      check(open_connection(std::move(*host.open(1, 2)), 0, steady_clock()), "open_connection");
  auto& connection = *opened.connection;
  auto plain_device = std::move(*host.open(1, 3));
  check(plain_device->claim_interface(0), "claim");

  std::printf("send_access_unit against a plain loop of 64 KiB OUT transfers\n");
  for (size_t nominal : {size_t{100} << 10, size_t{1} << 20, size_t{8} << 20}) {
    // The largest unit a message may carry is 12 bytes short of 8 MiB.
    size_t size = std::min<size_t>(nominal, access_unit_payload_limit - 12);
    Bytes data(size, 0x5a);
    Bytes same_bytes(size + access_unit_prefix_size, 0x5a);
    const int units = static_cast<int>(std::max<size_t>(4, (32u << 20) / size));
    Best best;
    for (int round = 0; round < rounds; ++round) {
      auto start = Timer::now();
      for (int i = 0; i < units; ++i) plain_write(*plain_device, same_bytes);
      best.plain = std::min(best.plain, seconds_since(start));
      start = Timer::now();
      for (int i = 0; i < units; ++i) check(connection.send_access_unit({}, data), "send");
      best.connection = std::min(best.connection, seconds_since(start));
    }
    char what[64];
    std::snprintf(what, sizeof what, "  %zu KiB access units", nominal >> 10);
    report(what, same_bytes.size() * static_cast<size_t>(units), best);
  }

  std::printf("reading 64 KiB file.chunk frames against a plain loop of IN transfers\n");
  auto chunk = std::make_shared<const Bytes>(test::frame_bytes(message::file_chunk, Bytes(65536, 1)));
  for (auto* kvm : {&transport_kvm, &plain_kvm}) {
    kvm->with_kvm([&](test::SimulatedKvm& k) { k.stream(chunk); });
  }
  for (int i = 0; i < 4; ++i) check(plain_device->submit_in(in_endpoint, 65536), "submit_in");
  constexpr size_t frames = 2000;
  Best best;
  for (int round = 0; round < rounds; ++round) {
    auto start = Timer::now();
    plain_read(*plain_device, frames * chunk->size());
    best.plain = std::min(best.plain, seconds_since(start));
    start = Timer::now();
    connection_read(connection, frames);
    best.connection = std::min(best.connection, seconds_since(start));
  }
  report("  64 KiB file.chunk frames", frames * chunk->size(), best);

  // At 120 frames per second a small access unit must leave well within a
  // frame period.
  Bytes small(8 << 10, 0x11);
  constexpr int small_units = 2000;
  double slowest = 0;
  auto start = Timer::now();
  for (int i = 0; i < small_units; ++i) {
    auto unit_start = Timer::now();
    check(connection.send_access_unit({}, small), "send");
    slowest = std::max(slowest, seconds_since(unit_start));
  }
  std::printf("8 KiB access unit: mean %.1f us, slowest %.1f us\n",
              seconds_since(start) / small_units * 1e6, slowest * 1e6);
  return 0;
}
