// usb-throughput-bench: bulk OUT throughput through the gadget KVM, measured
// side by side in one run: a plain usbfs loop (USBDEVFS_BULK, one 64 KiB
// transfer at a time) against corvane's send_access_unit on a connection
// from connect. Both send the same 8 MiB access units, framed the same way,
// in the same 64 KiB pieces. Rounds interleave the runs, each round in
// another order, so that a busy machine slows all alike; the ratio of each
// round and their median are printed, since under emulation one round can
// be far off. Three more loops show where a gap comes from: one keeps four
// IN reads outstanding, as the connection does, one copies each piece into
// a freshly allocated buffer first, as corvane's transfers do, and one
// submits and reaps each piece as an asynchronous URB, as libusb does.
//   usb-throughput-bench STORE NODE INTERFACE OUT_ENDPOINT IN_ENDPOINT [UNITS [ROUNDS]]
// Prints each round and then
//   "bulk OUT: usbfs loop X MB/s, with IN reads W MB/s, with copies V MB/s,
//    asynchronous U MB/s, send_access_unit Y MB/s, ratio Z, median ratio M"
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "log.hpp"
#include "session/connect.hpp"
#include "session/encode.hpp"
#include "session/usbfs_host.hpp"
#include "system/unique_fd.hpp"

namespace corvane::lab {
namespace {

// The largest access unit: 12 fixed payload bytes and this much data make 8 MiB.
constexpr size_t unit_data_size = 8388596;
constexpr unsigned bulk_timeout_ms = 5000;
// As many IN reads as the connection keeps outstanding.
constexpr size_t in_pool_size = 4;

struct Setup {
  std::string store;
  std::string node;
  unsigned interface = 0;
  unsigned out_endpoint = 0;
  unsigned in_endpoint = 0;
  int units = 8;
  int rounds = 3;
};

using Seconds = std::chrono::duration<double>;

// Wall-clock time and this process's CPU time of one run: under emulation
// the host side's CPU competes with the gadget's, so it shows where a gap
// comes from.
struct Took {
  Seconds wall{};
  Seconds cpu{};
  Took& operator+=(const Took& other) {
    wall += other.wall;
    cpu += other.cpu;
    return *this;
  }
};

class Stopwatch {
 public:
  Stopwatch() : wall_(std::chrono::steady_clock::now()), cpu_(cpu_now()) {}
  Took took() const { return {std::chrono::steady_clock::now() - wall_, cpu_now() - cpu_}; }

 private:
  static Seconds cpu_now() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return Seconds(double(now.tv_sec) + double(now.tv_nsec) / 1e9);
  }
  std::chrono::steady_clock::time_point wall_;
  Seconds cpu_;
};

// Bulk IN reads left outstanding on a claimed node for the life of this
// object; the KVM never answers them during the loop.
class PendingReads {
 public:
  PendingReads(int fd, unsigned endpoint, size_t count)
      : fd_(fd), urbs_(count), buffers_(count, std::vector<uint8_t>(usb_write_limit)) {
    for (size_t i = 0; i < count; ++i) {
      urbs_[i].type = USBDEVFS_URB_TYPE_BULK;
      urbs_[i].endpoint = static_cast<unsigned char>(endpoint);
      urbs_[i].buffer = buffers_[i].data();
      urbs_[i].buffer_length = static_cast<int>(buffers_[i].size());
      if (::ioctl(fd_, USBDEVFS_SUBMITURB, &urbs_[i]) == 0) ++submitted_;
    }
  }
  PendingReads(const PendingReads&) = delete;
  PendingReads& operator=(const PendingReads&) = delete;
  ~PendingReads() {
    for (size_t i = 0; i < submitted_; ++i) ::ioctl(fd_, USBDEVFS_DISCARDURB, &urbs_[i]);
    for (size_t i = 0; i < submitted_; ++i) {
      void* reaped = nullptr;
      ::ioctl(fd_, USBDEVFS_REAPURB, &reaped);
    }
  }
  bool complete() const { return submitted_ == urbs_.size(); }

