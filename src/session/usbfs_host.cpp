#include "session/usbfs_host.hpp"

#include <fcntl.h>
#include <libusb.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <mutex>

#include "session/usb_discovery.hpp"
#include "system/unique_fd.hpp"

namespace corvane {
namespace {

using std::chrono::nanoseconds;

constexpr unsigned no_timeout = 0;
// A cancelled transfer completes within a few milliseconds; this only keeps
// a kernel that never answers from hanging the teardown.
constexpr auto cancel_drain_limit = std::chrono::seconds(2);
constexpr uint8_t get_interface_request = 0x0a;
constexpr uint8_t standard_in_to_interface = 0x81;

std::string libusb_text(int code) { return libusb_strerror(code); }

std::string transfer_error_text(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_NO_DEVICE:
      return "device disconnected";
    case LIBUSB_TRANSFER_STALL:
      return "USB endpoint stalled";
    case LIBUSB_TRANSFER_OVERFLOW:
      return "USB transfer overflowed";
    case LIBUSB_TRANSFER_CANCELLED:
      return "USB transfer cancelled";
    case LIBUSB_TRANSFER_TIMED_OUT:
      return "USB transfer timed out";
    default:
      return "USB transfer failed";
  }
}

std::string submit_error_text(int code) {
  if (code == LIBUSB_ERROR_NO_DEVICE) return "device disconnected";
  return "failed to submit USB transfer: " + libusb_text(code);
}

std::string claim_error_text(int code) {
  switch (code) {
    case LIBUSB_ERROR_NOT_FOUND:
      return "interface not found";
    case LIBUSB_ERROR_NO_DEVICE:
      return "device disconnected";
    case LIBUSB_ERROR_BUSY:
      return "interface is busy";
    default:
      return "failed to claim interface: " + libusb_text(code);
  }
}

std::string control_error_text(int code) {
  switch (code) {
    case LIBUSB_ERROR_TIMEOUT:
      return "control request timed out";
    case LIBUSB_ERROR_PIPE:
      return "control request stalled";
    case LIBUSB_ERROR_NO_DEVICE:
      return "device disconnected";
    default:
      return "control request failed: " + libusb_text(code);
  }
}

timeval to_timeval(nanoseconds length) {
  auto micros = std::chrono::ceil<std::chrono::microseconds>(length).count();
  return {static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

struct ContextDeleter {
  void operator()(libusb_context* context) const { libusb_exit(context); }
};
using Context = std::unique_ptr<libusb_context, ContextDeleter>;

// libusb scans every device when a context starts unless told not to; this
// program reaches only the node it opened itself.
Result<Context> make_context() {
  static std::once_flag options_set;
  std::call_once(options_set, [] { libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY); });
  libusb_context* context = nullptr;
  if (int code = libusb_init(&context); code < 0) {
    return fail("failed to open device: " + libusb_text(code));
  }
  return Context(context);
}

// One asynchronous transfer and the buffer it fills or sends. done is set by
// libusb's completion callback on whichever thread handles events, and is
// the flag that libusb_handle_events_timeout_completed watches.
class Transfer {
 public:
  static Result<std::unique_ptr<Transfer>> create(size_t length) {
    libusb_transfer* raw = libusb_alloc_transfer(0);
    if (!raw) return fail("failed to allocate a USB transfer");
    return std::unique_ptr<Transfer>(new Transfer(raw, length));
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() { libusb_free_transfer(raw_); }

  void fill(libusb_device_handle* handle, uint8_t endpoint) { fill(handle, endpoint, buffer_.size()); }
  void fill(libusb_device_handle* handle, uint8_t endpoint, size_t length) {
    libusb_fill_bulk_transfer(raw_, handle, endpoint, buffer_.data(), static_cast<int>(length),
                              on_complete, this, no_timeout);
  }
  // Makes a finished transfer ready to go again with room for length
  // bytes; the buffer only ever grows, so a stream of pieces costs no
  // allocation after the first.
  void prepare_reuse(size_t length) {
    if (buffer_.size() < length) buffer_.resize(length);
    std::atomic_ref<int>(done_).store(0, std::memory_order_relaxed);
  }
  int submit() { return libusb_submit_transfer(raw_); }
  void cancel() {
    if (!is_done()) libusb_cancel_transfer(raw_);
  }

  void mark_done() { std::atomic_ref<int>(done_).store(1, std::memory_order_release); }
  bool is_done() const { return std::atomic_ref<int>(done_).load(std::memory_order_acquire) != 0; }
  int* done_flag() { return &done_; }
  libusb_transfer_status status() const { return raw_->status; }
  std::span<uint8_t> buffer() { return buffer_; }
  std::span<const uint8_t> received() const {
    return std::span(buffer_).first(static_cast<size_t>(raw_->actual_length));
  }

 private:
  Transfer(libusb_transfer* raw, size_t length) : raw_(raw), buffer_(length) {}

  static void LIBUSB_CALL on_complete(libusb_transfer* raw) {
    auto* self = static_cast<Transfer*>(raw->user_data);
    std::atomic_ref<int>(self->done_).store(1, std::memory_order_release);
  }

  libusb_transfer* raw_;
  std::vector<uint8_t> buffer_;
  mutable int done_ = 0;
};

class LibusbDevice final : public UsbDevice {
 public:
  LibusbDevice(UniqueFd fd, Context context, libusb_device_handle* handle)
      : fd_(std::move(fd)), context_(std::move(context)), handle_(handle) {}
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;

  ~LibusbDevice() override {
    cancel_transfers();
    drain_transfers();
    if (claimed_) libusb_release_interface(handle_, *claimed_);
    libusb_close(handle_);
  }

  Result<> claim_interface(uint8_t number) override {
    if (int code = libusb_claim_interface(handle_, number); code < 0) {
      return fail(claim_error_text(code));
    }
    claimed_ = number;
    return {};
  }

  Result<std::vector<uint8_t>> control_in(const ControlSetup& setup,
                                          std::chrono::milliseconds timeout) override {
    std::vector<uint8_t> data(setup.length);
    int got = libusb_control_transfer(handle_, setup.request_type, setup.request, setup.value,
                                      setup.index, data.data(), setup.length,
                                      static_cast<unsigned>(timeout.count()));
    if (got < 0) return fail(control_error_text(got));
    data.resize(static_cast<size_t>(got));
    return data;
  }

  Result<InterfaceDescriptor> interface_descriptor(uint8_t number) override {
    auto alternate = alternate_setting(number);
    if (!alternate) return std::unexpected(alternate.error());
    libusb_config_descriptor* config = nullptr;
    int code = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
    if (code == LIBUSB_ERROR_NOT_FOUND) return InterfaceDescriptor{};  // unconfigured
    if (code < 0) return fail("failed to read descriptors");
    auto descriptor = find_interface(*config, number, *alternate);
    libusb_free_config_descriptor(config);
    return descriptor;
  }

  Result<> submit_in(uint8_t endpoint, size_t length) override {
    auto transfer = Transfer::create(length);
    if (!transfer) return std::unexpected(transfer.error());
    (*transfer)->fill(handle_, endpoint);
    std::lock_guard lock(mutex_);
    if (int code = (*transfer)->submit(); code < 0) return fail(submit_error_text(code));
    in_.push_back(std::move(*transfer));
    return {};
  }

  Result<InCompletion> wait_in(nanoseconds timeout) override {
    in_completed_.reset();
    Transfer* oldest = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (in_.empty()) return fail("no USB read is outstanding");
      oldest = in_.front().get();
    }
    auto done = wait_for(*oldest, timeout);
    if (!done) return std::unexpected(done.error());
    if (!*done) return InCompletion{};
    std::unique_ptr<Transfer> transfer;
    {
      std::lock_guard lock(mutex_);
      transfer = std::move(in_.front());
      in_.pop_front();
    }
    if (transfer->status() != LIBUSB_TRANSFER_COMPLETED) {
      return fail(transfer_error_text(transfer->status()));
    }
    in_completed_ = std::move(transfer);
    return InCompletion{true, in_completed_->received()};
  }

  Result<> submit_out(uint8_t endpoint, std::span<const uint8_t> head,
                      std::span<const uint8_t> body) override {
    const size_t length = head.size() + body.size();
    std::lock_guard lock(mutex_);
    if (out_ && !out_->is_done()) return fail("a USB write is still outstanding");
    if (out_) {
      out_->prepare_reuse(length);
    } else {
      auto transfer = Transfer::create(length);
      if (!transfer) return std::unexpected(transfer.error());
      out_ = std::move(*transfer);
    }
    auto buffer = out_->buffer();
    std::ranges::copy(body, std::ranges::copy(head, buffer.begin()).out);
    out_->fill(handle_, endpoint, length);
    if (int code = out_->submit(); code < 0) {
      // The transfer never went out; it counts as finished for the next try.
      out_->mark_done();
      return fail(submit_error_text(code));
    }
    return {};
  }

  Result<bool> wait_out(nanoseconds timeout) override {
    Transfer* transfer = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (!out_) return fail("no USB write is outstanding");
      transfer = out_.get();
    }
    auto done = wait_for(*transfer, timeout);
    if (!done || !*done) return done;
    if (transfer->status() != LIBUSB_TRANSFER_COMPLETED) {
      return fail(transfer_error_text(transfer->status()));
    }
    return true;
  }

  void cancel_transfers() override {
    std::lock_guard lock(mutex_);
    for (auto& transfer : in_) transfer->cancel();
    if (out_) out_->cancel();
  }

 private:
  // Until the transfer is done or the timeout has passed, handles libusb's
  // events on this thread, or waits for the thread that is handling them.
  Result<bool> wait_for(Transfer& transfer, nanoseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!transfer.is_done()) {
      auto remaining = deadline - std::chrono::steady_clock::now();
      if (remaining <= nanoseconds::zero()) return false;
      timeval wait = to_timeval(remaining);
      int code = libusb_handle_events_timeout_completed(context_.get(), &wait,
                                                        transfer.done_flag());
      if (code < 0 && code != LIBUSB_ERROR_INTERRUPTED) {
        return fail("failed to wait for USB transfers: " + libusb_text(code));
      }
    }
    return true;
  }

