#include "in_process_usb.hpp"

#include <algorithm>

namespace corvane::test {
namespace {

constexpr const char* cancelled_text = "USB transfer cancelled";
// What the kernel reports for transfers in flight when a device goes away.
constexpr const char* unplugged_transfer_text = "USB transfer failed";
constexpr const char* disconnected_text = "device disconnected";

bool is_bulk_in(const EndpointDescriptor& endpoint) {
  return (endpoint.attributes & 0x03) == 0x02 && (endpoint.address & 0x80) != 0;
}

}  // namespace

// The handle corvane holds: one opened device.
class InProcessDevice final : public UsbDevice {
 public:
  explicit InProcessDevice(SimulatedUsbDevice& device) : device_(device), host_(device.host_) {
    ++device_.times_opened_;
    ++device_.open_handles_;
  }
  InProcessDevice(const InProcessDevice&) = delete;
  InProcessDevice& operator=(const InProcessDevice&) = delete;

  ~InProcessDevice() override {
    std::lock_guard lock(host_.mutex_);
    device_.finish_all(cancelled_text);
    device_.in_.clear();
    device_.out_.reset();
    if (claimed_here_) device_.claimed_ = false;
    --device_.open_handles_;
    host_.changed_.notify_all();
  }

  Result<> claim_interface(uint8_t number) override {
    std::lock_guard lock(host_.mutex_);
    if (device_.unplugged_) return fail(disconnected_text);
    if (device_.claim_error_) return fail(*device_.claim_error_);
    if (!std::ranges::any_of(device_.config_.interfaces,
                             [&](const UsbInterfaceInfo& i) { return i.number == number; })) {
      return fail("interface not found");
    }
    if (device_.claimed_) return fail("interface is busy");
    device_.claimed_ = claimed_here_ = true;
    claimed_interface_ = number;
    return {};
  }

  Result<std::vector<uint8_t>> control_in(const ControlSetup& setup,
                                          std::chrono::milliseconds) override {
    std::lock_guard lock(host_.mutex_);
    if (device_.unplugged_) return fail(disconnected_text);
    auto answer = device_.kvm_.control_in(setup);
    if (!answer) return fail("control request stalled");
    if (answer->size() > setup.length) answer->resize(setup.length);
    return std::move(*answer);
  }

  Result<InterfaceDescriptor> interface_descriptor(uint8_t number) override {
    std::lock_guard lock(host_.mutex_);
    if (device_.unplugged_) return fail("failed to read descriptors");
    auto found = device_.config_.endpoints.find(number);
    if (found == device_.config_.endpoints.end()) return InterfaceDescriptor{};
    return InterfaceDescriptor{true, found->second};
  }

  Result<> submit_in(uint8_t endpoint, size_t length) override {
    std::lock_guard lock(host_.mutex_);
    last_in_.reset();
    if (device_.unplugged_) return fail(disconnected_text);
    if (auto usable = check_bulk_endpoint(endpoint, true); !usable) return usable;
    auto transfer = std::make_shared<SimulatedUsbDevice::InTransfer>(length);
    device_.in_.push_back(std::move(transfer));
    host_.changed_.notify_all();
    return {};
  }

  Result<InCompletion> wait_in(std::chrono::nanoseconds timeout) override {
    std::unique_lock lock(host_.mutex_);
    last_in_.reset();
    const auto deadline = host_.clock_.now() + timeout;
    for (;;) {
      serve_here();
      if (device_.in_.empty()) return fail("no USB read is outstanding");
      if (device_.in_.front()->done) {
        last_in_ = std::move(device_.in_.front());
        device_.in_.pop_front();
        if (!last_in_->error.empty()) return fail(last_in_->error);
        return InCompletion{true, std::span(last_in_->buffer.get(), last_in_->filled)};
      }
      if (host_.clock_.now() >= deadline) return InCompletion{};
      host_.clock_.wait_until(lock, host_.changed_, deadline);
    }
  }

  Result<> submit_out(uint8_t endpoint, std::span<const uint8_t> head,
                      std::span<const uint8_t> body) override {
    auto transfer = std::make_shared<SimulatedUsbDevice::OutTransfer>();
    transfer->data.reserve(head.size() + body.size());
    transfer->data.insert(transfer->data.end(), head.begin(), head.end());
    transfer->data.insert(transfer->data.end(), body.begin(), body.end());
    std::lock_guard lock(host_.mutex_);
    if (device_.unplugged_) return fail(disconnected_text);
    if (auto usable = check_bulk_endpoint(endpoint, false); !usable) return usable;
    if (device_.out_ && !device_.out_->done) return fail("a USB write is still outstanding");
    device_.out_ = std::move(transfer);
    host_.changed_.notify_all();
    return {};
  }

