#include "services/terminal/pseudo_terminal.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <array>
#include <cerrno>

#include "system/spawn_setup.hpp"

namespace corvane {
namespace {

Result<> set_size(int fd, TerminalSize size) {
  winsize window{};
  window.ws_row = size.rows;
  window.ws_col = size.columns;
  if (::ioctl(fd, TIOCSWINSZ, &window) < 0) return fail(os_error_text(errno));
  return {};
}

// The child runs setsid first and then opens the slave without O_NOCTTY:
// a session leader without a controlling terminal acquires the terminal
// it opens, which is what TIOCSCTTY would do, and posix_spawn has no
// action for an ioctl.
Result<> prepare(SpawnFileActions& actions, SpawnAttributes& attributes, const std::string& slave_path,
                 const TerminalCommand& command) {
  auto* file_actions = actions.get();
  int failed = ::posix_spawn_file_actions_addopen(file_actions, STDIN_FILENO, slave_path.c_str(),
                                                  O_RDWR, 0);
  if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(file_actions, STDIN_FILENO, STDOUT_FILENO);
  if (failed == 0) failed = ::posix_spawn_file_actions_adddup2(file_actions, STDIN_FILENO, STDERR_FILENO);
  if (failed == 0 && command.working_directory) {
    failed = ::posix_spawn_file_actions_addchdir_np(file_actions,
                                                    command.working_directory->c_str());
  }
  if (failed != 0) return fail(os_error_text(failed));

  // The shell starts with every signal at its default, whatever the
  // service's own threads have arranged.
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  attributes.reset_signals(defaults, POSIX_SPAWN_SETSID);
  return {};
}

std::vector<char*> pointers(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (const auto& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

}  // namespace

Result<PseudoTerminal> PseudoTerminal::open(TerminalSize size) {
  UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) return fail("could not open a pseudo-terminal: " + os_error_text(errno));
  if (::grantpt(master.get()) < 0 || ::unlockpt(master.get()) < 0) {
    return fail("could not unlock the pseudo-terminal: " + os_error_text(errno));
  }
  std::array<char, 128> name{};
  if (int failed = ::ptsname_r(master.get(), name.data(), name.size()); failed != 0) {
    return fail("could not name the pseudo-terminal: " + os_error_text(failed));
  }
  if (auto sized = set_size(master.get(), size); !sized) {
    return fail("could not size the pseudo-terminal: " + sized.error().message);
  }
  // Reader and writer wait in poll, so that a hang-up can end them.
  int flags = ::fcntl(master.get(), F_GETFL);
  if (flags < 0 || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    return fail("could not configure the pseudo-terminal: " + os_error_text(errno));
  }
  return PseudoTerminal(std::move(master), name.data());
}

Result<ChildProcess> PseudoTerminal::spawn(const TerminalCommand& command) const {
  SpawnFileActions actions;
  SpawnAttributes attributes;
  if (auto prepared = prepare(actions, attributes, slave_path_, command); !prepared) {
    return std::unexpected(prepared.error());
  }
  std::vector<std::string> argv_texts{command.program};
  argv_texts.insert(argv_texts.end(), command.args.begin(), command.args.end());
  auto argv = pointers(argv_texts);
  auto envp = pointers(command.environment);
  pid_t pid = -1;
  int failed = ::posix_spawnp(&pid, command.program.c_str(), actions.get(), attributes.get(),
                              argv.data(), envp.data());
  if (failed != 0) return fail(command.program + ": " + os_error_text(failed));
  return ChildProcess::adopt(pid);
}

Result<> PseudoTerminal::resize(TerminalSize size) const { return set_size(master_.get(), size); }

Result<UniqueFd> PseudoTerminal::clone_master() const {
  UniqueFd copy(::fcntl(master_.get(), F_DUPFD_CLOEXEC, 0));
  if (!copy) return fail("could not duplicate the pseudo-terminal: " + os_error_text(errno));
  return copy;
}

}  // namespace corvane