 private:
  int fd_;
  std::vector<usbdevfs_urb> urbs_;
  std::vector<std::vector<uint8_t>> buffers_;
  size_t submitted_ = 0;
};

// How the plain loop sends each piece.
struct LoopStyle {
  size_t in_reads = 0;
  // Each piece first goes into a new zeroed buffer.
  bool copy = false;
  // Submitted and reaped as an asynchronous URB, as libusb does, rather
  // than sent with one synchronous ioctl.
  bool async = false;
};

Result<> send_piece(int fd, unsigned endpoint, uint8_t* data, size_t length, bool async) {
  if (!async) {
    usbdevfs_bulktransfer transfer{endpoint, static_cast<unsigned>(length), bulk_timeout_ms, data};
    if (::ioctl(fd, USBDEVFS_BULK, &transfer) != static_cast<int>(length)) {
      return fail("bulk transfer: " + os_error_text(errno));
    }
    return {};
  }
  usbdevfs_urb urb{};
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = static_cast<unsigned char>(endpoint);
  urb.buffer = data;
  urb.buffer_length = static_cast<int>(length);
  if (::ioctl(fd, USBDEVFS_SUBMITURB, &urb) != 0) return fail("submit: " + os_error_text(errno));
  void* reaped = nullptr;
  while (::ioctl(fd, USBDEVFS_REAPURB, &reaped) != 0) {
    if (errno != EINTR) return fail("reap: " + os_error_text(errno));
  }
  if (reaped != &urb || urb.status != 0 || urb.actual_length != static_cast<int>(length)) {
    return fail("asynchronous bulk transfer failed");
  }
  return {};
}

// The plain loop: its own claim on the node, one bulk transfer per 64 KiB
// piece of the framed access unit, sent in the given style.
Result<Took> usbfs_loop(const Setup& setup, std::span<const uint8_t> frame, LoopStyle style) {
  UniqueFd fd(::open(setup.node.c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) return fail("open " + setup.node + ": " + os_error_text(errno));
  unsigned interface = setup.interface;
  if (::ioctl(fd.get(), USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
    return fail("claim interface: " + os_error_text(errno));
  }
  PendingReads reads(fd.get(), setup.in_endpoint, style.in_reads);
  if (!reads.complete()) return fail("submitting IN reads: " + os_error_text(errno));
  Stopwatch stopwatch;
  for (int unit = 0; unit < setup.units; ++unit) {
    for (size_t at = 0; at < frame.size(); at += usb_write_limit) {
      size_t length = std::min(usb_write_limit, frame.size() - at);
      std::vector<uint8_t> piece;
      uint8_t* data = const_cast<uint8_t*>(frame.data() + at);
      if (style.copy) {
        piece.resize(length);
        std::copy_n(data, length, piece.begin());
        data = piece.data();
      }
      auto sent = send_piece(fd.get(), setup.out_endpoint, data, length, style.async);
      if (!sent) return std::unexpected(sent.error());
    }
  }
  Took took = stopwatch.took();
  ::ioctl(fd.get(), USBDEVFS_RELEASEINTERFACE, &interface);
  return took;
}

Result<Took> corvane_sends(const Setup& setup, std::span<const uint8_t> data) {
  UsbfsHost host;
  auto connected = connect(host, setup.store, steady_clock());
  if (!connected) return fail("connect: " + connect_error_text(connected.error()));
  Stopwatch stopwatch;
  for (int unit = 0; unit < setup.units; ++unit) {
    AccessUnitInfo info{uint64_t(unit) * 16666, unit == 0, unit == 0};
    if (auto sent = connected->connection->send_access_unit(info, data); !sent) {
      return fail("send_access_unit: " + sent.error().message);
    }
  }
  return stopwatch.took();
}

std::string rate(double bytes, const Took& took) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", bytes / took.wall.count() / 1e6);
  return text;
}

// Milliseconds of this process's CPU per MB sent.
std::string cpu_cost(double bytes, const Took& took) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", took.cpu.count() * 1e3 / (bytes / 1e6));
  return text;
}

// The runs of one round, in the order they are measured.
enum class Run { loop, reading, copying, asynchronous, corvane };
constexpr std::array<Run, 5> runs{Run::loop, Run::reading, Run::copying, Run::asynchronous,
                                  Run::corvane};

Result<Took> measure(Run run, const Setup& setup, std::span<const uint8_t> frame,
                     std::span<const uint8_t> data) {
  switch (run) {
    case Run::loop: return usbfs_loop(setup, frame, {});
    case Run::reading: return usbfs_loop(setup, frame, {.in_reads = in_pool_size});
    case Run::copying: return usbfs_loop(setup, frame, {.copy = true});
    case Run::asynchronous: return usbfs_loop(setup, frame, {.async = true});
    case Run::corvane: return corvane_sends(setup, data);
  }
  return fail("unknown run");
}

std::string fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

Result<> run(const Setup& setup) {
  std::vector<uint8_t> data(unit_data_size);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 2654435761u >> 24);
  auto prefix = encode_access_unit_prefix({}, data.size());
  if (!prefix) return std::unexpected(prefix.error());
  std::vector<uint8_t> frame(prefix->size() + data.size());
  std::copy(data.begin(), data.end(), std::copy(prefix->begin(), prefix->end(), frame.begin()));

