#include "services/clipboard/clipboard_worker.hpp"

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "log.hpp"
#include "system/lossy_utf8.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// The worker waits without a limit; the receive is only cut into slices.
constexpr auto idle_slice = 1h;

// Serving the clipboard writes to other programs' pipes and to the
// display server's socket; one that goes away mid-write must cost a write
// error, not the process. The facilities' threads inherit this.
void block_broken_pipe_signal() {
  sigset_t broken_pipe;
  sigemptyset(&broken_pipe);
  sigaddset(&broken_pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &broken_pipe, nullptr);
}

bool is_continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

uint8_t failure_status(const ClipboardFailure& failure) {
  return failure.kind == ClipboardFailureKind::unsupported ? clipboard_status::unavailable
                                                           : clipboard_status::failed;
}

class ClipboardWorker {
 public:
  ClipboardWorker(Receiver<ClipboardRequest> requests, ClipboardOpener opener)
      : requests_(std::move(requests)), opener_(std::move(opener)) {}

  void run() {
    for (;;) {
      auto received = requests_.receive(idle_slice);
      if (received.status == ReceiveStatus::closed) return;
      if (received.status == ReceiveStatus::empty) continue;
      open_if_needed();
      std::visit([this](auto& request) { handle(request); }, *received.message);
    }
  }

 private:
  void open_if_needed() {
    if (facility_) return;
    auto opened = opener_();
    if (!opened) {
      log_line("corvane: clipboard unavailable: " + opened.error().message);
      return;
    }
    facility_ = std::move(*opened);
  }

  // A requester that gave up has dropped its reply channel; the answer is
  // then dropped with it.
  void handle(ProbeRequest& request) { request.reply.send(facility_ != nullptr); }

  void handle(GetRequest& request) { request.reply.send(read()); }

  void handle(SetRequest& request) { request.reply.send(write(std::move(request.text))); }

  ClipboardText read() {
    if (!facility_) return {{}, false, clipboard_status::unavailable};
    auto text = facility_->read_text();
    if (!text) {
      if (text.error().kind == ClipboardFailureKind::no_text) {
        return {{}, false, clipboard_status::no_text};
      }
      log_line("corvane: clipboard read failed: " + text.error().text);
      return {{}, false, failure_status(text.error())};
    }
    if (text->empty()) return {{}, false, clipboard_status::no_text};
    // Other programs may offer bytes that are not UTF-8; the KVM only
    // takes text, and the cut below relies on well-formed characters.
    auto utf8 = from_utf8_lossy(*text);
    bool truncated = cut_on_character_boundary(utf8);
    return {std::move(utf8), truncated, clipboard_status::done};
  }

  uint8_t write(std::string text) {
    if (!facility_) return clipboard_status::unavailable;
    auto written = facility_->write_text(std::move(text));
    if (written) return clipboard_status::done;
    log_line("corvane: clipboard write failed: " + written.error().text);
    return failure_status(written.error());
  }

  Receiver<ClipboardRequest> requests_;
  ClipboardOpener opener_;
  std::unique_ptr<ClipboardFacility> facility_;
};

}  // namespace

bool cut_on_character_boundary(std::string& text, size_t limit) {
  if (text.size() <= limit) return false;
  size_t length = limit;
  while (length > 0 && is_continuation_byte(text[length])) --length;
  text.resize(length);
  return true;
}

Result<Sender<ClipboardRequest>> start_clipboard_worker(ClipboardOpener opener) {
  auto channel = make_channel<ClipboardRequest>();
  try {
    std::thread([worker = ClipboardWorker(std::move(channel.receiver), std::move(opener))]() mutable {
      ::pthread_setname_np(::pthread_self(), "clipboard");
      block_broken_pipe_signal();
      worker.run();
    }).detach();
  } catch (const std::system_error& error) {
    return fail(std::string("could not start the clipboard worker: ") + error.what());
  }
  return std::move(channel.sender);
}

}  // namespace corvane
