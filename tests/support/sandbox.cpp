#include "support/sandbox.hpp"

#include <sys/stat.h>

#include <sstream>

namespace corvane::test {

std::filesystem::path corvane_binary() { return CORVANE_BINARY; }

Sandbox::Sandbox() {
  for (const char* sub : {"home", "bin", "sys", "run", "etc-upper", "etc-work", "usr-upper",
                          "usr-work"}) {
    std::filesystem::create_directories(dir_ / sub);
  }
  write_file(dir_ / "calls", "");
}

void Sandbox::stand_in(const std::string& name, const std::map<std::string, int>& statuses) {
  std::ostringstream script;
  script << "#!/bin/sh\n"
         << "printf '%s\\n' \"" << name << " $*\" >> '" << (dir_ / "calls").string() << "'\n"
         << "case \"$*\" in\n";
  for (const auto& [args, status] : statuses) {
    script << "  " << (args == "*" ? "*" : "'" + args + "'") << ") ";
    script << (status == -9 ? std::string("kill -9 $$") : "exit " + std::to_string(status))
           << " ;;\n";
  }
  script << "esac\nexit 0\n";
  auto path = bin() / name;
  write_file(path, script.str());
  ::chmod(path.c_str(), 0755);
}

std::vector<std::string> Sandbox::calls() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(dir_ / "calls"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

ProgramResult Sandbox::run(const std::vector<std::string>& args, const Run& how) const {
  const std::string d = dir_.path().string();
  std::string script =
      "set -e\n"
      "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + d + "/etc-upper,workdir=" + d +
      "/etc-work /etc\n"
      "mount -t overlay overlay -o lowerdir=/usr,upperdir=" + d + "/usr-upper,workdir=" + d +
      "/usr-work /usr\n"
      "mount --bind " + d + "/run /run\n"
      "mount --bind " + d + "/sys /sys\n";
  for (const auto& line : how.setup) script += line + "\n";
  script += "exec \"$@\"\n";

  std::vector<std::string> argv = {"/usr/bin/unshare", "--user", "--map-root-user", "--mount",
                                   "--", "/bin/sh", "-c", script, "sandbox"};
  if (!how.as_root) {
    for (const char* arg : {"/usr/bin/unshare", "--user", "--map-user=1000", "--map-group=1000",
                            "--"}) {
      argv.push_back(arg);
    }
  }
  argv.push_back("/usr/bin/env");
  argv.push_back("-i");
  argv.push_back("HOME=" + home().string());
  argv.push_back("PATH=" + bin().string());
  for (const auto& entry : how.env) argv.push_back(entry);
  argv.push_back(how.program.empty() ? corvane_binary().string() : how.program.string());
  argv.insert(argv.end(), args.begin(), args.end());

  return run_program(argv, {.env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"}});
}

}  // namespace corvane::test