  const double bytes_per_run = double(frame.size()) * setup.units;
  std::array<Took, runs.size()> total{};
  std::vector<double> ratios;
  for (int round = 1; round <= setup.rounds; ++round) {
    std::array<Took, runs.size()> took{};
    // Each round starts with another run, so that none always follows the same one.
    for (size_t step = 0; step < runs.size(); ++step) {
      size_t index = (step + size_t(round - 1)) % runs.size();
      auto measured = measure(runs[index], setup, frame, data);
      if (!measured) return std::unexpected(measured.error());
      took[index] = *measured;
      total[index] += *measured;
    }
    const double ratio = took[0].wall.count() / took[4].wall.count();
    ratios.push_back(ratio);
    print_line("round " + std::to_string(round) + ": usbfs loop " + rate(bytes_per_run, took[0]) +
               " MB/s, with IN reads " + rate(bytes_per_run, took[1]) + " MB/s, with copies " +
               rate(bytes_per_run, took[2]) + " MB/s, asynchronous " +
               rate(bytes_per_run, took[3]) + " MB/s, send_access_unit " +
               rate(bytes_per_run, took[4]) + " MB/s, ratio " + fixed(ratio));
  }
  std::ranges::sort(ratios);
  const size_t middle = ratios.size() / 2;
  const double median =
      ratios.size() % 2 ? ratios[middle] : (ratios[middle - 1] + ratios[middle]) / 2;
  const double total_bytes = bytes_per_run * setup.rounds;
  print_line("bulk OUT: usbfs loop " + rate(total_bytes, total[0]) + " MB/s, with IN reads " +
             rate(total_bytes, total[1]) + " MB/s, with copies " + rate(total_bytes, total[2]) +
             " MB/s, asynchronous " + rate(total_bytes, total[3]) + " MB/s, send_access_unit " +
             rate(total_bytes, total[4]) + " MB/s, ratio " +
             fixed(total[0].wall.count() / total[4].wall.count()) + ", median ratio " +
             fixed(median));
  print_line("host CPU per MB: usbfs loop " + cpu_cost(total_bytes, total[0]) +
             " ms, with IN reads " + cpu_cost(total_bytes, total[1]) + " ms, with copies " +
             cpu_cost(total_bytes, total[2]) + " ms, asynchronous " +
             cpu_cost(total_bytes, total[3]) + " ms, send_access_unit " +
             cpu_cost(total_bytes, total[4]) + " ms");
  return {};
}

}  // namespace
}  // namespace corvane::lab

int main(int argc, char** argv) {
  using namespace corvane;
  if (argc < 6) {
    log_line(
        "usage: usb-throughput-bench STORE NODE INTERFACE OUT_ENDPOINT IN_ENDPOINT [UNITS "
        "[ROUNDS]]");
    return 2;
  }
  lab::Setup setup{argv[1], argv[2], unsigned(std::strtoul(argv[3], nullptr, 0)),
                   unsigned(std::strtoul(argv[4], nullptr, 0)),
                   unsigned(std::strtoul(argv[5], nullptr, 0))};
  if (argc > 6) setup.units = std::atoi(argv[6]);
  if (argc > 7) setup.rounds = std::atoi(argv[7]);
  if (auto done = lab::run(setup); !done) {
    log_line("usb-throughput-bench: " + done.error().message);
    return 1;
  }
  return 0;
}
