#pragma once
// The USB host facility in-process: simulated KVMs plugged into a simulated
// bus. Transfers behave as on a real bus where it matters to the transport:
// an IN transfer completes when it is full or when the KVM's write ends in a
// short packet, so frames split across transfers and transfers carry several
// frames; OUT transfers complete when the KVM has taken their bytes.
//
// The device side makes progress either on the host's own calls (the
// default, deterministic, and the only mode a simulated clock suits) or on a
// thread of its own, as hardware does, for measuring throughput.
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "session/usb_host.hpp"
#include "simulated_kvm.hpp"
#include "system/clock.hpp"

namespace corvane::test {

struct SimulatedDeviceConfig {
  uint8_t bus_number = 1;
  uint8_t address = 2;
  uint16_t vendor_id = 0x1d6b;
  uint16_t product_id = 0x0104;
  std::optional<std::string> product = "Tarvek USB Emulation Device";
  std::vector<UsbInterfaceInfo> interfaces{{0, 0xff, 0x4a, 0x01}};
  // The endpoints of each interface's active setting, by interface number.
  std::map<uint8_t, std::vector<EndpointDescriptor>> endpoints{
      {0, {{0x01, 0x02, 512}, {0x81, 0x02, 512}}}};
  uint8_t key_seed = 1;
};

class InProcessUsbHost;
class InProcessDevice;

// One plugged device. Every method may be called from any thread.
class SimulatedUsbDevice {
 public:
  SimulatedUsbDevice(InProcessUsbHost& host, SimulatedDeviceConfig config);

  // Runs change on the KVM under the bus's lock (scripts, sends).
  void with_kvm(const std::function<void(SimulatedKvm&)>& change);
  Fingerprint fingerprint();
  std::vector<KvmFrame> received();
  size_t received_bytes();
  // The size of every bulk OUT transfer the KVM took, in order.
  std::vector<size_t> out_transfer_sizes();

  // Faults.
  void refuse_open_for_permission();
  void fail_claim(std::string text);
  void stop_reading();
  // The KVM goes away once it has taken this many bytes from the host,
  // in the middle of the transfer that crosses the mark.
  void unplug_after_received(size_t bytes);
  void unplug();

  // What corvane holds of the device.
  int times_opened();
  bool is_open();
  bool is_claimed();
  size_t outstanding_transfers();

 private:
  friend class InProcessUsbHost;
  friend class InProcessDevice;

  struct InTransfer {
    explicit InTransfer(size_t size) : buffer(new uint8_t[size]), length(size) {}
    std::unique_ptr<uint8_t[]> buffer;
    size_t length;
    size_t filled = 0;
    bool done = false;
    std::string error;
  };
  // Bytes of one KVM write on their way into one IN transfer. The copy runs
  // without the bus's lock, as a device's DMA does not hold up the host.
  struct Fill {
    std::shared_ptr<InTransfer> transfer;
    std::shared_ptr<const Bytes> write;
    size_t from = 0;
    size_t count = 0;
    size_t at = 0;
    bool completes = false;
  };
  struct OutTransfer {
    Bytes data;
    bool done = false;
    std::string error;
  };

  // The device's side of the bus; true when anything moved. The device
  // thread pumps the OUT side only and fills IN transfers one at a time.
  bool pump();
  bool deliver_out();
  std::optional<Fill> next_fill();
  void finish_fill(const Fill& fill);
  void disconnect();
  void finish_all(const std::string& error);

  InProcessUsbHost& host_;
  SimulatedDeviceConfig config_;
  SimulatedKvm kvm_;
  uint16_t in_packet_size_ = 512;

  int times_opened_ = 0;
  int open_handles_ = 0;
  std::vector<size_t> out_transfer_sizes_;
  bool claimed_ = false;
  bool refuse_open_ = false;
  std::optional<std::string> claim_error_;
  bool reading_ = true;
  std::optional<size_t> unplug_after_;
  bool unplugged_ = false;

  std::deque<std::shared_ptr<InTransfer>> in_;
  std::shared_ptr<OutTransfer> out_;
  std::shared_ptr<const Bytes> write_;  // the KVM write being sent
  size_t write_offset_ = 0;
};

class InProcessUsbHost final : public UsbHost {
 public:
  enum class Service { on_host_calls, device_thread };

  explicit InProcessUsbHost(Clock& clock, Service service = Service::on_host_calls);
  ~InProcessUsbHost() override;
  InProcessUsbHost(const InProcessUsbHost&) = delete;
  InProcessUsbHost& operator=(const InProcessUsbHost&) = delete;

  SimulatedUsbDevice& plug(SimulatedDeviceConfig config = {});

  Result<std::vector<UsbDeviceInfo>> list_devices() override;
  std::expected<std::unique_ptr<UsbDevice>, UsbOpenError> open(uint8_t bus_number,
                                                                 uint8_t address) override;

 private:
  friend class SimulatedUsbDevice;
  friend class InProcessDevice;

  void serve();

  Clock& clock_;
  const Service service_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<SimulatedUsbDevice>> devices_;
  bool stopping_ = false;
  std::thread device_thread_;
};

}  // namespace corvane::test
