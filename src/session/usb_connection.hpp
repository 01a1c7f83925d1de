#pragma once
// The open KVM interface: the claimed device, its bulk endpoints, the pool
// of outstanding IN transfers and the receive buffer they fill, and the
// cancel flag that ends every use of it at once.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

#include "error.hpp"
#include "session/message_sink.hpp"
#include "session/receive_buffer.hpp"
#include "session/session_status.hpp"
#include "session/usb_host.hpp"
#include "system/clock.hpp"

namespace corvane {

// The largest piece one bulk OUT transfer carries.
inline constexpr size_t usb_write_limit = 65536;

struct BulkEndpoints {
  uint8_t out_address = 0;
  uint8_t in_address = 0;
  uint16_t in_max_packet_size = 0;
};

// The last bulk OUT and the last bulk IN endpoint of the interface.
Result<BulkEndpoints> select_bulk_endpoints(const InterfaceDescriptor& descriptor);

class UsbConnection final : public MessageSink {
 public:
  UsbConnection(std::unique_ptr<UsbDevice> device, BulkEndpoints endpoints, Clock& clock);
  UsbConnection(const UsbConnection&) = delete;
  UsbConnection& operator=(const UsbConnection&) = delete;
  // Sets the cancel flag; the device then cancels its transfers, releases
  // the interface and closes its node.
  ~UsbConnection() override;

  // Puts the IN transfers in place; each completed one is replaced by read.
  Result<> start_reading();

  // Waits at most timeout for the oldest IN transfer. true: its bytes were
  // appended to the receive buffer; false: nothing arrived in time.
  Result<bool> read(std::chrono::nanoseconds timeout);
  // One bulk OUT transfer of at most usb_write_limit bytes.
  Result<> write(std::span<const uint8_t> piece);

  // Belongs to the reading thread alone.
  ReceiveBuffer& receive_buffer() { return receive_buffer_; }

  // Sets the cancel flag and cancels every outstanding transfer.
  void cancel();

  CancelFlag cancel_flag() const override { return cancel_flag_; }
  bool is_cancelled() const override { return cancel_flag_->load(); }
  Result<> send_control(const ControlMessage& message) override;
  Result<> send_access_unit(const AccessUnitInfo& unit, std::span<const uint8_t> data) override;

 private:
  Result<> write_piece(std::span<const uint8_t> head, std::span<const uint8_t> body);

  std::unique_ptr<UsbDevice> device_;
  BulkEndpoints endpoints_;
  size_t in_transfer_size_;
  Clock& clock_;
  CancelFlag cancel_flag_ = std::make_shared<std::atomic<bool>>(false);
  ReceiveBuffer receive_buffer_;
};

struct OpenedConnection {
  std::shared_ptr<UsbConnection> connection;
  // The token of the reset that started this USB session.
  SessionToken token;
};

// Claims the interface, resets the KVM's USB session, selects the bulk
// endpoints and starts reading.
Result<OpenedConnection> open_connection(std::unique_ptr<UsbDevice> device, uint8_t interface,
                                         Clock& clock);

}  // namespace corvane
