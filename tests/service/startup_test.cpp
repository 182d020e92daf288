// Start-up of the real daemon: exit status, what it prints, and no pidfile left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/daemon_launcher.h"

namespace fs = boost::filesystem;

namespace ferun_test {

TEST(Startup, ExitStatusOutputAndPidfile) {
  daemon_launcher_t daemon;
  const fs::path pid = daemon.dir() / "p.pid", tmp = daemon.tmpdir(), cfg = daemon.dir() / "c";
  write_file(cfg, "port=bad\nlogfile=" + (daemon.dir() / "no" / "log").string() + "\n");
  const std::string bad_pid = (daemon.dir() / "no" / "p.pid").string();
  const std::string tmp_error = "temporary directory " + tmp.string();
  // What lies at the temporary directory's path first, the arguments, the exit status, and the
  // output: a failure's reason, or the output's beginning (the whole output when it ends a line).
  const struct {
    std::string tmpdir;
    std::vector<std::string> args;
    int status;
    std::string output;
  } rows[] = {
      {"", {"--help", "--version"}, 0, "Version: 1.7.2\n"},
      {"", {"--help"}, 0, "Allowed options:\n  --version    "},
      {"", {"--bogus"}, 1, "unrecognised option '--bogus'"},
      {"", {"-p", "65536"}, 1, "the argument ('65536') for option '--port' is invalid"},
      // The command line wins over the file (its bad port is never read); the file fills the rest.
      {"", {"-c", cfg.string(), "-p", "1"}, 1, "can't open logfile: No such file or directory"},
      // With --daemon the failure is still printed before the detach.
      {"",
       {"--daemon", "--pidfile", bad_pid},
       1,
       "Can't create pidfile " + bad_pid + ": No such file or directory\n"},
      {"link", {}, 1, tmp_error + " is a symbolic link"},
      {"file", {}, 1, tmp_error + " is not a directory"},
      {"0777", {}, 1, tmp_error + " is writable by others (mode 0777)"},
      {"nobody", {}, 1, tmp_error + " is owned by user 65534, not by 0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.output);
    fs::remove_all(tmp);
    if (row.tmpdir == "link") fs::create_directory_symlink(daemon.dir(), tmp);
    if (row.tmpdir == "file") write_file(tmp, "");
    if (row.tmpdir == "0777" || row.tmpdir == "nobody") fs::create_directory(tmp);
    if (row.tmpdir == "0777") fs::permissions(tmp, fs::all_all);
    if (row.tmpdir == "nobody" && (geteuid() != 0 || chown(tmp.c_str(), 65534, 65534) != 0))
      continue;  // only root can give it away
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"-d", (daemon.dir() / "var").string()});
    if (row.args.size() != 3) args.insert(args.end(), {"--pidfile", pid.string()});
    daemon.start(args);
    const int status = daemon.wait_exit(std::chrono::minutes(1)).value_or(-1);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, row.status) << status;
    const std::string out = daemon.output();
    const std::string want = row.status ? "can't start: " + row.output + ", exit\n" : row.output;
    // A failure's line ends the output: the log's echo of the error may come first.
    const std::size_t from = row.status ? out.size() - std::min(out.size(), want.size()) : 0;
    EXPECT_EQ(out.substr(from, want.back() == '\n' ? std::string::npos : want.size()), want);
    EXPECT_FALSE(fs::exists(pid));  // a failed start removes the pidfile it has locked
  }
}

}  // namespace ferun_test
