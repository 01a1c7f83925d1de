// Terminal output and keystroke latency through the served session, side
// by side with the plain pty in one run:
//   (a) a shell that cats a 64 MiB file, its output going through the hub,
//       the session worker and the in-process USB bus to the simulated KVM,
//       which grants credit as it receives; against reading the same cat
//       straight from a pty: throughput ratio;
//   (b) one keystroke from the KVM to the shell's echo back at the KVM:
//       p50 and p95 of the round trip.
// Each throughput figure is the best of several rounds, alternating sides.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "approval.hpp"
#include "in_process_usb.hpp"
#include "services/terminal/pseudo_terminal.hpp"
#include "session/catalogue.hpp"
#include "session/kvm_session.hpp"
#include "session/payload_writer.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace corvane;
using namespace std::chrono_literals;
using Timer = std::chrono::steady_clock;

constexpr size_t file_size = 64u << 20;
constexpr int rounds = 3;
constexpr int keystrokes = 300;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stdout, "terminal_bench: %s\n", what.c_str());
  std::exit(1);
}

double seconds_since(Timer::time_point start) {
  return std::chrono::duration<double>(Timer::now() - start).count();
}

uint32_t payload_id(const test::Bytes& payload) {
  return static_cast<uint32_t>(payload[0]) | static_cast<uint32_t>(payload[1]) << 8 |
         static_cast<uint32_t>(payload[2]) << 16 | static_cast<uint32_t>(payload[3]) << 24;
}

// Lines of 79 letters and a newline, as a text file would have.
void write_text_file(const std::filesystem::path& path) {
  std::string line(79, 'x');
  line += '\n';
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < file_size; written += line.size()) out << line;
}

