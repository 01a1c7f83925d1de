#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "kvm_behaviour.hpp"
#include "simulated_kvm.hpp"

namespace corvane::lab {

// How the gadget treats the host's bulk writes, faults included.
struct StreamOptions {
  // Bytes of bulk OUT data after which the gadget stops reading, at the end
  // of the frame they reach, so the host's later writes never complete;
  // 0: reads on.
  uint64_t read_limit = 0;
  // Bytes of bulk OUT data after which the gadget unplugs itself; 0: never.
  uint64_t unplug_after = 0;
  // Frames beyond the session channel are logged with a digest of their
  // payload; throughput runs leave that out, as the digest costs more than
  // the transfer.
  bool digest = true;
};

// The simulated KVM of the USB tests, served on the gadget's endpoints: the
// session requests come from the ep0 loop, and once the host has configured
// the device one thread reads the bulk OUT endpoint while another writes what
// the KVM sends on the bulk IN endpoint. Session frames go to the KVM; every
// other frame is only logged with its length and digest (a service message
// with its payload too), so that an 8 MiB access unit costs no copy and a
// test can compare it with what was sent. The KVM is not
// thread-safe, so every call into it holds the mutex; no thread holds it
// while it waits on an endpoint.
class SimulatedKvmBehaviour final : public KvmBehaviour {
 public:
  // unplug unbinds the gadget from its controller; it may run on a stream
  // thread and runs before the destructor joins them.
  SimulatedKvmBehaviour(test::SimulatedKvm& kvm, StreamOptions streams,
                        std::function<void()> unplug);
  SimulatedKvmBehaviour(const SimulatedKvmBehaviour&) = delete;
  SimulatedKvmBehaviour& operator=(const SimulatedKvmBehaviour&) = delete;
  // Unplugs, which ends the transfers the stream threads wait on, and joins them.
  ~SimulatedKvmBehaviour() override;

  SessionStatus reset_session() override;
  SessionStatus session_status() override;

  // Starts the stream threads the first time the host configures the device.
  void start_streams(int bulk_out, int bulk_in);

 private:
  SessionStatus answer(uint8_t request);
  void read_frames(int bulk_out);
  void write_stream(int bulk_in);
  // Counts bytes read; false once the gadget has unplugged itself.
  bool count_received(size_t bytes);
  bool read_limit_reached();
  void wait_for_stop();
  void unplug_once();

  test::SimulatedKvm& kvm_;
  StreamOptions streams_;
  std::function<void()> unplug_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool unplugged_ = false;
  uint64_t received_bytes_ = 0;
  std::jthread reader_;
  std::jthread writer_;
};

}  // namespace corvane::lab
