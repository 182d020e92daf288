// The host-description script and the IDS wrapper, run as the daemon runs them: through /bin/sh,
// every value quoted as one word, a final -q, standard output and error into one file.
// The IDS is a stand-in shell script given through SNORT; the wrapper's state goes to a
// directory of each test's own through TAVREL_SNORT_RUNDIR.

#include "support/path_utils.h"
#include "support/string_utils.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

const std::string kBinDir = FERUN_BINARY_DIR;

struct run_result {
  int exit_code = -1;
  std::string output;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path.string(), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs `command` through /bin/sh with its output going to `out`, as system() in the daemon does.
run_result run_shell(const std::string& command, const fs::path& out) {
  std::string line = command + " >" + shell_quote(out.string()) + " 2>&1";
  int status = std::system(line.c_str());
  run_result result;
  result.exit_code = (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  result.output = read_file(out);
  return result;
}

// Polls `done` until it holds or five seconds have passed.
bool eventually(const std::function<bool()>& done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// True while process `pid` exists and is not a zombie (an ended stand-in may wait for a reaper).
bool alive(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(") ");
  return close != std::string::npos && stat.size() > close + 2 && stat[close + 2] != 'Z';
}

// "name: value" lines the way the sensor reads the info output: one blank after the colon and a
// line end after the value.
std::map<std::string, std::string> info_pairs(const std::string& text) {
  std::map<std::string, std::string> pairs;
  for (const auto& line : lines_of(text)) {
    auto colon = line.find(": ");
    if (colon != std::string::npos) pairs[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return pairs;
}

bool is_unsigned(const std::string& value) {
  return std::regex_match(value, std::regex("[0-9]+"));
}

// A usage figure: a per cent from 0 to 100 with two decimals.
bool is_percent(const std::string& value) {
  if (!std::regex_match(value, std::regex("[0-9]{1,3}\\.[0-9]{2}"))) return false;
  return std::strtod(value.c_str(), nullptr) <= 100.0;
}

unsigned long long sys_counter(const std::string& iface, const std::string& name) {
  return std::strtoull(read_file("/sys/class/net/" + iface + "/statistics/" + name).c_str(),
                       nullptr, 10);
}

class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / fs::unique_path("ferun-scripts-%%%%-%%%%-%%%%");
    fs::create_directories(dir_ / "run");
    fs::create_directories(dir_ / "spool");
    fs::create_directories(dir_ / "bin");
    snort_ = dir_ / "fake-snort";
    // The stand-in IDS: records its words one per line once its traps are set, counts SIGHUPs
    // and, like the real one flushing its spool, takes a moment to end on SIGTERM.
    write_fake(snort_,
               "#!/bin/sh\n"
               "trap 'echo hup >>" + shell_quote((dir_ / "hups").string()) + "' HUP\n"
               "trap 'sleep 0.3; exit 0' TERM\n"
               "printf '%s\\n' \"$@\" >" + shell_quote((dir_ / "args.tmp").string()) + "\n"
               "mv " + shell_quote((dir_ / "args.tmp").string()) + " " +
                   shell_quote((dir_ / "args").string()) + "\n"
               "while :; do sleep 1 & wait $!; done\n");
    env_ = "TAVREL_SNORT_RUNDIR=" + shell_quote((dir_ / "run").string()) +
           " SNORT=" + shell_quote(snort_.string()) + " ";
  }

  void TearDown() override {
    // Never leave a stand-in running, whatever the test did.
    for (fs::directory_iterator it(dir_ / "run"), end; it != end; ++it) {
      if (it->path().extension() != ".pid") continue;
      pid_t pid = static_cast<pid_t>(std::atoi(read_file(it->path()).c_str()));
      if (pid > 1 && pid != ::getpid()) ::kill(pid, SIGKILL);
    }
    boost::system::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  static void write_fake(const fs::path& path, const std::string& text) {
    write_file(path, text);
    fs::permissions(path, fs::owner_all | fs::group_read | fs::group_exe);
  }

  // The daemon's command line: the script, each word quoted (an empty one left out), then -q.
  static std::string command_line(const std::string& script, const std::vector<std::string>& words,
                                  bool quiet = true) {
    std::string line = shell_quote(kBinDir + "/" + script);
    for (const auto& word : words) shell_append(line, word);
    if (quiet) line += " -q";
    return line;
  }

  run_result wrapper(const std::vector<std::string>& words, const std::string& env_extra = "",
                     bool quiet = true) {
    return run_shell(env_ + env_extra + command_line("tavrel-snort", words, quiet),
                     dir_ / "sensor_out");
  }

  pid_t recorded_pid(const std::string& iface) {
    return static_cast<pid_t>(std::atoi(read_file(dir_ / "run" / (iface + ".pid")).c_str()));
  }

  fs::path dir_;
  fs::path snort_;
  std::string env_;
};

// --- sysinfo -------------------------------------------------------------------------------------

TEST_F(ScriptTest, SysinfoDescribesTheHostInNameValueLines) {
  run_result r = run_shell(command_line("sysinfo", {}, false), dir_ / "sysinfo_out");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_FALSE(r.output.empty());
  EXPECT_EQ(r.output.back(), '\n');
  for (const auto& line : lines_of(r.output))
    EXPECT_TRUE(std::regex_match(line, std::regex("[a-z_]+: [^\\r]{1,200}"))) << line;
  auto pairs = info_pairs(r.output);
  for (const char* name : {"hostname", "os", "kernel", "cpu_model", "cpu_count", "memory", "uptime"})
    EXPECT_EQ(pairs.count(name), 1u) << name;
  EXPECT_TRUE(is_unsigned(pairs["cpu_count"])) << pairs["cpu_count"];
  EXPECT_GT(std::atoi(pairs["cpu_count"].c_str()), 0);
  EXPECT_TRUE(is_unsigned(pairs["memory"])) << pairs["memory"];
  EXPECT_TRUE(is_unsigned(pairs["uptime"])) << pairs["uptime"];
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(pairs["hostname"], host);
  // The hello answer carries it in one frame of at most 4096 bytes.
  EXPECT_LT(r.output.size(), 2048u);
}

// --- tavrel-snort info ---------------------------------------------------------------------------

TEST_F(ScriptTest, SnortScriptInfoReportsEveryFigureInItsNumberForm) {
  auto rx_before = sys_counter("lo", "rx_packets");
  run_result r = wrapper({"info", "lo"});
  auto rx_after = sys_counter("lo", "rx_packets");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_FALSE(r.output.empty());
  EXPECT_EQ(r.output.back(), '\n') << "the sensor drops a last pair without a line end";
  auto pairs = info_pairs(r.output);
  EXPECT_EQ(pairs.size(), 11u) << r.output;
  EXPECT_EQ(pairs["status"], "stopped");
  EXPECT_EQ(pairs["uptime"], "0");
  for (const char* name : {"cpu_usage", "mem_usage", "disk_usage"})
    EXPECT_TRUE(is_percent(pairs[name])) << name << ": " << pairs[name];
  for (const char* name : {"mem", "disk", "rx_bytes", "rx_packets", "tx_bytes", "tx_packets"})
    EXPECT_TRUE(is_unsigned(pairs[name])) << name << ": " << pairs[name];
  EXPECT_GT(std::strtoull(pairs["mem"].c_str(), nullptr, 10), 0u);
  auto rx = std::strtoull(pairs["rx_packets"].c_str(), nullptr, 10);
  EXPECT_GE(rx, rx_before);
  EXPECT_LE(rx, rx_after);

  // A second call measures the CPU over the time since the first and keeps the same form.
  run_result again = wrapper({"info", "lo"});
  ASSERT_EQ(again.exit_code, 0);
  EXPECT_TRUE(is_percent(info_pairs(again.output)["cpu_usage"])) << again.output;
}

TEST_F(ScriptTest, SnortScriptInfoGivesZeroCountersForAnInterfaceThatDoesNotExist) {
  const std::string marker = (dir_ / "ran").string();
  for (const std::string& iface :
       {std::string("nosuchif0"), std::string(""), std::string("../../../proc/self"),
        std::string("a very long interface name"), "lo; touch " + marker,
        "$(touch " + marker + ")"}) {
    run_result r = wrapper({"info", iface});
    EXPECT_EQ(r.exit_code, 0) << iface << ": " << r.output;
    auto pairs = info_pairs(r.output);
    EXPECT_EQ(pairs.size(), 11u) << iface << ": " << r.output;
    EXPECT_EQ(pairs["status"], "stopped") << iface;
    for (const char* name : {"rx_bytes", "rx_packets", "tx_bytes", "tx_packets"})
      EXPECT_EQ(pairs[name], "0") << iface << " " << name;
    EXPECT_TRUE(is_percent(pairs["mem_usage"])) << iface;
  }
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(ScriptTest, SnortScriptInfoMeasuresTheDiskOfTheSpoolGivenAtStart) {
  ASSERT_EQ(wrapper({"start", "lo", "cfg", "any", (dir_ / "spool").string()}).exit_code, 0);
  run_result r = wrapper({"info", "lo"});
  auto pairs = info_pairs(r.output);
  EXPECT_EQ(pairs["status"], "running");
  EXPECT_TRUE(is_unsigned(pairs["uptime"])) << pairs["uptime"];
  EXPECT_LE(std::atoi(pairs["uptime"].c_str()), 5);

  fs::space_info space = fs::space(dir_ / "spool");
  auto used = space.capacity - space.free;
  auto reported = std::strtoull(pairs["disk"].c_str(), nullptr, 10);
  // Same file system as the spool: within 64 MiB of what statvfs says now.
  EXPECT_LT(reported > used ? reported - used : used - reported, 64ull << 20) << r.output;
}

// --- tavrel-snort without the IDS program --------------------------------------------------------

TEST_F(ScriptTest, SnortScriptStartFailsClearlyWhenSnortIsMissing) {
  const std::string spool = (dir_ / "spool").string();
  for (const std::string& snort :
       {(dir_ / "nowhere" / "snort").string(), std::string("ferun-test-no-such-snort")}) {
    run_result r = wrapper({"start", "lo", "cfg", "any", spool}, "SNORT=" + shell_quote(snort) + " ");
    EXPECT_NE(r.exit_code, 0) << snort;
    EXPECT_NE(r.output.find("not installed"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(snort), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
  }
  EXPECT_EQ(wrapper({"status", "lo"}).output, "stopped\n");
  run_result info = wrapper({"info", "lo"}, "SNORT=ferun-test-no-such-snort ");
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_EQ(info_pairs(info.output).size(), 11u) << info.output;
}

TEST_F(ScriptTest, SnortScriptFindsSnortOnPath) {
  fs::copy_file(snort_, dir_ / "bin" / "snort");
  std::string path = (dir_ / "bin").string() + ":" + std::getenv("PATH");
  run_result r = run_shell("TAVREL_SNORT_RUNDIR=" + shell_quote((dir_ / "run").string()) +
                               " PATH=" + shell_quote(path) + " " +
                               command_line("tavrel-snort",
                                            {"start", "lo", "cfg", "any", (dir_ / "spool").string()}),
                           dir_ / "out");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(eventually([&] { return fs::exists(dir_ / "args"); }));
  EXPECT_EQ(wrapper({"stop", "lo"}).exit_code, 0);
}

// --- tavrel-snort start, status, reload, stop ----------------------------------------------------

TEST_F(ScriptTest, SnortScriptControlsTheIdsThroughItsLife) {
  const std::string spool = (dir_ / "spool").string();
  run_result start = wrapper({"start", "lo", "/etc/snort/snort.conf", "10.0.0.0/8", spool});
  ASSERT_EQ(start.exit_code, 0) << start.output;
  ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / "args"); }));
  EXPECT_EQ(read_file(dir_ / "args"),
            "-i\nlo\n-c\n/etc/snort/snort.conf\n-h\n10.0.0.0/8\n-l\n" + spool + "\n-q\n");
  pid_t pid = recorded_pid("lo");
  ASSERT_GT(pid, 1);
  EXPECT_TRUE(alive(pid));

  run_result status = wrapper({"status", "lo"});
  EXPECT_EQ(status.exit_code, 0);
  EXPECT_EQ(status.output, "running\n");
  EXPECT_EQ(info_pairs(wrapper({"info", "lo"}).output)["status"], "running");

  // A second start leaves the running IDS alone.
  run_result second = wrapper({"start", "lo", "other.conf", "any", spool});
  EXPECT_EQ(second.exit_code, 0) << second.output;
  EXPECT_NE(second.output.find("already running"), std::string::npos) << second.output;
  EXPECT_EQ(recorded_pid("lo"), pid);

  run_result reload = wrapper({"reload", "lo"});
  EXPECT_EQ(reload.exit_code, 0) << reload.output;
  EXPECT_TRUE(eventually([&] { return read_file(dir_ / "hups") == "hup\n"; }));
  EXPECT_TRUE(alive(pid));

  run_result stop = wrapper({"stop", "lo"});
  EXPECT_EQ(stop.exit_code, 0) << stop.output;
  EXPECT_FALSE(alive(pid)) << "stop returns once the IDS has ended";
  EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
  EXPECT_EQ(wrapper({"status", "lo"}).output, "stopped\n");
  EXPECT_EQ(info_pairs(wrapper({"info", "lo"}).output)["uptime"], "0");
}

TEST_F(ScriptTest, SnortScriptControlWithNothingRunning) {
  for (const std::string& iface : {std::string("lo"), std::string("")}) {
    run_result stop = wrapper({"stop", iface});
    EXPECT_EQ(stop.exit_code, 0) << stop.output;
    EXPECT_NE(stop.output.find("not running"), std::string::npos) << stop.output;
    run_result status = wrapper({"status", iface});
    EXPECT_EQ(status.exit_code, 0);
    EXPECT_EQ(status.output, "stopped\n");
    run_result reload = wrapper({"reload", iface});
    EXPECT_NE(reload.exit_code, 0);
    EXPECT_NE(reload.output.find("not running"), std::string::npos) << reload.output;
  }
}

TEST_F(ScriptTest, SnortScriptStartRefusesIncompleteOrBadValues) {
  const std::string spool = (dir_ / "spool").string();
  // Before any setup every value is empty and the daemon passes no words at all; an empty
  // interface shifts the others, which must not be taken for an interface.
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"start"}, {"start", "", "cfg", "any", spool}, {"start", "lo", "cfg", spool},
           {"start", "../x", "cfg", "any", spool}, {"start", "lo", "cfg", "any", spool, "extra"}}) {
    run_result r = wrapper(words);
    EXPECT_NE(r.exit_code, 0) << r.output;
    EXPECT_FALSE(r.output.empty());
  }
  EXPECT_FALSE(fs::exists(dir_ / "args")) << "the IDS must not have been started";
}