  Result<bool> wait_out(std::chrono::nanoseconds timeout) override {
    std::unique_lock lock(host_.mutex_);
    const auto deadline = host_.clock_.now() + timeout;
    for (;;) {
      serve_here();
      if (!device_.out_) return fail("no USB write is outstanding");
      if (device_.out_->done) {
        if (!device_.out_->error.empty()) return fail(device_.out_->error);
        return true;
      }
      if (host_.clock_.now() >= deadline) return false;
      host_.clock_.wait_until(lock, host_.changed_, deadline);
    }
  }

  void cancel_transfers() override {
    std::lock_guard lock(host_.mutex_);
    device_.finish_all(cancelled_text);
    host_.changed_.notify_all();
  }

 private:
  // Bulk transfers go only to an endpoint of the interface this handle
  // claimed, in the endpoint's own direction.
  Result<> check_bulk_endpoint(uint8_t address, bool in) const {
    if (!claimed_here_) return fail("interface not claimed");
    auto setting = device_.config_.endpoints.find(claimed_interface_);
    if (setting == device_.config_.endpoints.end()) return fail("interface not found");
    const auto& endpoints = setting->second;
    auto endpoint = std::ranges::find(endpoints, address, &EndpointDescriptor::address);
    if (endpoint == endpoints.end()) {
      return fail("specified endpoint does not exist on this interface");
    }
    if ((endpoint->attributes & 0x03) != 0x02) return fail("incorrect endpoint type");
    if (((address & 0x80) != 0) != in) return fail("incorrect endpoint direction");
    return {};
  }

  void serve_here() {
    if (host_.service_ == InProcessUsbHost::Service::on_host_calls && device_.pump()) {
      host_.changed_.notify_all();
    }
  }

  SimulatedUsbDevice& device_;
  InProcessUsbHost& host_;
  bool claimed_here_ = false;
  uint8_t claimed_interface_ = 0;
  std::shared_ptr<SimulatedUsbDevice::InTransfer> last_in_;
};

SimulatedUsbDevice::SimulatedUsbDevice(InProcessUsbHost& host, SimulatedDeviceConfig config)
    : host_(host), config_(std::move(config)), kvm_(config_.key_seed) {
  kvm_.interface_number = config_.interfaces.empty() ? 0 : config_.interfaces.front().number;
  for (const auto& [number, endpoints] : config_.endpoints) {
    for (const auto& endpoint : endpoints) {
      if (is_bulk_in(endpoint) && endpoint.max_packet_size) {
        in_packet_size_ = endpoint.max_packet_size;
      }
    }
  }
}

void SimulatedUsbDevice::with_kvm(const std::function<void(SimulatedKvm&)>& change) {
  std::lock_guard lock(host_.mutex_);
  change(kvm_);
  host_.changed_.notify_all();
}

Fingerprint SimulatedUsbDevice::fingerprint() {
  std::lock_guard lock(host_.mutex_);
  return kvm_.fingerprint();
}

std::vector<KvmFrame> SimulatedUsbDevice::received() {
  std::lock_guard lock(host_.mutex_);
  return kvm_.received();
}

size_t SimulatedUsbDevice::received_bytes() {
  std::lock_guard lock(host_.mutex_);
  return kvm_.received_bytes();
}

std::vector<size_t> SimulatedUsbDevice::out_transfer_sizes() {
  std::lock_guard lock(host_.mutex_);
  return out_transfer_sizes_;
}

void SimulatedUsbDevice::refuse_open_for_permission() {
  std::lock_guard lock(host_.mutex_);
  refuse_open_ = true;
}

void SimulatedUsbDevice::fail_claim(std::string text) {
  std::lock_guard lock(host_.mutex_);
  claim_error_ = std::move(text);
}

void SimulatedUsbDevice::stop_reading() {
  std::lock_guard lock(host_.mutex_);
  reading_ = false;
}

void SimulatedUsbDevice::unplug_after_received(size_t bytes) {
  std::lock_guard lock(host_.mutex_);
  unplug_after_ = bytes;
}

void SimulatedUsbDevice::unplug() {
  std::lock_guard lock(host_.mutex_);
  disconnect();
  host_.changed_.notify_all();
}

int SimulatedUsbDevice::times_opened() {
  std::lock_guard lock(host_.mutex_);
  return times_opened_;
}

bool SimulatedUsbDevice::is_open() {
  std::lock_guard lock(host_.mutex_);
  return open_handles_ > 0;
}

bool SimulatedUsbDevice::is_claimed() {
  std::lock_guard lock(host_.mutex_);
  return claimed_;
}

size_t SimulatedUsbDevice::outstanding_transfers() {
  std::lock_guard lock(host_.mutex_);
  size_t count = std::ranges::count_if(in_, [](const auto& transfer) { return !transfer->done; });
  if (out_ && !out_->done) ++count;
  return count;
}

bool SimulatedUsbDevice::pump() {
  bool moved = deliver_out();
  while (auto fill = next_fill()) {
    std::copy_n(fill->write->begin() + static_cast<ptrdiff_t>(fill->from), fill->count,
                fill->transfer->buffer.get() + fill->at);
    finish_fill(*fill);
    moved = true;
  }
  return moved;
}

bool SimulatedUsbDevice::deliver_out() {
  if (unplugged_ || !out_ || out_->done || !reading_) return false;
  std::span<const uint8_t> data = out_->data;
  if (unplug_after_ && kvm_.received_bytes() + data.size() > *unplug_after_) {
    kvm_.receive(data.first(*unplug_after_ - kvm_.received_bytes()));
    disconnect();
    return true;
  }
  kvm_.receive(data);
  out_transfer_sizes_.push_back(data.size());
  out_->done = true;
  return true;
}

std::optional<SimulatedUsbDevice::Fill> SimulatedUsbDevice::next_fill() {
  if (unplugged_) return std::nullopt;
  auto transfer = std::ranges::find_if(in_, [](const auto& t) { return !t->done; });
  if (transfer == in_.end()) return std::nullopt;
  if (!write_) {
    write_ = kvm_.next_write();
    write_offset_ = 0;
    if (!write_) return std::nullopt;
  }
  auto& target = **transfer;
  Fill fill{*transfer, write_, write_offset_,
            std::min(target.length - target.filled, write_->size() - write_offset_), target.filled};
  write_offset_ += fill.count;
  target.filled += fill.count;
  if (write_offset_ == write_->size()) {
    // A write that ends inside a packet ends the transfer with it; one that
    // fills its last packet leaves the transfer open for more.
    fill.completes = write_->empty() || write_->size() % in_packet_size_ != 0;
    write_.reset();
  }
  if (target.filled == target.length) fill.completes = true;
  return fill;
}

void SimulatedUsbDevice::finish_fill(const Fill& fill) {
  // A transfer cancelled meanwhile keeps its error.
  if (fill.completes && !fill.transfer->done) fill.transfer->done = true;
}

void SimulatedUsbDevice::disconnect() {
  unplugged_ = true;
  finish_all(unplugged_transfer_text);
}

void SimulatedUsbDevice::finish_all(const std::string& error) {
  auto finish = [&](auto& transfer) {
    if (transfer->done) return;
    transfer->done = true;
    transfer->error = error;
  };
  std::ranges::for_each(in_, finish);
  if (out_) finish(out_);
}

InProcessUsbHost::InProcessUsbHost(Clock& clock, Service service)
    : clock_(clock), service_(service) {
  if (service_ == Service::device_thread) device_thread_ = std::thread([this] { serve(); });
}

InProcessUsbHost::~InProcessUsbHost() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (device_thread_.joinable()) device_thread_.join();
}

