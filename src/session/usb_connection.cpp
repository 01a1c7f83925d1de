#include "session/usb_connection.hpp"

#include <algorithm>

#include "session/session_reset.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;

constexpr auto reset_deadline = 15s;
constexpr auto write_deadline = 30s;
// The longest a waiting writer goes without looking at the cancel flag.
constexpr auto write_poll_interval = 25ms;

constexpr size_t in_pool_size = 4;
constexpr size_t in_transfer_base = 65536;

constexpr uint8_t endpoint_direction_in = 0x80;
constexpr uint8_t transfer_type_mask = 0x03;
constexpr uint8_t transfer_type_bulk = 0x02;
constexpr uint16_t max_packet_size_mask = 0x7ff;

constexpr const char* cancelled_text = "USB session cancelled";
constexpr const char* cancelled_or_timed_out_text = "USB session cancelled or write timed out";

// Whole packets only, so that a transfer never ends inside a packet.
size_t in_transfer_size(uint16_t max_packet_size) {
  size_t packet = max_packet_size & max_packet_size_mask;
  if (packet == 0) return in_transfer_base;
  return (in_transfer_base + packet - 1) / packet * packet;
}

}  // namespace

Result<BulkEndpoints> select_bulk_endpoints(const InterfaceDescriptor& descriptor) {
  if (!descriptor.found) return fail("the Corvane interface has no active descriptor");
  const EndpointDescriptor* out = nullptr;
  const EndpointDescriptor* in = nullptr;
  for (const auto& endpoint : descriptor.endpoints) {
    if ((endpoint.attributes & transfer_type_mask) != transfer_type_bulk) continue;
    (endpoint.address & endpoint_direction_in ? in : out) = &endpoint;
  }
  if (!out) return fail("the Corvane interface has no bulk OUT endpoint");
  if (!in) return fail("the Corvane interface has no bulk IN endpoint");
  return BulkEndpoints{out->address, in->address, in->max_packet_size};
}

UsbConnection::UsbConnection(std::unique_ptr<UsbDevice> device, BulkEndpoints endpoints,
                             Clock& clock)
    : device_(std::move(device)),
      endpoints_(endpoints),
      in_transfer_size_(in_transfer_size(endpoints.in_max_packet_size)),
      clock_(clock) {}

UsbConnection::~UsbConnection() { cancel_flag_->store(true); }

Result<> UsbConnection::start_reading() {
  for (size_t i = 0; i < in_pool_size; ++i) {
    if (auto submitted = device_->submit_in(endpoints_.in_address, in_transfer_size_); !submitted) {
      return submitted;
    }
  }
  return {};
}

Result<bool> UsbConnection::read(std::chrono::nanoseconds timeout) {
  if (is_cancelled()) return fail(cancelled_text);
  auto completion = device_->wait_in(timeout);
  if (!completion) {
    if (is_cancelled()) return fail(cancelled_text);
    return std::unexpected(completion.error());
  }
  if (!completion->completed) return false;
  receive_buffer_.append(completion->data);
  if (auto submitted = device_->submit_in(endpoints_.in_address, in_transfer_size_); !submitted) {
    return std::unexpected(submitted.error());
  }
  return true;
}

Result<> UsbConnection::write(std::span<const uint8_t> piece) { return write_piece(piece, {}); }

Result<> UsbConnection::write_piece(std::span<const uint8_t> head, std::span<const uint8_t> body) {
  if (head.size() + body.size() > usb_write_limit) {
    return fail("USB write is too large: " + std::to_string(head.size() + body.size()));
  }
  if (is_cancelled()) return fail(cancelled_text);
  if (auto submitted = device_->submit_out(endpoints_.out_address, head, body); !submitted) {
    return submitted;
  }
  const auto deadline = clock_.now() + write_deadline;
  for (;;) {
    auto step = std::clamp<Clock::duration>(deadline - clock_.now(), Clock::duration::zero(),
                                            write_poll_interval);
    auto done = device_->wait_out(step);
    if (!done) {
      if (is_cancelled()) return fail(cancelled_or_timed_out_text);
      return std::unexpected(done.error());
    }
    if (*done) return {};
    if (is_cancelled() || clock_.now() >= deadline) {
      cancel();
      return fail(cancelled_or_timed_out_text);
    }
  }
}

void UsbConnection::cancel() {
  cancel_flag_->store(true);
  device_->cancel_transfers();
}

Result<> UsbConnection::send_control(const ControlMessage& message) {
  auto frame = encode_control(message);
  if (!frame) return std::unexpected(frame.error());
  std::span<const uint8_t> rest = *frame;
  while (!rest.empty()) {
    auto piece = rest.first(std::min(rest.size(), usb_write_limit));
    if (auto written = write(piece); !written) return written;
    rest = rest.subspan(piece.size());
  }
  return {};
}

Result<> UsbConnection::send_access_unit(const AccessUnitInfo& unit,
                                         std::span<const uint8_t> data) {
  auto prefix = encode_access_unit_prefix(unit, data.size());
  if (!prefix) return std::unexpected(prefix.error());
  // The first piece is filled to the limit: prefix and data together.
  auto first = data.first(std::min(data.size(), usb_write_limit - prefix->size()));
  if (auto written = write_piece(*prefix, first); !written) return written;
  auto rest = data.subspan(first.size());
  while (!rest.empty()) {
    auto piece = rest.first(std::min(rest.size(), usb_write_limit));
    if (auto written = write(piece); !written) return written;
    rest = rest.subspan(piece.size());
  }
  return {};
}

Result<OpenedConnection> open_connection(std::unique_ptr<UsbDevice> device, uint8_t interface,
                                         Clock& clock) {
  if (auto claimed = device->claim_interface(interface); !claimed) {
    return std::unexpected(claimed.error());
  }
  auto token = reset_kvm_session(*device, interface, clock, clock.now() + reset_deadline);
  if (!token) return std::unexpected(token.error());
  auto descriptor = device->interface_descriptor(interface);
  if (!descriptor) return std::unexpected(descriptor.error());
  auto endpoints = select_bulk_endpoints(*descriptor);
  if (!endpoints) return std::unexpected(endpoints.error());
  auto connection = std::make_shared<UsbConnection>(std::move(device), *endpoints, clock);
  if (auto started = connection->start_reading(); !started) return std::unexpected(started.error());
  return OpenedConnection{std::move(connection), *token};
}

}  // namespace corvane
