#pragma once
// Owners of posix_spawn's two set-up objects, so that every path out of a
// spawn destroys what it initialised.
#include <signal.h>
#include <spawn.h>

namespace corvane {

class SpawnFileActions {
 public:
  SpawnFileActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &attributes_; }

  // The child starts with no blocked signals and the given signals at their
  // default dispositions, whatever the spawning thread has arranged.
  void reset_signals(const sigset_t& defaults, short extra_flags = 0) {
    sigset_t empty;
    sigemptyset(&empty);
    ::posix_spawnattr_setsigmask(&attributes_, &empty);
    ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
    ::posix_spawnattr_setflags(
        &attributes_, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extra_flags));
  }

 private:
  posix_spawnattr_t attributes_;
};

}  // namespace corvane
