// Real shells (/bin/sh, bash) on real ptys, driven by the simulated KVM
// through the served session and its hub.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "services/terminal/terminal_service.hpp"
#include "terminal_fixture.hpp"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using test::TerminalFixture;

class TerminalTest : public TerminalFixture {
 protected:
  // The number printed after "pid-" by the shell.
  std::optional<pid_t> printed_pid(uint32_t id) {
    std::smatch match;
    auto text = output(id);
    static const std::regex pattern("pid-([0-9]+)\r");
    if (!std::regex_search(text, match, pattern)) return std::nullopt;
    return static_cast<pid_t>(std::stoi(match[1]));
  }
  static bool process_gone(pid_t pid) {
    return !std::filesystem::exists("/proc/" + std::to_string(pid));
  }
  // Names of this process's threads that start with prefix.
  static std::multiset<std::string> threads_named(const std::string& prefix) {
    std::multiset<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::ifstream comm(task.path() / "comm");
      std::string name;
      std::getline(comm, name);
      if (name.starts_with(prefix)) names.insert(name);
    }
    return names;
  }
  std::filesystem::path write_shell(const std::string& name, const std::string& body) {
    auto path = home / name;
    test::write_file(path, "#!/bin/sh\n" + body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }
};

TEST_F(TerminalTest, ALoginShellRunsInTheHomeFolderOnAnXtermOfTheDefaultSize) {
  for (const char* shell : {"/bin/sh", "/bin/bash"}) {
    SCOPED_TRACE(shell);
    ::setenv("SHELL", shell, 1);
    const uint32_t id = shell[5] == 's' ? 1 : 2;
    ASSERT_EQ(open_and_wait(id, 0, 0), terminal_status::opened);
    input(id, "echo \"size-$(stty size) term-$TERM pwd-$(pwd)\"\n");
    const std::string expected =
        "size-24 80 term-xterm-256color pwd-" + home.path().string() + "\r\n";
    EXPECT_TRUE(serve_until([&] { return output_holds(id, expected); })) << output(id);
  }
}

TEST_F(TerminalTest, AResizeReachesTheShell) {
  ASSERT_EQ(open_and_wait(1, 30, 100), terminal_status::opened);
  input(1, "echo \"size-$(stty size)\"\n");
  ASSERT_TRUE(serve_until([&] { return output_holds(1, "size-30 100\r\n"); })) << output(1);
  resize(1, 50, 132);
  input(1, "echo \"size-$(stty size)\"\n");
  ASSERT_TRUE(serve_until([&] { return output_holds(1, "size-50 132\r\n"); })) << output(1);
}

TEST_F(TerminalTest, OpenAnswersAndSwitchingOffAndOn) {
  ASSERT_EQ(open_and_wait(1), terminal_status::opened);
  EXPECT_EQ(open_and_wait(1), terminal_status::not_started);
  // The first terminal 1 is still the one that runs.
  input(1, "echo still-$((1+1))\n");
  ASSERT_TRUE(serve_until([&] { return output_holds(1, "still-2\r\n"); }));
  for (uint32_t id : {2u, 3u, 4u}) EXPECT_EQ(open_and_wait(id), terminal_status::opened);
  EXPECT_EQ(open_and_wait(5), terminal_status::too_many);

  // Traffic for an id that is not open changes nothing and is not answered.
  input(9, "echo x\n");
  resize(9, 10, 10);
  credit(9, 100);
  close(9);
  ASSERT_EQ(open_and_wait(5), terminal_status::too_many);
  for (const auto& frame : terminal_frames()) {
    if (frame.id() != message::terminal_state) {
      EXPECT_NE(test::payload_u32(frame.payload), 9u);
    }
  }

  const auto states = count(message::terminal_state);
  terminals_enabled(false);
  ASSERT_TRUE(serve_until([&] { return count(message::terminal_state) == states + 1; }));
  auto frames = terminal_frames();
  std::vector<std::pair<uint32_t, uint8_t>> closed_in_order;
  for (const auto& frame : frames) {
    if (frame.id() == message::terminal_closed) {
      closed_in_order.emplace_back(test::payload_u32(frame.payload), frame.payload.at(4));
    }
  }
  EXPECT_EQ(closed_in_order.size(), 4u);
  for (const auto& [id, reason] : closed_in_order) EXPECT_EQ(reason, terminal_close_reason::requested);
  EXPECT_EQ(frames.back().id(), message::terminal_state);
  EXPECT_EQ(frames.back().payload, (test::Bytes{0, 0, 0, 0}));

  EXPECT_EQ(open_and_wait(6), terminal_status::switched_off);
  terminals_enabled(true);
  ASSERT_TRUE(serve_until([&] { return count(message::terminal_state) == states + 2; }));
  EXPECT_EQ(terminal_frames().back().payload, (test::Bytes{1, 0, 0, 0}));
  EXPECT_EQ(open_and_wait(1), terminal_status::opened);
}