TEST_F(ScriptTest, SnortScriptReportsAnIdsThatEndsAtOnce) {
  // It reads its configuration for a moment before it gives up, as the real one does.
  write_fake(dir_ / "bad-snort",
             "#!/bin/sh\nsleep 0.3\necho 'ERROR: cfg(12) unknown rule option'\nexit 1\n");
  run_result r = wrapper({"start", "lo", "cfg", "any", (dir_ / "spool").string()},
                         "SNORT=" + shell_quote((dir_ / "bad-snort").string()) + " ");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("ERROR: cfg(12) unknown rule option"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
  EXPECT_EQ(wrapper({"status", "lo"}).output, "stopped\n");
}

TEST_F(ScriptTest, SnortScriptNeverSignalsAProcessItDidNotStart) {
  // A process-id file left from an IDS that ended, its number since given to another process
  // (this test), or a damaged one: none of them names a running IDS.
  const fs::path pid_file = dir_ / "run" / "lo.pid";
  for (const std::string& content :
       {std::to_string(::getpid()) + " 1\n", std::to_string(::getpid()) + "\n",
        std::string("1; touch x\n"), std::string("")}) {
    write_file(pid_file, content);
    EXPECT_EQ(wrapper({"status", "lo"}).output, "stopped\n") << content;
    EXPECT_EQ(wrapper({"reload", "lo"}).exit_code, 1) << content;
    run_result stop = wrapper({"stop", "lo"});
    EXPECT_EQ(stop.exit_code, 0) << stop.output;
    EXPECT_FALSE(fs::exists(pid_file)) << "a stale file is cleared by stop";
  }
  EXPECT_FALSE(fs::exists(dir_ / "run" / "x"));
}

// --- values are data, never commands -------------------------------------------------------------

TEST_F(ScriptTest, SnortScriptPassesHostileValuesAsSingleWords) {
  const std::string marker = (dir_ / "ran").string();
  const std::string spool = (dir_ / "spool").string();
  const std::string config = "my cfg; touch " + marker;
  const std::string home = "$(touch " + marker + ") `touch " + marker + "` it's \"q\" *";
  run_result r = wrapper({"start", "lo", config, home, spool});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / "args"); }));
  EXPECT_EQ(read_file(dir_ / "args"),
            "-i\nlo\n-c\n" + config + "\n-h\n" + home + "\n-l\n" + spool + "\n-q\n");

  for (const char* command : {"status", "info", "reload", "stop"}) {
    wrapper({command, "lo; touch " + marker});
    wrapper({command, "lo", "x; touch " + marker});
  }
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(wrapper({"stop", "lo"}).exit_code, 0);
}

TEST_F(ScriptTest, SnortScriptPassesQuietOnlyWhenAsked) {
  // By hand, without the daemon's final -q, snort is not made quiet.
  const std::string spool = (dir_ / "spool").string();
  run_result r = wrapper({"start", "lo", "cfg", "any", spool}, "", false);
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / "args"); }));
  EXPECT_EQ(read_file(dir_ / "args"), "-i\nlo\n-c\ncfg\n-h\nany\n-l\n" + spool + "\n");
  EXPECT_EQ(wrapper({"stop", "lo"}, "", false).exit_code, 0);
}

}  // namespace
