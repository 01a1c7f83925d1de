/* Preloaded into scanwell-helper by the tests: once the first request has
 * been read, the helper is confined, and an open must kill it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

static ssize_t (*next_recv)(int, void*, size_t, int);

__attribute__((constructor)) static void find_next_recv(void) {
  void* symbol = dlsym(RTLD_NEXT, "recv");
  memcpy(&next_recv, &symbol, sizeof symbol);
}

ssize_t recv(int socket, void* buffer, size_t size, int flags) {
  ssize_t got = next_recv(socket, buffer, size, flags);
  if (got > 0) open("/etc/hostname", O_RDONLY);
  return got;
}
