#include "services/clipboard/wayland_clipboard.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "system/unique_fd.hpp"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;

// How long the clipboard's owner gets for each piece of a transfer, and
// the facility's thread for each thing it is asked to do.
constexpr auto step_time = 1s;

// The text forms, the preferred first. Programs that copy text offer at
// least one of them.
constexpr const char* text_types[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                      "TEXT", "STRING"};

struct DisplayDeleter {
  void operator()(wl_display* display) const { wl_display_disconnect(display); }
};

// One piece of serving: a program asked for the text through this pipe.
// Written without blocking, so one slow reader holds up nobody.
struct OutgoingPipe {
  UniqueFd fd;
  std::shared_ptr<const std::string> text;
  size_t offset = 0;
};

class WaylandClipboard final : public ClipboardFacility {
 public:
  explicit WaylandClipboard(wl_display* display) : display_(display) {}

  ~WaylandClipboard() override {
    if (thread_.joinable()) {
      stopping_.store(true);
      signal_wake();
      thread_.join();
    }
    destroy_objects();
  }

  // Runs on the opening thread, before the facility's own thread exists.
  Result<> start() {
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) return fail("cannot create the clipboard's wake-up descriptor: " + os_error_text(errno));
    registry_ = wl_display_get_registry(display_.get());
    wl_registry_add_listener(registry_, &registry_listener, this);
    if (wl_display_roundtrip(display_.get()) < 0) return fail("the Wayland compositor did not answer");
    if (!manager_) return fail("the Wayland compositor offers no data-control protocol");
    if (!seat_) return fail("the Wayland compositor has no seat");
    device_ = zwlr_data_control_manager_v1_get_data_device(manager_, seat_);
    zwlr_data_control_device_v1_add_listener(device_, &device_listener, this);
    // The compositor announces the current selection right away.
    if (wl_display_roundtrip(display_.get()) < 0) return fail("the Wayland compositor did not answer");
    if (finished_) return fail("the Wayland compositor refused clipboard access");
    thread_ = std::thread([this] {
      ::pthread_setname_np(::pthread_self(), "clipboard-wl");
      run();
    });
    return {};
  }

  ClipboardResult<std::string> read_text() override {
    auto pipe = call<ClipboardResult<UniqueFd>>([this] { return receive_selection(); });
    if (!pipe) return std::unexpected(pipe.error());
    if (!*pipe) return std::unexpected((*pipe).error());
    return read_all((*pipe)->get());
  }

  ClipboardResult<> write_text(std::string text) override {
    auto shared = std::make_shared<const std::string>(std::move(text));
    auto done = call<ClipboardResult<>>([this, shared] { return offer(shared); });
    if (!done) return std::unexpected(done.error());
    return *done;
  }

 private:
  // --- on the worker's thread ---

  // Runs work on the facility's thread and waits for its result.
  template <class T>
  ClipboardResult<T> call(std::function<T()> work) {
    auto promise = std::make_shared<std::promise<T>>();
    auto result = promise->get_future();
    {
      std::lock_guard lock(mutex_);
      commands_.emplace_back([promise, work = std::move(work)] { promise->set_value(work()); });
    }
    signal_wake();
    if (result.wait_for(step_time) != std::future_status::ready) {
      return clipboard_failure(ClipboardFailureKind::other,
                               "the Wayland clipboard thread did not answer");
    }
    return result.get();
  }

  static ClipboardResult<std::string> read_all(int fd) {
    std::string text;
    char buffer[65536];
    for (;;) {
      pollfd descriptor{fd, POLLIN, 0};
      int ready = ::poll(&descriptor, 1, static_cast<int>(std::chrono::milliseconds(step_time).count()));
      if (ready == 0) {
        return clipboard_failure(ClipboardFailureKind::other, "the clipboard owner did not answer");
      }
      if (ready < 0 && errno == EINTR) continue;
      auto got = ::read(fd, buffer, sizeof buffer);
      if (got == 0) return text;
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return clipboard_failure(ClipboardFailureKind::other,
                                 "cannot read the clipboard: " + os_error_text(errno));
      }
      text.append(buffer, static_cast<size_t>(got));
    }
  }

  void signal_wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
  }

  // --- on the facility's thread ---

  static std::unexpected<ClipboardFailure> ended() {
    return clipboard_failure(ClipboardFailureKind::other, "the Wayland compositor ended clipboard access");
  }

  ClipboardResult<UniqueFd> receive_selection() {
    // Selection events the compositor sent before this request are
    // dispatched first, so a program's copy just before is what is read.
    if (finished_ || wl_display_roundtrip(display_.get()) < 0 || finished_) return ended();
    if (!selection_) return clipboard_failure(ClipboardFailureKind::no_text);
    const auto& offered = offers_[selection_];
    const char* chosen = nullptr;
    for (const char* type : text_types) {
      if (std::ranges::find(offered, type) != offered.end()) {
        chosen = type;
        break;
      }
    }
    if (!chosen) return clipboard_failure(ClipboardFailureKind::no_text);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
      return clipboard_failure(ClipboardFailureKind::other,
                               "cannot create a pipe: " + os_error_text(errno));
    }
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);
    zwlr_data_control_offer_v1_receive(selection_, chosen, write_end.get());
    wl_display_flush(display_.get());
    return read_end;
  }

  ClipboardResult<> offer(std::shared_ptr<const std::string> text) {
    if (finished_ || wl_display_get_error(display_.get())) return ended();
    auto* source = zwlr_data_control_manager_v1_create_data_source(manager_);
    for (const char* type : text_types) zwlr_data_control_source_v1_offer(source, type);
    zwlr_data_control_source_v1_add_listener(source, &source_listener, this);
    zwlr_data_control_device_v1_set_selection(device_, source);
    if (source_) zwlr_data_control_source_v1_destroy(source_);
    source_ = source;
    source_text_ = std::move(text);
    wl_display_flush(display_.get());
    return {};
  }

  // Readies the display for reading, dispatching what is already queued;
  // false once the connection has failed.
  bool prepare_read() {
    while (wl_display_prepare_read(display_.get()) != 0) {
      if (wl_display_dispatch_pending(display_.get()) < 0) return false;
    }
    return true;
  }

  void run() {
    for (;;) {
      // A compositor that went away has nothing more to say; only the
      // commands are worth waiting for then.
      const bool reading = !wl_display_get_error(display_.get()) && prepare_read();
      if (reading) wl_display_flush(display_.get());
      std::vector<pollfd> descriptors{{wake_.get(), POLLIN, 0},
                                      {reading ? wl_display_get_fd(display_.get()) : -1, POLLIN, 0}};
      for (const auto& pipe : sends_) descriptors.push_back({pipe.fd.get(), POLLOUT, 0});
      const int ready = ::poll(descriptors.data(), descriptors.size(), -1);
      if (reading) {
        if (ready > 0 && (descriptors[1].revents & POLLIN)) {
          wl_display_read_events(display_.get());
        } else {
          wl_display_cancel_read(display_.get());
        }
        wl_display_dispatch_pending(display_.get());
      }
      continue_sends(descriptors);
      if (descriptors[0].revents & POLLIN) {
        uint64_t count = 0;
        [[maybe_unused]] auto drained = ::read(wake_.get(), &count, sizeof count);
        if (stopping_.load()) return;
        run_commands();
      }
    }
  }

  void run_commands() {
    std::deque<std::function<void()>> commands;
    {
      std::lock_guard lock(mutex_);
      commands.swap(commands_);
    }
    for (auto& command : commands) command();
  }

  void continue_sends(const std::vector<pollfd>& descriptors) {
    // The pipes were polled from index 2 on, in the order of sends_; new
    // ones added by this round's events are at the end and wait a round.
    const size_t polled = descriptors.size() - 2;
    for (size_t i = 0; i < polled; ++i) {
      if (descriptors[i + 2].revents) write_some(sends_[i]);
    }
    std::erase_if(sends_, [](const OutgoingPipe& pipe) { return !pipe.fd; });
  }

  // Closes the pipe when the text is out or the reader has gone.
  static void write_some(OutgoingPipe& pipe) {
    while (pipe.offset < pipe.text->size()) {
      auto written = ::write(pipe.fd.get(), pipe.text->data() + pipe.offset,
                             pipe.text->size() - pipe.offset);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0 && errno == EAGAIN) return;
      if (written < 0) break;
      pipe.offset += static_cast<size_t>(written);
    }
    pipe.fd.reset();
  }

  void destroy_objects() {
    for (auto& [offer, types] : offers_) zwlr_data_control_offer_v1_destroy(offer);
    if (source_) zwlr_data_control_source_v1_destroy(source_);
    if (device_) zwlr_data_control_device_v1_destroy(device_);
    if (manager_) zwlr_data_control_manager_v1_destroy(manager_);
    if (seat_) wl_seat_destroy(seat_);
    if (registry_) wl_registry_destroy(registry_);
    wl_display_flush(display_.get());
  }

  // --- protocol events, dispatched on the facility's thread ---

  static void on_global(void* data, wl_registry* registry, uint32_t name, const char* interface,
                        uint32_t) {
    auto* self = static_cast<WaylandClipboard*>(data);
    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
      self->seat_ = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0) {
      self->manager_ = static_cast<zwlr_data_control_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 1));
    }
  }
  static void on_global_remove(void*, wl_registry*, uint32_t) {}
  static constexpr wl_registry_listener registry_listener{on_global, on_global_remove};

  static void on_data_offer(void* data, zwlr_data_control_device_v1*,
                            zwlr_data_control_offer_v1* offer) {
    auto* self = static_cast<WaylandClipboard*>(data);
    self->offers_.try_emplace(offer);
    zwlr_data_control_offer_v1_add_listener(offer, &offer_listener, self);
  }
  static void on_selection(void* data, zwlr_data_control_device_v1*,
                           zwlr_data_control_offer_v1* offer) {
    auto* self = static_cast<WaylandClipboard*>(data);
    // Every offer but the new selection is of no further use.
    for (auto& [known, types] : self->offers_) {
      if (known != offer) zwlr_data_control_offer_v1_destroy(known);
    }
    std::erase_if(self->offers_, [offer](const auto& entry) { return entry.first != offer; });
    self->selection_ = offer;
  }
  static void on_finished(void* data, zwlr_data_control_device_v1*) {
    static_cast<WaylandClipboard*>(data)->finished_ = true;
  }
  static void on_primary_selection(void*, zwlr_data_control_device_v1*,
                                   zwlr_data_control_offer_v1*) {}
  static constexpr zwlr_data_control_device_v1_listener device_listener{
      on_data_offer, on_selection, on_finished, on_primary_selection};

  static void on_offer(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
    static_cast<WaylandClipboard*>(data)->offers_[offer].emplace_back(type);
  }
  static constexpr zwlr_data_control_offer_v1_listener offer_listener{on_offer};

  static void on_send(void* data, zwlr_data_control_source_v1* source, const char*, int32_t fd) {
    auto* self = static_cast<WaylandClipboard*>(data);
    UniqueFd pipe(fd);
    if (source != self->source_) return;
    ::fcntl(pipe.get(), F_SETFL, ::fcntl(pipe.get(), F_GETFL) | O_NONBLOCK);
    self->sends_.push_back({std::move(pipe), self->source_text_, 0});
  }
  static void on_cancelled(void* data, zwlr_data_control_source_v1* source) {
    auto* self = static_cast<WaylandClipboard*>(data);
    // Another program took the clipboard over.
    zwlr_data_control_source_v1_destroy(source);
    if (source != self->source_) return;
    self->source_ = nullptr;
    self->source_text_.reset();
  }
  static constexpr zwlr_data_control_source_v1_listener source_listener{on_send, on_cancelled};

  std::unique_ptr<wl_display, DisplayDeleter> display_;
  UniqueFd wake_;
  wl_registry* registry_ = nullptr;
  wl_seat* seat_ = nullptr;
  zwlr_data_control_manager_v1* manager_ = nullptr;
  zwlr_data_control_device_v1* device_ = nullptr;
  // Introduced offers with their text types; after a selection event only
  // the selection's.
  std::map<zwlr_data_control_offer_v1*, std::vector<std::string>> offers_;
  zwlr_data_control_offer_v1* selection_ = nullptr;
  zwlr_data_control_source_v1* source_ = nullptr;
  std::shared_ptr<const std::string> source_text_;
  std::vector<OutgoingPipe> sends_;
  bool finished_ = false;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::deque<std::function<void()>> commands_;
  std::thread thread_;
};

}  // namespace

Result<std::unique_ptr<ClipboardFacility>> open_wayland_clipboard() {
  const char* name = std::getenv("WAYLAND_DISPLAY");
  if (!name || !*name) return fail("no Wayland display: WAYLAND_DISPLAY is not set");
  wl_display* display = wl_display_connect(nullptr);
  if (!display) return fail(std::string("cannot connect to the Wayland display ") + name);
  auto clipboard = std::make_unique<WaylandClipboard>(display);
  if (auto started = clipboard->start(); !started) return std::unexpected(started.error());
  return clipboard;
}

}  // namespace corvane
