// Plays scanwell-helper for the library's tests. The library passes the
// device path as the argument; the tests make that "device" a script with
// one line per request, answered in order:
//   zero                                   the all-zero reply of the request's type
//   dmabuf W H PITCH FOURCC MODIFIER TRANSFER SEED   a memfd with the pattern, as SCM_RIGHTS
//   pixels W H PITCH SEED                  transfer 0 and PITCH x H pattern bytes
//   reply TRANSFER DATA_SIZE               a 16x16 frame reply, nothing attached
//   cursor X Y HOT_X HOT_Y W H SEED        a valid cursor with W x H x 4 pattern bytes
//   cursor-hidden X Y                      a cursor reply with valid 0
//   exit STATUS                            exit without a reply
//   kill                                   die by SIGKILL
// It records what it sees in DEVICE.log.
#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "helper_protocol.hpp"
#include "pattern.hpp"
#include "socket_io.hpp"

namespace {

using namespace scanwell;

std::string open_descriptors() {
  std::string list;
  DIR* directory = ::opendir("/proc/self/fd");
  std::vector<int> fds;
  while (dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(directory)) fds.push_back(fd);
  }
  ::closedir(directory);
  std::sort(fds.begin(), fds.end());
  for (int fd : fds) list += (list.empty() ? "" : ",") + std::to_string(fd);
  return list;
}

bool descriptor3_is_stream_socket() {
  int type = 0;
  socklen_t size = sizeof type;
  return ::getsockopt(helper_socket, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
}

void send_frame_dmabuf(std::istringstream& words) {
  FrameReply reply{};
  unsigned seed = 0;
  words >> reply.width >> reply.height >> reply.pitch >> std::hex >> reply.fourcc >> reply.modifier >> std::dec >>
      reply.transfer >> seed;
  reply.sequence = 1;
  std::size_t size = std::size_t{reply.pitch} * reply.height;
  int memfd = ::memfd_create("standin-frame", MFD_CLOEXEC);
  std::string bytes = scanwell_test::pattern(size, seed);
  if (::write(memfd, bytes.data(), size) != static_cast<ssize_t>(size)) std::exit(3);
  send_with_descriptor(helper_socket, &reply, sizeof reply, memfd);
  ::close(memfd);
}

void send_frame_pixels(std::istringstream& words) {
  FrameReply reply{};
  unsigned seed = 0;
  words >> reply.width >> reply.height >> reply.pitch >> seed;
  reply.fourcc = 0x34325258;
  reply.modifier = 0;
  reply.data_size = reply.pitch * reply.height;
  std::string bytes = scanwell_test::pattern(reply.data_size, seed);
  send_all(helper_socket, &reply, sizeof reply);
  send_all(helper_socket, bytes.data(), bytes.size());
}

void send_frame_raw(std::istringstream& words) {
  FrameReply reply{};
  reply.width = 16;
  reply.height = 16;
  reply.pitch = 64;
  reply.fourcc = 0x34325258;
  words >> reply.transfer >> reply.data_size;
  send_all(helper_socket, &reply, sizeof reply);
}

void send_cursor(std::istringstream& words, bool valid) {
  CursorReply reply{};
  words >> reply.x >> reply.y;
  unsigned seed = 0;
  if (valid) words >> reply.hot_x >> reply.hot_y >> reply.width >> reply.height >> seed;
  reply.valid = valid ? 1 : 0;
  reply.data_size = valid ? reply.width * reply.height * 4 : 0;
  std::string bytes = scanwell_test::pattern(reply.data_size, seed);
  send_all(helper_socket, &reply, sizeof reply);
  send_all(helper_socket, bytes.data(), bytes.size());
}

void send_zero(RequestType type) {
  char zero[sizeof(FrameReply)] = {};
  send_all(helper_socket, zero, type == RequestType::cursor ? sizeof(CursorReply) : sizeof(FrameReply));
}

void answer(const std::string& line, RequestType type) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command == "dmabuf") return send_frame_dmabuf(words);
  if (command == "pixels") return send_frame_pixels(words);
  if (command == "reply") return send_frame_raw(words);
  if (command == "cursor") return send_cursor(words, true);
  if (command == "cursor-hidden") return send_cursor(words, false);
  if (command == "kill") ::raise(SIGKILL);
  if (command == "exit") {
    int status = 0;
    words >> status;
    std::exit(status);
  }
  send_zero(type);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string inherited = open_descriptors();
  std::ofstream log(std::string(argv[1]) + ".log", std::ios::app);
  log << "started pid=" << ::getpid() << " argc=" << argc << " device=" << argv[1]
      << " fd3=" << (descriptor3_is_stream_socket() ? "stream-socket" : "other") << " open=" << inherited
      << std::endl;
  std::fprintf(stderr, "helper-standin: started\n");

  std::ifstream script(argv[1]);
  for (;;) {
    HelperRequest request;
    if (!recv_exact(helper_socket, &request, sizeof request)) {
      log << "end of stream" << std::endl;
      return 0;
    }
    log << "request type=" << request.type << " crtc=" << request.crtc_id << std::endl;
    std::string line;
    std::getline(script, line);
    answer(line, static_cast<RequestType>(request.type));
  }
}