  // Cancelled transfers still belong to libusb until their callbacks have
  // run; only then may their memory go.
  void drain_transfers() {
    std::vector<std::unique_ptr<Transfer>> pending;
    {
      std::lock_guard lock(mutex_);
      for (auto& transfer : in_) pending.push_back(std::move(transfer));
      in_.clear();
      if (out_) pending.push_back(std::move(out_));
    }
    const auto deadline = std::chrono::steady_clock::now() + cancel_drain_limit;
    for (auto& transfer : pending) {
      auto remaining = deadline - std::chrono::steady_clock::now();
      auto done = wait_for(*transfer, std::max<nanoseconds>(remaining, nanoseconds::zero()));
      // Memory the kernel may still write into is leaked rather than freed.
      if (!done || !*done) transfer.release();
    }
  }

  // The alternate setting the interface is in; a device that supports only
  // the default setting may stall the request.
  Result<uint8_t> alternate_setting(uint8_t number) {
    uint8_t setting = 0;
    int got = libusb_control_transfer(handle_, standard_in_to_interface, get_interface_request, 0,
                                      number, &setting, 1, 1000);
    if (got == LIBUSB_ERROR_PIPE) return uint8_t{0};
    if (got != 1) return fail("failed to read descriptors");
    return setting;
  }