TEST_F(TerminalTest, OutputBeyondTheCreditWaitsForMoreCredit) {
  ASSERT_EQ(open_and_wait(1), terminal_status::opened);
  input(1, "head -c 300000 /dev/zero | tr '\\0' x\n");
  ASSERT_TRUE(serve_until([&] { return output(1).size() >= initial_terminal_credit; }));
  serve_for(1s);
  EXPECT_EQ(output(1).size(), initial_terminal_credit);

  credit(1, 65536);
  ASSERT_TRUE(serve_until([&] { return output(1).size() >= initial_terminal_credit + 65536; }));
  serve_for(1s);
  EXPECT_EQ(output(1).size(), initial_terminal_credit + 65536);

  credit(1, 1'000'000);
  ASSERT_TRUE(serve_until([&] {
    auto text = output(1);
    return std::count(text.begin(), text.end(), 'x') >= 300000;
  }));
  for (const auto& frame : terminal_frames()) {
    if (frame.id() == message::terminal_output) {
      EXPECT_LT(frame.payload.size() - 4, merged_output_limit);
    }
  }
}

TEST_F(TerminalTest, OutputHeldBackForOneTerminalHoldsBackTheOthers) {
  ASSERT_EQ(open_and_wait(7), terminal_status::opened);
  ASSERT_EQ(open_and_wait(8), terminal_status::opened);
  ASSERT_TRUE(serve_until([&] { return !output(7).empty() && !output(8).empty(); }));
  input(7, "head -c 300000 /dev/zero | tr '\\0' x\n");
  ASSERT_TRUE(serve_until([&] { return output(7).size() >= initial_terminal_credit; }));
  input(8, "echo mark-$((1+1))\n");
  serve_for(1s);
  EXPECT_FALSE(output_holds(8, "mark-2\r\n"));
  close(7);
  EXPECT_TRUE(serve_until([&] { return output_holds(8, "mark-2\r\n"); }));
}

TEST_F(TerminalTest, AShellThatExitsIsClosedAfterItsOutput) {
  ASSERT_EQ(open_and_wait(1), terminal_status::opened);
  input(1, "echo bye-$((1+1)); exit\n");
  ASSERT_TRUE(serve_until([&] { return closed(1).has_value(); }));
  EXPECT_EQ(closed(1), terminal_close_reason::ended);
  EXPECT_TRUE(output_holds(1, "bye-2\r\n"));
  EXPECT_EQ(terminal_frames().back().id(), message::terminal_closed);
  // The id is free again.
  EXPECT_EQ(open_and_wait(1), terminal_status::opened);
}

TEST_F(TerminalTest, ClosingABusyShellHangsItUpAndKillsItIfItStays) {
  struct Case {
    std::string setup;
    bool hangs_up;
  };
  const std::vector<Case> cases{
      {"trap 'echo hup > \"$HOME/hung-up\"; exit' HUP", true},
      {"trap '' HUP", false},
  };
  uint32_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setup);
    std::filesystem::remove(home / "hung-up");
    ASSERT_EQ(open_and_wait(id), terminal_status::opened);
    input(id, c.setup + "; echo pid-$$; while :; do :; done\n");
    ASSERT_TRUE(serve_until([&] { return printed_pid(id).has_value(); })) << output(id);
    const pid_t shell = *printed_pid(id);
    close(id);
    ASSERT_TRUE(serve_until([&] { return closed(id).has_value(); }));
    EXPECT_EQ(closed(id), terminal_close_reason::requested);
    ASSERT_TRUE(serve_until([&] { return process_gone(shell); }));
    EXPECT_EQ(std::filesystem::exists(home / "hung-up"), c.hangs_up);
    ++id;
  }
}

