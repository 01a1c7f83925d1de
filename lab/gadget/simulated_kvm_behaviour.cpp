#include "simulated_kvm_behaviour.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "log.hpp"
#include "payload_digest.hpp"
#include "session/byte_order.hpp"
#include "session/session_status.hpp"

namespace corvane::lab {
namespace {

constexpr size_t header_size = 8;
// The most one endpoint read or write moves; FunctionFS allocates a kernel
// buffer of the requested size.
constexpr size_t endpoint_chunk = 65536;
constexpr uint8_t vendor_in_to_interface = 0xc1;
constexpr uint16_t status_request_value = 5;

// One read of at most want bytes; 0 when the endpoint failed (logged).
size_t read_some(int fd, uint8_t* data, size_t want) {
  for (;;) {
    ssize_t got = ::read(fd, data, want);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && errno == EINTR) continue;
    log_line("gadget-kvm: bulk OUT: " + (got < 0 ? os_error_text(errno) : "end of data"));
    return 0;
  }
}

// Reads a FunctionFS bulk OUT endpoint in whole packets, since a read
// shorter than the host's packet fails with EOVERFLOW. Each read asks for no
// more than the caller wants, rounded up to a packet: a read larger than what
// the host sends before it pauses would wait for the host's next transfer
// whenever the last one ended on a packet boundary. Bytes past what the
// caller wanted wait here for the next call.
class PacketReader {
 public:
  explicit PacketReader(int fd) : fd_(fd), buffer_(endpoint_chunk) {}

  // At most want bytes; empty once the endpoint failed.
  std::span<const uint8_t> next(size_t want) {
    if (start_ == end_) {
      size_t ask = std::min(endpoint_chunk, (want + max_packet - 1) / max_packet * max_packet);
      start_ = 0;
      end_ = read_some(fd_, buffer_.data(), ask);
    }
    size_t take = std::min(want, end_ - start_);
    std::span<const uint8_t> piece(buffer_.data() + start_, take);
    start_ += take;
    return piece;
  }

 private:
  // High speed's; a multiple of full speed's 64.
  static constexpr size_t max_packet = 512;
  int fd_;
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  size_t end_ = 0;
};

// The services' channels: clipboard, terminal, file and update. Their
// messages are small (64 KiB at most), unlike the video channel's.
bool is_service_channel(uint16_t channel) { return channel >= 2 && channel <= 5; }

// The services' state messages (clipboard.state, terminal.state, file.state,
// update.state) are type 1 of their channels.
bool is_state_message(uint16_t channel, uint16_t type) {
  return is_service_channel(channel) && type == 1;
}

constexpr char hex_digits[] = "0123456789abcdef";

std::string hex_text(std::span<const uint8_t> payload) {
  std::string text;
  for (uint8_t byte : payload) {
    text += hex_digits[byte >> 4];
    text += hex_digits[byte & 0xf];
  }
  return text;
}

// Printable ASCII as it is, a backslash doubled, every other byte as \xNN:
// a terminal's output or a saved file's path stays readable in one line, and
// a test can join the pieces of a stream, as every byte is escaped alone.
// Only the first escaped_limit bytes are shown, so that a full 64 KiB
// message keeps its line short; the cut is marked with the count left out.
std::string escaped_text(std::span<const uint8_t> payload) {
  constexpr size_t escaped_limit = 4096;
  std::string text;
  for (uint8_t byte : payload.first(std::min(payload.size(), escaped_limit))) {
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      text += static_cast<char>(byte);
    } else {
      text += "\\x";
      text += hex_digits[byte >> 4];
      text += hex_digits[byte & 0xf];
    }
  }
  if (payload.size() > escaped_limit) {
    text += " [" + std::to_string(payload.size() - escaped_limit) + " more bytes]";
  }
  return text;
}

// A second line after "received" for the frames a test reads the values of:
// session.info as its JSON text, the other session frames and the state
// messages in hex, every other service message as escaped text.
void log_payload(uint16_t channel, uint16_t type, std::span<const uint8_t> payload) {
  constexpr uint16_t session_info_type = 6;
  std::string text;
  if (channel == 0 && type == session_info_type) {
    text.assign(payload.begin(), payload.end());
  } else if (channel == 0 || is_state_message(channel, type)) {
    text = hex_text(payload);
  } else {
    text = escaped_text(payload);
  }
  log_line("gadget-kvm: payload " + std::to_string(channel) + "." + std::to_string(type) + " " +
           text);
}

bool write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t put = ::write(fd, bytes.data(), std::min(bytes.size(), endpoint_chunk));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) {
      log_line("gadget-kvm: bulk IN: " + os_error_text(errno));
      return false;
    }
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return true;
}

}  // namespace