  static InterfaceDescriptor find_interface(const libusb_config_descriptor& config, uint8_t number,
                                            uint8_t alternate) {
    for (const auto& interface : std::span(config.interface, config.bNumInterfaces)) {
      for (const auto& setting :
           std::span(interface.altsetting, static_cast<size_t>(interface.num_altsetting))) {
        if (setting.bInterfaceNumber != number || setting.bAlternateSetting != alternate) continue;
        InterfaceDescriptor descriptor{true, {}};
        for (const auto& endpoint : std::span(setting.endpoint, setting.bNumEndpoints)) {
          descriptor.endpoints.push_back(
              {endpoint.bEndpointAddress, endpoint.bmAttributes, endpoint.wMaxPacketSize});
        }
        return descriptor;
      }
    }
    return {};
  }

  UniqueFd fd_;
  Context context_;
  libusb_device_handle* handle_;
  std::optional<uint8_t> claimed_;
  // Guards the transfer lists against cancel_transfers from another thread;
  // never held while waiting.
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> in_;
  std::unique_ptr<Transfer> in_completed_;
  std::unique_ptr<Transfer> out_;
};

std::filesystem::path device_node(const std::filesystem::path& root, uint8_t bus_number,
                                  uint8_t address) {
  char name[32];
  std::snprintf(name, sizeof name, "dev/bus/usb/%03u/%03u", unsigned{bus_number},
                unsigned{address});
  return root / name;
}

}  // namespace

Result<std::vector<UsbDeviceInfo>> UsbfsHost::list_devices() { return list_usb_devices(root_); }

std::expected<std::unique_ptr<UsbDevice>, UsbOpenError> UsbfsHost::open(uint8_t bus_number,
                                                                          uint8_t address) {
  UniqueFd fd(::open(device_node(root_, bus_number, address).c_str(), O_RDWR | O_CLOEXEC));
  if (!fd) {
    int error = errno;
    bool denied = error == EACCES || error == EPERM;
    return std::unexpected(UsbOpenError{denied, "failed to open device: " + os_error_text(error)});
  }
  auto context = make_context();
  if (!context) return std::unexpected(UsbOpenError{false, context.error().message});
  libusb_device_handle* handle = nullptr;
  if (int code = libusb_wrap_sys_device(context->get(), fd.get(), &handle); code < 0) {
    return std::unexpected(UsbOpenError{false, "failed to open device: " + libusb_text(code)});
  }
  return std::make_unique<LibusbDevice>(std::move(fd), std::move(*context), handle);
}

}  // namespace corvane