void write_script(const std::filesystem::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

// The plain side: the same cat on a pty, read until the pty reports its end.
size_t read_plain_pty(const std::string& script) {
  auto pty = PseudoTerminal::open({24, 80});
  if (!pty) die(pty.error().message);
  auto child = pty->spawn({script, {"-l"}, {}, std::nullopt});
  if (!child) die(child.error().message);
  std::vector<uint8_t> buffer(65524);
  size_t total = 0;
  for (;;) {
    pollfd fd{pty->master(), POLLIN, 0};
    ::poll(&fd, 1, -1);
    ssize_t count = ::read(pty->master(), buffer.data(), buffer.size());
    if (count < 0 && errno == EAGAIN) continue;
    if (count <= 0) break;
    total += static_cast<size_t>(count);
  }
  (void)child->wait();
  return total;
}

// A served session with an approved simulated KVM whose device side runs
// on its own thread, as hardware does. The session's run loop runs on a
// thread of its own, doing wait steps as the service does; the bench's
// thread plays the KVM's web UI.
class ServedTerminal {
 public:
  ServedTerminal() {
    ::setenv("HOME", home_.path().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    device_ = &host_.plug({});
    auto store = store_path();
    if (!store) die(store.error().message);
    if (auto approved = approve(*store, device_->fingerprint()); !approved) {
      die(approved.error().message);
    }
    auto connected = connect(host_, *store, steady_clock());
    if (!connected) die(connect_error_text(connected.error()));
    SessionServices services{
        .display_names = [] { return std::vector<std::string>{}; },
        .clipboard = nullptr,  // no clipboard traffic here
        .file_destination_available = [] { return false; },
    };
    session_ = std::make_unique<KvmSession>(std::move(*connected), stop_, std::move(services));
    run_loop_ = std::thread([this] {
      while (!done_.load()) {
        if (session_->wait_step().kind != WaitOutcome::Kind::go_on) die("the session ended");
      }
    });
  }
  ~ServedTerminal() {
    done_.store(true);
    run_loop_.join();
  }
  ServedTerminal(const ServedTerminal&) = delete;
  ServedTerminal& operator=(const ServedTerminal&) = delete;

  void send(MessageId id, const test::Bytes& payload) {
    device_->with_kvm([&](test::SimulatedKvm& kvm) { kvm.send_frame(id, payload); });
  }
  void open(uint32_t id) { send(message::terminal_open, PayloadWriter().u32(id).u16(24).u16(80).take()); }
  void input(uint32_t id, std::string_view text) {
    send(message::terminal_input, PayloadWriter().u32(id).text(text).take());
  }

  // What the KVM has received of terminal id since the last call; the KVM
  // grants that much credit again at once when grant is set.
  struct Seen {
    size_t output = 0;
    bool closed = false;
  };
  Seen take_new(uint32_t id, bool grant) {
    Seen seen;
    device_->with_kvm([&](test::SimulatedKvm& kvm) {
      const auto& frames = kvm.received();
      for (; next_frame_ < frames.size(); ++next_frame_) {
        const auto& frame = frames[next_frame_];
        if (frame.channel != message::terminal_output.channel || payload_id(frame.payload) != id) {
          continue;
        }
        if (frame.id() == message::terminal_output) seen.output += frame.payload.size() - 4;
        if (frame.id() == message::terminal_closed) seen.closed = true;
      }
      if (grant && seen.output != 0) {
        kvm.send_frame(message::terminal_credit,
                       PayloadWriter().u32(id).u32(static_cast<uint32_t>(seen.output)).take());
      }
    });
    return seen;
  }

  // The KVM looks at what arrived every 100 microseconds.
  static void step() { std::this_thread::sleep_for(100us); }

 private:
  test::TempDir home_;
  test::InProcessUsbHost host_{steady_clock(), test::InProcessUsbHost::Service::device_thread};
  test::SimulatedUsbDevice* device_ = nullptr;
  StopFlag stop_ = make_stop_flag();
  std::unique_ptr<KvmSession> session_;
  std::atomic<bool> done_{false};
  std::thread run_loop_;
  size_t next_frame_ = 0;
};

size_t read_served(ServedTerminal& served, uint32_t id) {
  served.open(id);
  size_t total = 0;
  for (;;) {
    served.step();
    auto seen = served.take_new(id, true);
    total += seen.output;
    if (seen.closed) return total;
  }
}

void measure_throughput(const std::string& script) {
  ::setenv("SHELL", script.c_str(), 1);
  double plain_best = 0;
  double served_best = 0;
  size_t plain_bytes = 0;
  size_t served_bytes = 0;
  for (int round = 0; round < rounds; ++round) {
    auto start = Timer::now();
    plain_bytes = read_plain_pty(script);
    plain_best = std::max(plain_best, static_cast<double>(plain_bytes) / seconds_since(start));

    ServedTerminal served;
    start = Timer::now();
    served_bytes = read_served(served, 1);
    served_best = std::max(served_best, static_cast<double>(served_bytes) / seconds_since(start));
  }
  if (served_bytes != plain_bytes) {
    die("the KVM received " + std::to_string(served_bytes) + " bytes, the pty gave " +
        std::to_string(plain_bytes));
  }
  std::printf("terminal output, cat of 64 MiB: plain pty %.1f MB/s, through the hub %.1f MB/s, "
              "ratio %.2f (goal >= 0.5)\n",
              plain_best / 1e6, served_best / 1e6, served_best / plain_best);
}

void measure_keystrokes() {
  ::setenv("SHELL", "/bin/sh", 1);
  ServedTerminal served;
  served.open(1);
  // Let the shell start and print its prompt.
  size_t seen = 0;
  while (seen == 0) {
    served.step();
    seen += served.take_new(1, false).output;
  }
  std::this_thread::sleep_for(200ms);
  served.take_new(1, false);
  std::vector<double> round_trips;
  for (int i = 0; i < keystrokes; ++i) {
    // Keys come apart as a typist's do, not inside one drain pause.
    std::this_thread::sleep_for(10ms);
    const auto start = Timer::now();
    served.input(1, i % 64 == 63 ? "\x15" : "a");  // ^U now and then keeps the line short
    size_t echoed = 0;
    while (echoed == 0) {
      served.step();
      echoed = served.take_new(1, true).output;
    }
    round_trips.push_back(seconds_since(start) * 1e3);
  }
  std::sort(round_trips.begin(), round_trips.end());
  auto at = [&](double share) {
    return round_trips[static_cast<size_t>(share * static_cast<double>(round_trips.size() - 1))];
  };
  std::printf("keystroke to echo through the hub and /bin/sh: p50 %.2f ms, p95 %.2f ms (%d keys)\n",
              at(0.5), at(0.95), keystrokes);
}

}  // namespace

int main() {
  test::TempDir work;
  const auto file = work / "text";
  write_text_file(file);
  const auto script = work / "cat-shell";
  write_script(script, "exec cat '" + file.string() + "'\n");
  measure_throughput(script.string());
  measure_keystrokes();
  return 0;
}