TEST_F(TerminalTest, AShellThatStopsTakingInputIsClosed) {
  // Never reads its terminal: the pty fills, the writer blocks on the
  // first large input, and the queue behind it holds 256 more.
  ::setenv("SHELL", write_shell("sleeper", "exec sleep 1000\n").c_str(), 1);
  ASSERT_EQ(open_and_wait(1), terminal_status::opened);
  std::string lines;
  for (int i = 0; i < 900; ++i) lines += std::string(63, 'a') + "\n";
  input(1, lines);
  // The echo shows that the writer holds the first input, which is far
  // larger than what the pty takes from a shell that does not read.
  ASSERT_TRUE(serve_until([&] { return !output(1).empty(); }));
  for (int i = 0; i < 256; ++i) input(1, "b\n");
  ASSERT_EQ(open_and_wait(2), terminal_status::opened);
  EXPECT_EQ(closed(1), std::nullopt);
  EXPECT_EQ(log.text().find("stopped taking input"), std::string::npos);

  input(1, "b\n");
  ASSERT_TRUE(serve_until([&] { return closed(1).has_value(); }));
  EXPECT_EQ(closed(1), terminal_close_reason::stopped_taking_input);
  EXPECT_TRUE(log.wait_for("corvane: terminal 1 stopped taking input\n"));
}

TEST_F(TerminalTest, AnIdOpenedAgainAtOnceIsNotClosedByItsPredecessor) {
  ASSERT_EQ(open_and_wait(1), terminal_status::opened);
  close(1);
  open(1);
  ASSERT_TRUE(serve_until([&] { return count(message::terminal_opened) == 2; }));
  ASSERT_EQ(opened(1), terminal_status::opened);
  // Long past the old shell's hang-up and linger.
  serve_for(1500ms);
  input(1, "echo alive-$((1+1))\n");
  ASSERT_TRUE(serve_until([&] { return output_holds(1, "alive-2\r\n"); }));
  EXPECT_EQ(count(message::terminal_closed), 1u);
}

TEST_F(TerminalTest, AShellThatCannotStartIsReported) {
  ::setenv("SHELL", (home / "missing-shell").c_str(), 1);
  EXPECT_EQ(open_and_wait(1), terminal_status::not_started);
  EXPECT_TRUE(log.wait_for("corvane: terminal 1 could not start a shell: "));
  ::setenv("SHELL", "/bin/sh", 1);
  EXPECT_EQ(open_and_wait(1), terminal_status::opened);
}

TEST_F(TerminalTest, EndingTheSessionEndsEveryTerminalAndItsThreads) {
  ASSERT_EQ(open_and_wait(12), terminal_status::opened);
  // A job that outlives the shell keeps the pty's slave side open; the
  // terminal's threads must end all the same.
  input(12, "(trap '' HUP; exec sleep 300) & echo job-$!; trap '' HUP; echo pid-$$; "
            "while :; do :; done\n");
  ASSERT_TRUE(serve_until([&] { return printed_pid(12).has_value(); }));
  const pid_t shell = *printed_pid(12);
  std::smatch job_match;
  auto text = output(12);
  ASSERT_TRUE(std::regex_search(text, job_match, std::regex("job-([0-9]+)\r")));
  const pid_t job = static_cast<pid_t>(std::stoi(job_match[1]));
  EXPECT_EQ(threads_named("terminal-12-"),
            (std::multiset<std::string>{"terminal-12-rea", "terminal-12-wai", "terminal-12-wri"}));
  session_.reset();
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while ((!process_gone(shell) || !threads_named("terminal-12-").empty()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(process_gone(shell));
  EXPECT_TRUE(threads_named("terminal-12-").empty());
  EXPECT_FALSE(process_gone(job));
  ::kill(job, SIGKILL);
}

}  // namespace
}  // namespace corvane
