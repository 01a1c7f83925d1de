// Taking frames from the KVM out of the receive buffer and decoding them,
// against a plain memcpy of the same bytes, measured side by side:
//   (a) 64 KiB file.chunk frames: decode throughput / memcpy throughput;
//   (b) empty video.request_keyframe frames filling a 256 KiB buffer:
//       frames per second (and the same throughput ratio).
// Each figure is the best of several rounds. Filling the receive buffer
// belongs to the transport and is not timed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "session/decode.hpp"
#include "session/frame.hpp"
#include "session/payload_writer.hpp"

namespace {

using namespace corvane;
using Clock = std::chrono::steady_clock;

// Keeps the compiler from dropping work whose result is otherwise unused.
uint64_t sink = 0;

std::vector<uint8_t> repeat_frame(MessageId id, const std::vector<uint8_t>& payload, size_t count) {
  std::vector<uint8_t> frame = encode_control(ControlMessage(id, payload)).value();
  std::vector<uint8_t> stream;
  stream.reserve(frame.size() * count);
  for (size_t i = 0; i < count; ++i) stream.insert(stream.end(), frame.begin(), frame.end());
  return stream;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double time_memcpy(const std::vector<uint8_t>& stream, std::vector<uint8_t>& target) {
  auto start = Clock::now();
  std::memcpy(target.data(), stream.data(), stream.size());
  double seconds = seconds_since(start);
  sink += target[sink % target.size()];
  return seconds;
}

// Times taking every frame out of a buffer that holds the whole stream.
double time_decode(const std::vector<uint8_t>& stream, size_t expected_frames) {
  ReceiveBuffer buffer;
  buffer.append(stream);
  size_t frames = 0;
  auto start = Clock::now();
  for (;;) {
    auto read = read_frame(buffer);
    if (!read || !read->complete) break;
    auto event = decode(read->frame);
    if (!event) break;
    if (auto* chunk = std::get_if<FileChunk>(&*event)) sink += chunk->data.size() + chunk->data[0];
    ++frames;
  }
  double seconds = seconds_since(start);
  if (frames != expected_frames || buffer.size() != 0) {
    std::fprintf(stderr, "decoded %zu of %zu frames\n", frames, expected_frames);
    std::exit(1);
  }
  return seconds;
}

struct Timings {
  double memcpy_seconds;
  double decode_seconds;
};

// Alternates the two so that both see the same machine state.
Timings best_of(int rounds, const std::vector<uint8_t>& stream, size_t frames) {
  std::vector<uint8_t> target(stream.size(), 1);
  Timings best{1e9, 1e9};
  for (int i = 0; i < rounds; ++i) {
    best.memcpy_seconds = std::min(best.memcpy_seconds, time_memcpy(stream, target));
    best.decode_seconds = std::min(best.decode_seconds, time_decode(stream, frames));
  }
  return best;
}

double mib_per_second(size_t bytes, double seconds) {
  return static_cast<double>(bytes) / seconds / (1024.0 * 1024.0);
}

void chunk_frames() {
  constexpr size_t frames = 16;
  std::vector<uint8_t> data(control_payload_limit - 12, 0x5A);
  auto payload = PayloadWriter().u32(1).u64(0).bytes(data).take();
  auto stream = repeat_frame(message::file_chunk, payload, frames);
  Timings best = best_of(200, stream, frames);
  double ratio = best.memcpy_seconds / best.decode_seconds;
  std::printf("(a) 64 KiB file.chunk frames: %zu frames, %.1f MiB\n", frames,
              static_cast<double>(stream.size()) / (1024.0 * 1024.0));
  std::printf("    memcpy          %8.0f MiB/s\n",
              mib_per_second(stream.size(), best.memcpy_seconds));
  std::printf("    framing+decode  %8.0f MiB/s\n",
              mib_per_second(stream.size(), best.decode_seconds));
  std::printf("    ratio %.2f (goal >= 0.5)\n", ratio);
}

void empty_frames() {
  constexpr size_t buffer_size = 256 * 1024;
  constexpr size_t frames = buffer_size / frame_header_size;
  auto stream = repeat_frame(message::video_request_keyframe, {}, frames);
  Timings best = best_of(50, stream, frames);
  double frames_per_second = static_cast<double>(frames) / best.decode_seconds;
  std::printf("(b) empty video.request_keyframe frames: %zu frames in a 256 KiB buffer\n", frames);
  std::printf("    memcpy          %8.0f MiB/s\n",
              mib_per_second(stream.size(), best.memcpy_seconds));
  std::printf("    framing+decode  %8.0f MiB/s, %.2f M frames/s (goal >= 1 M frames/s)\n",
              mib_per_second(stream.size(), best.decode_seconds), frames_per_second / 1e6);
  std::printf("    ratio %.2f\n", best.memcpy_seconds / best.decode_seconds);
}

}  // namespace

int main() {
  chunk_frames();
  empty_frames();
  return sink == 0 ? 1 : 0;
}
