// file.drop names become file names in the user's Downloads folder. Whatever
// the KVM sends, an accepted name must stay inside that folder: no path
// separator, not "." or "..", no NUL or other control character.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "session/decode.hpp"
#include "session/payload_writer.hpp"

namespace {

bool stays_in_folder(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    auto byte = static_cast<uint8_t>(c);
    if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

// Mostly well-formed entries around fuzzed names, so that the name checks
// are reached; sometimes the raw bytes, for the framing checks.
std::vector<uint8_t> drop_payload(FuzzedDataProvider& input) {
  if (input.ConsumeBool()) return input.ConsumeRemainingBytes<uint8_t>();
  uint32_t count = input.ConsumeIntegralInRange<uint32_t>(1, 4);
  corvane::PayloadWriter payload;
  payload.u32(count);
  for (uint32_t i = 0; i < count; ++i) {
    std::string name = input.ConsumeRandomLengthString(300);
    payload.u32(input.ConsumeIntegralInRange<uint32_t>(0, 3))
        .u64(input.ConsumeIntegral<uint64_t>())
        .u16(static_cast<uint16_t>(name.size()))
        .text(name);
  }
  return payload.take();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<uint8_t> payload = drop_payload(input);
  auto id = corvane::message::file_drop;
  auto event = corvane::decode(corvane::Frame{id.channel, id.type, payload});
  if (!event) return 0;
  for (const auto& entry : std::get<corvane::FileDrop>(*event).entries) {
    if (entry.transfer_id == 0 || !stays_in_folder(entry.name)) std::abort();
  }
  return 0;
}