SimulatedKvmBehaviour::SimulatedKvmBehaviour(test::SimulatedKvm& kvm, StreamOptions streams,
                                             std::function<void()> unplug)
    : kvm_(kvm), streams_(streams), unplug_(std::move(unplug)) {}

SimulatedKvmBehaviour::~SimulatedKvmBehaviour() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  unplug_once();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
}

SessionStatus SimulatedKvmBehaviour::reset_session() { return answer(session_reset_request); }

SessionStatus SimulatedKvmBehaviour::session_status() { return answer(session_status_request); }

SessionStatus SimulatedKvmBehaviour::answer(uint8_t request) {
  std::optional<test::Bytes> record;
  {
    std::lock_guard lock(mutex_);
    record = kvm_.control_in({vendor_in_to_interface, request, status_request_value,
                              kvm_.interface_number, session_status_size});
  }
  changed_.notify_all();
  auto status = record ? parse_session_status(*record) : fail("no answer");
  if (!status) {
    log_line("gadget-kvm: the simulated KVM gave no status record");
    return {};
  }
  return {static_cast<SessionStatus::State>(status->state), status->token};
}

void SimulatedKvmBehaviour::start_streams(int bulk_out, int bulk_in) {
  if (reader_.joinable()) return;
  reader_ = std::jthread([this, bulk_out] { read_frames(bulk_out); });
  writer_ = std::jthread([this, bulk_in] { write_stream(bulk_in); });
}

void SimulatedKvmBehaviour::read_frames(int bulk_out) {
  PacketReader reader(bulk_out);
  for (;;) {
    std::vector<uint8_t> frame;
    while (frame.size() < header_size) {
      auto piece = reader.next(header_size - frame.size());
      if (piece.empty()) return;
      frame.insert(frame.end(), piece.begin(), piece.end());
      if (!count_received(piece.size())) return wait_for_stop();
    }
    uint16_t channel = load_le<uint16_t>(frame.data());
    uint16_t type = load_le<uint16_t>(frame.data() + 2);
    uint32_t length = load_le<uint32_t>(frame.data() + 4);
    bool session_frame = channel == 0;
    bool kept = session_frame || is_service_channel(channel);
    bool logged = kept || streams_.digest;
    PayloadDigest digest;
    for (size_t left = length; left > 0;) {
      auto piece = reader.next(left);
      if (piece.empty()) return;
      if (logged) digest.add(piece);
      if (kept) frame.insert(frame.end(), piece.begin(), piece.end());
      left -= piece.size();
      if (!count_received(piece.size())) return wait_for_stop();
    }
    if (logged) {
      log_line("gadget-kvm: received " + std::to_string(channel) + "." + std::to_string(type) +
               " length=" + std::to_string(length) + " digest=" + digest.text());
    }
    if (kept) log_payload(channel, type, std::span(frame).subspan(header_size));
    if (session_frame) {
      {
        std::lock_guard lock(mutex_);
        kvm_.receive(frame);
      }
      changed_.notify_all();
    }
    if (read_limit_reached()) return wait_for_stop();
  }
}

bool SimulatedKvmBehaviour::count_received(size_t bytes) {
  uint64_t total = 0;
  {
    std::lock_guard lock(mutex_);
    total = received_bytes_ += bytes;
  }
  if (streams_.unplug_after != 0 && total >= streams_.unplug_after) {
    log_line("gadget-kvm: unplugging after " + std::to_string(total) + " bytes");
    unplug_once();
    return false;
  }
  return true;
}

bool SimulatedKvmBehaviour::read_limit_reached() {
  uint64_t total = 0;
  {
    std::lock_guard lock(mutex_);
    total = received_bytes_;
  }
  if (streams_.read_limit == 0 || total < streams_.read_limit) return false;
  log_line("gadget-kvm: stopped reading after " + std::to_string(total) + " bytes");
  return true;
}

void SimulatedKvmBehaviour::wait_for_stop() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return stop_; });
}

void SimulatedKvmBehaviour::write_stream(int bulk_in) {
  for (;;) {
    std::shared_ptr<const test::Bytes> write;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || (write = kvm_.next_write()) != nullptr; });
      if (stop_) return;
    }
    if (!write_all(bulk_in, *write)) return;
  }
}

void SimulatedKvmBehaviour::unplug_once() {
  {
    std::lock_guard lock(mutex_);
    if (unplugged_) return;
    unplugged_ = true;
  }
  unplug_();
}

}  // namespace corvane::lab
