#include "helper_link.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "socket_io.hpp"

extern char** environ;

namespace scanwell {

namespace {

// A unix stream reply may carry descriptors; the first one is kept and any
// other is closed. False at end of stream or on an error.
bool recv_with_descriptor(int socket, void* buffer, std::size_t size, ScopedFd& descriptor) {
  auto* bytes = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    iovec io{bytes + done, size - done};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int received;
        std::memcpy(&received, CMSG_DATA(header) + i * sizeof(int), sizeof received);
        if (descriptor) {
          ::close(received);
        } else {
          descriptor.reset(received);
        }
      }
    }
    if (got == 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// Reads and drops `size` bytes, keeping the stream in step with the replies.
bool discard(int socket, std::size_t size) {
  char scratch[65536];
  while (size > 0) {
    std::size_t part = size < sizeof scratch ? size : sizeof scratch;
    if (!recv_exact(socket, scratch, part)) return false;
    size -= part;
  }
  return true;
}

bool is_zero(const FrameReply& reply) {
  static constexpr FrameReply zero{};
  return std::memcmp(&reply, &zero, sizeof reply) == 0;
}

std::string describe_end(const std::string& helper, std::optional<int> reaped) {
  if (!reaped) return "capture helper " + helper + " ended";
  int status = *reaped;
  if (WIFSIGNALED(status)) {
    const char* name = ::sigabbrev_np(WTERMSIG(status));
    return "capture helper " + helper + " was killed by signal " + std::to_string(WTERMSIG(status)) +
           (name ? std::string(" (SIG") + name + ")" : std::string());
  }
  return "capture helper " + helper + " ended with exit status " + std::to_string(WEXITSTATUS(status));
}

// Keeps the child's end of the socket off descriptor 3, where a dup2 onto
// itself would leave close-on-exec set and the helper without its socket.
Outcome<ScopedFd> above_descriptor_3(ScopedFd fd) {
  if (fd.get() > helper_socket) return fd;
  ScopedFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, helper_socket + 1));
  if (!moved) return fail_errno("cannot set up the capture helper's socket");
  return moved;
}

}  // namespace

HelperLink::HelperLink(std::string helper_path, std::string device_path)
    : helper_path_(std::move(helper_path)), device_path_(std::move(device_path)) {}

HelperLink::~HelperLink() { end_helper(); }

std::optional<int> HelperLink::end_helper() {
  // Closing our end is the helper's signal to finish: its next read sees
  // the end of the stream, and a reply still being written fails.
  socket_.reset();
  if (pid_ <= 0) return std::nullopt;
  int status = 0;
  pid_t ended;
  do {
    ended = ::waitpid(pid_, &status, 0);
  } while (ended < 0 && errno == EINTR);
  pid_ = -1;
  if (ended < 0) return std::nullopt;
  return status;
}

Outcome<void> HelperLink::start() {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    return fail_errno("cannot create the capture helper's socket");
  }
  ScopedFd ours(pair[0]);
  auto theirs = above_descriptor_3(ScopedFd(pair[1]));
  if (!theirs) return std::unexpected(theirs.error());

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs->get(), helper_socket);
  // The helper starts with default signal handling and nothing blocked,
  // whatever the calling program arranged for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  char* argv[] = {helper_path_.data(), device_path_.data(), nullptr};
  pid_t pid = -1;
  int result = ::posix_spawn(&pid, helper_path_.c_str(), &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) {
    return fail(-EACCES, "cannot start the capture helper " + helper_path_ + ": " + std::strerror(result));
  }
  pid_ = pid;
  socket_ = std::move(ours);
  return {};
}

Outcome<void> HelperLink::ensure_started() {
  if (failure_) return std::unexpected(*failure_);
  if (socket_) return {};
  auto started = start();
  if (!started) failure_ = started.error();
  return started;
}

Outcome<void> HelperLink::send_request(RequestType type, std::uint32_t crtc_id) {
  if (auto started = ensure_started(); !started) return started;
  HelperRequest request;
  request.type = static_cast<std::uint16_t>(type);
  request.crtc_id = crtc_id;
  if (!send_all(socket_.get(), &request, sizeof request)) return std::unexpected(lost());
  return {};
}

