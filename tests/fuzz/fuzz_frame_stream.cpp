// Bytes from a KVM that is not trusted yet. However they are cut into
// transfers, reading frames and decoding them must not crash, hang or
// allocate for payload that has not arrived, and must end in the same
// events and the same error as reading them whole, and without an error,
// with the same bytes left unread.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "session/decode.hpp"
#include "session/frame.hpp"

namespace {

using corvane::KvmEvent;

struct Outcome {
  std::vector<KvmEvent> events;
  std::string error;
  // Only compared without an error: an error stops the reader with whatever
  // had arrived by then.
  size_t unread = 0;
  bool operator==(const Outcome& other) const {
    return events == other.events && error == other.error &&
           (!error.empty() || unread == other.unread);
  }
};

// Feeds the stream in pieces of the given sizes (the rest in one last
// piece) and reads after each piece, as the session's reader does.
Outcome read_stream(std::span<const uint8_t> stream, const std::vector<size_t>& piece_sizes) {
  Outcome outcome;
  corvane::ReceiveBuffer buffer;
  size_t at = 0;
  size_t piece = 0;
  while (at < stream.size()) {
    size_t size = stream.size() - at;
    if (piece < piece_sizes.size()) size = std::min(size, piece_sizes[piece++]);
    buffer.append(stream.subspan(at, size));
    at += size;
    for (;;) {
      auto read = corvane::read_frame(buffer);
      if (!read) {
        outcome.error = read.error().message;
        return outcome;
      }
      if (!read->complete) break;
      auto event = corvane::decode(read->frame);
      if (!event) {
        outcome.error = event.error().message;
        return outcome;
      }
      outcome.events.push_back(std::move(*event));
    }
  }
  outcome.unread = buffer.size();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<size_t> piece_sizes(input.ConsumeIntegralInRange<size_t>(0, 16));
  for (size_t& piece_size : piece_sizes) piece_size = input.ConsumeIntegralInRange<size_t>(1, 512);
  std::vector<uint8_t> stream = input.ConsumeRemainingBytes<uint8_t>();

  Outcome whole = read_stream(stream, {});
  Outcome pieces = read_stream(stream, piece_sizes);
  if (!(whole == pieces)) std::abort();
  return 0;
}