SimulatedUsbDevice& InProcessUsbHost::plug(SimulatedDeviceConfig config) {
  auto device = std::make_unique<SimulatedUsbDevice>(*this, std::move(config));
  std::lock_guard lock(mutex_);
  devices_.push_back(std::move(device));
  return *devices_.back();
}

Result<std::vector<UsbDeviceInfo>> InProcessUsbHost::list_devices() {
  std::lock_guard lock(mutex_);
  std::vector<UsbDeviceInfo> listing;
  for (const auto& device : devices_) {
    if (device->unplugged_) continue;
    const auto& config = device->config_;
    listing.push_back({config.bus_number, config.address, config.vendor_id, config.product_id,
                       config.product, config.interfaces});
  }
  return listing;
}

std::expected<std::unique_ptr<UsbDevice>, UsbOpenError> InProcessUsbHost::open(uint8_t bus_number,
                                                                                 uint8_t address) {
  std::lock_guard lock(mutex_);
  for (const auto& device : devices_) {
    const auto& config = device->config_;
    if (device->unplugged_ || config.bus_number != bus_number || config.address != address) {
      continue;
    }
    if (device->refuse_open_) {
      return std::unexpected(UsbOpenError{true, "failed to open device: Permission denied"});
    }
    return std::make_unique<InProcessDevice>(*device);
  }
  return std::unexpected(UsbOpenError{false, "failed to open device: No such file or directory"});
}

void InProcessUsbHost::serve() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    bool moved = false;
    for (const auto& device : devices_) {
      moved = device->deliver_out() || moved;
      auto fill = device->next_fill();
      if (!fill) continue;
      lock.unlock();
      std::copy_n(fill->write->begin() + static_cast<ptrdiff_t>(fill->from), fill->count,
                  fill->transfer->buffer.get() + fill->at);
      lock.lock();
      device->finish_fill(*fill);
      moved = true;
    }
    if (moved) {
      changed_.notify_all();
    } else {
      changed_.wait(lock);
    }
  }
}

}  // namespace corvane::test