Failure HelperLink::lost() {
  std::optional<int> status = end_helper();
  // The helper exits with status 1 only when it refuses to start: it was
  // not permitted, or not given what it needs.
  if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == 1) {
    failure_ = Failure{-EACCES, "capture helper " + helper_path_ +
                                    " refused to run (exit status 1); its reason is on standard error"};
  } else {
    failure_ = Failure{-EPIPE, describe_end(helper_path_, status)};
  }
  return *failure_;
}

Failure HelperLink::broken(const std::string& message) {
  end_helper();
  failure_ = Failure{-EPROTO, "capture helper " + helper_path_ + " broke the protocol: " + message};
  return *failure_;
}

Outcome<ReceivedFrame> HelperLink::request_frame(std::uint32_t crtc_id) {
  if (auto sent = send_request(RequestType::frame, crtc_id); !sent) return std::unexpected(sent.error());
  ReceivedFrame frame;
  if (!recv_with_descriptor(socket_.get(), &frame.reply, sizeof frame.reply, frame.descriptor)) {
    return std::unexpected(lost());
  }
  const FrameReply& reply = frame.reply;
  if (is_zero(reply)) {
    std::string where = crtc_id != 0 ? " on CRTC " + std::to_string(crtc_id) : "";
    return fail(-ENODEV, "nothing is scanned out" + where + "; the capture helper's reason is on standard error");
  }
  switch (static_cast<FrameTransfer>(reply.transfer)) {
    case FrameTransfer::pixels:
      return receive_pixels(std::move(frame));
    case FrameTransfer::dmabuf:
    case FrameTransfer::host_dmabuf:
      if (reply.data_size != 0) return std::unexpected(broken("pixels announced with a DMA-BUF"));
      if (!frame.descriptor) return fail(-EPROTO, "the capture helper's DMA-BUF did not arrive");
      return frame;
  }
  return std::unexpected(broken("unknown transfer " + std::to_string(reply.transfer)));
}

Outcome<ReceivedFrame> HelperLink::receive_pixels(ReceivedFrame frame) {
  const FrameReply& reply = frame.reply;
  std::uint64_t size = std::uint64_t{reply.pitch} * reply.height;
  if (reply.data_size == 0 || reply.data_size != size || size > frame_max_bytes) {
    return std::unexpected(broken("pixel data of " + std::to_string(reply.data_size) + " bytes for " +
                                  std::to_string(reply.height) + " rows of " + std::to_string(reply.pitch)));
  }
  auto buffer = pixel_frames_.create(reply.data_size);
  if (!buffer) {
    if (!discard(socket_.get(), reply.data_size)) return std::unexpected(lost());
    return std::unexpected(buffer.error());
  }
  if (!recv_exact(socket_.get(), buffer->data(), reply.data_size)) return std::unexpected(lost());
  frame.descriptor = pixel_frames_.publish(std::move(*buffer));
  return frame;
}

Outcome<ReceivedCursor> HelperLink::request_cursor(std::uint32_t crtc_id) {
  if (auto sent = send_request(RequestType::cursor, crtc_id); !sent) return std::unexpected(sent.error());
  ReceivedCursor cursor;
  if (!recv_exact(socket_.get(), &cursor.reply, sizeof cursor.reply)) return std::unexpected(lost());
  const CursorReply& reply = cursor.reply;
  std::uint64_t size = std::uint64_t{reply.width} * reply.height * 4;
  if (!reply.valid) {
    if (reply.data_size != 0) return std::unexpected(broken("pixels announced for an invalid cursor"));
    return cursor;
  }
  if (reply.width > cursor_max_side || reply.height > cursor_max_side || reply.data_size != size) {
    return std::unexpected(broken("a cursor of " + std::to_string(reply.data_size) + " bytes for " +
                                  std::to_string(reply.width) + "x" + std::to_string(reply.height)));
  }
  if (size == 0) return cursor;
  cursor.pixels = std::make_unique_for_overwrite<std::uint32_t[]>(size / 4);
  if (!recv_exact(socket_.get(), cursor.pixels.get(), reply.data_size)) return std::unexpected(lost());
  return cursor;
}

}  // namespace scanwell
