// Receiving file drops and update packages, against a plain write loop of
// the same chunks into the same folder, measured side by side:
//   (a) file drop: MB/s of chunks written / MB/s of the plain loop (goal 0.9);
//   (b) update: MB/s of chunks written and hashed with SHA-256, then
//       flushed / MB/s of the plain loop (goal 0.85); also against the plain
//       loop followed by the same flush to the storage device.
// Chunks carry the most data one message can (65524 bytes) and are built
// before the clock starts, as the decoder would hand them over. Each figure
// is the best of several rounds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "services/file_drop/file_drop_service.hpp"
#include "services/update/update_receiver.hpp"
#include "system/files.hpp"
#include "system/unique_fd.hpp"

namespace {

using namespace corvane;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t total_size = 128u << 20;
constexpr size_t chunk_size = 65536 - 12;
constexpr int rounds = 5;

std::vector<std::vector<uint8_t>> make_chunks() {
  std::vector<std::vector<uint8_t>> chunks;
  for (size_t offset = 0; offset < total_size; offset += chunk_size) {
    std::vector<uint8_t> data(std::min(chunk_size, total_size - offset));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(offset + i * 31);
    chunks.push_back(std::move(data));
  }
  return chunks;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "file_bench: %s\n", what);
  std::exit(1);
}

double time_plain(const fs::path& path, const std::vector<std::vector<uint8_t>>& chunks,
                  bool flush) {
  auto start = Clock::now();
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  check(bool(fd), "cannot create the plain file");
  for (const auto& chunk : chunks) check(bool(write_all(fd.get(), chunk)), "plain write failed");
  if (flush) check(::fsync(fd.get()) == 0, "fsync failed");
  fd.reset();
  double seconds = seconds_since(start);
  fs::remove(path);
  return seconds;
}

// Acts as the KVM: the replies (credit grants) are taken off the queue as
// they come, which is what keeps the window open.
template <class Message, class Feed>
double time_service(Receiver<OutboundCommand>& replies,
                    const std::vector<Message>& messages, Feed feed) {
  auto start = Clock::now();
  for (const auto& message : messages) {
    feed(message);
    while (replies.try_receive().message) {
    }
  }
  return seconds_since(start);
}

std::vector<FileChunk> file_chunks(const std::vector<std::vector<uint8_t>>& chunks) {
  std::vector<FileChunk> messages;
  uint64_t offset = 0;
  for (const auto& data : chunks) {
    messages.push_back({1, offset, data});
    offset += data.size();
  }
  return messages;
}

std::vector<UpdateChunk> update_chunks(const std::vector<std::vector<uint8_t>>& chunks) {
  std::vector<UpdateChunk> messages;
  uint64_t offset = 0;
  for (const auto& data : chunks) {
    messages.push_back({1, offset, data});
    offset += data.size();
  }
  return messages;
}

double time_file_drop(const fs::path& folder, const std::vector<FileChunk>& chunks) {
  auto channel = make_channel<OutboundCommand>();
  FileDropService files(folder, true, channel.sender);
  files.drop(FileDrop{{{1, total_size, "dropped.bin"}}});
  double seconds = time_service(channel.receiver, chunks,
                                [&](const FileChunk& chunk) { files.chunk(chunk); });
  check(fs::file_size(folder / "dropped.bin") == total_size, "the dropped file is incomplete");
  fs::remove(folder / "dropped.bin");
  return seconds;
}

double time_update(const fs::path& folder, const std::vector<UpdateChunk>& chunks,
                   const std::array<uint8_t, 32>& digest) {
  auto channel = make_channel<OutboundCommand>();
  auto staged = std::make_shared<StagedSlot>();
  UpdateReceiver updates(install_target_for((folder / "corvane.AppImage").string()), staged,
                         channel.sender);
  updates.begin(UpdateBegin{1, total_size, digest, "bench"});
  double seconds = time_service(channel.receiver, chunks,
                                [&](const UpdateChunk& chunk) { updates.chunk(chunk); });
  auto package = staged->take();
  check(package.has_value(), "the package was not verified");
  fs::remove(package->package);
  return seconds;
}

}  // namespace

int main() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/file-bench.XXXXXX";
  fs::path folder = ::mkdtemp(pattern.data());
  auto chunks = make_chunks();
  auto drops = file_chunks(chunks);
  auto updates = update_chunks(chunks);
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  for (const auto& chunk : chunks) crypto_hash_sha256_update(&state, chunk.data(), chunk.size());
  std::array<uint8_t, 32> digest{};
  crypto_hash_sha256_final(&state, digest.data());

  double plain = 1e9, plain_flushed = 1e9, drop = 1e9, update = 1e9;
  for (int i = 0; i < rounds; ++i) {
    plain = std::min(plain, time_plain(folder / "plain.bin", chunks, false));
    drop = std::min(drop, time_file_drop(folder, drops));
    plain_flushed = std::min(plain_flushed, time_plain(folder / "plain.bin", chunks, true));
    update = std::min(update, time_update(folder, updates, digest));
  }
  fs::remove_all(folder);

  auto mbps = [](double seconds) { return double(total_size) / seconds / 1e6; };
  std::printf("chunks of %zu bytes, %zu MiB, best of %d, in %s\n", chunk_size, total_size >> 20,
              rounds, pattern.c_str());
  std::printf("plain write loop:            %8.1f MB/s\n", mbps(plain));
  std::printf("plain write loop + fsync:    %8.1f MB/s\n", mbps(plain_flushed));
  std::printf("file drop:                   %8.1f MB/s  ratio %.3f (goal >= 0.9)\n", mbps(drop),
              plain / drop);
  std::printf("update (SHA-256, fsync):     %8.1f MB/s  ratio %.3f (goal >= 0.85)\n",
              mbps(update), plain / update);
  std::printf("update vs plain loop + fsync:               ratio %.3f\n", plain_flushed / update);
  return 0;
}
