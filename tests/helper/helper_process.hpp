#pragma once
// Starts the real scanwell-helper the way the tests need it: inside the
// fake /dev/dri namespace, with a chosen descriptor 3, standard error
// captured, and optionally without CAP_SYS_ADMIN, as another user or with
// a library preloaded.
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace scanwell_test {

enum class Descriptor3 { socket, pipe, none };

struct HelperLaunch {
  Descriptor3 descriptor = Descriptor3::socket;
  std::vector<std::string> arguments;  // after the program name
  bool drop_sys_admin = false;         // out of the bounding set: the helper can never hold it
  std::optional<uid_t> run_as;         // a user other than the one that made the socket
  std::string preload;                 // LD_PRELOAD
};

class HelperProcess {
 public:
  explicit HelperProcess(const HelperLaunch& launch);
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess();

  // Our end of the helper's socket (-1 when it was not given one).
  int socket() const { return socket_; }
  void close_socket();

  // Writes all bytes to the helper's socket.
  void send(const void* data, std::size_t size);
  // Tells the helper no more requests follow (it sees the end of the
  // stream), then returns every byte it sends until it closes the socket.
  std::string read_to_end();

  // Waits for the helper to end: its wait status.
  int wait();
  // Everything the helper wrote to standard error; call after wait().
  std::string standard_error();

 private:
  pid_t pid_ = -1;
  int socket_ = -1;
  int error_pipe_ = -1;
};

std::string helper_path();

}  // namespace scanwell_test
