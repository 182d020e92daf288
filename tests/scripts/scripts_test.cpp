// The host-description script and the IDS wrapper, run as the daemon runs them: through /bin/sh,
// every value quoted as one word, the wrapper with a final -q, output and errors into one file.
// The IDS is a stand-in script named "snort" on PATH; the wrapper keeps its state in the test's
// directory (TAVREL_SNORT_RUNDIR).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/regex.hpp>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/daemon_launcher.h"
#include "sensor/ids_info.h"
#include "support/path_utils.h"

namespace fs = boost::filesystem;
using ferun_test::read_file;
using words_t = std::vector<std::string>;

namespace {

struct run_result_t {
  int exit_code;
  std::string output;
};

// The "name: value" pairs of a script's output, read with the sensor's own parse.
ferun::ids_info_map_t pairs_of(const std::string& text) {
  ferun::ids_info_map_t pairs;
  ferun::parse_ids_info(text, pairs);
  return pairs;
}

bool is(const std::string& value, const char* form) {
  return boost::regex_match(value, boost::regex(form));
}

// Polls `done` for up to five seconds.
template <class Done>
bool eventually(Done done) {
  for (int i = 0; i < 250 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return done();
}

// True while process `pid` exists and is not a zombie.
bool alive(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(") ");
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// The IDS: records its words one per line once its traps are set, notes each SIGHUP and, like the
// real one flushing its spool, takes a moment to end on SIGTERM.
const char* const kStandIn = R"(#!/bin/sh
trap 'echo hup >>"$TEST_DIR/hups"' HUP
trap 'sleep 0.3; exit 0' TERM
printf '%s\n' "$@" >"$TEST_DIR/args.tmp" && mv "$TEST_DIR/args.tmp" "$TEST_DIR/args"
while :; do sleep 1 & wait $!; done
)";

class Scripts : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"run", "spool", "bin"}) fs::create_directories(dir_ / sub);
    ferun_test::write_file(dir_ / "bin" / "snort", kStandIn, 0755);
  }
  void TearDown() override {
    // Never leave a stand-in running, whatever the test did.
    const pid_t pid = std::atoi(read_file(dir_ / "run" / "lo.pid").c_str());
    if (pid > 1 && pid != getpid()) kill(pid, SIGKILL);
  }
  std::string quoted(const std::string& name) const { return shell_quote((dir_ / name).string()); }

  run_result_t run(const std::string& script, const words_t& words, const std::string& env = "") {
    std::string line =
        "TEST_DIR=" + quoted("") + " TAVREL_SNORT_RUNDIR=" + quoted("run") +
        " SNORT= PATH=" + shell_quote((dir_ / "bin").string() + ":" + std::getenv("PATH")) + " " +
        env + shell_quote(std::string(FERUN_BINARY_DIR) + "/" + script);
    for (const std::string& word : words) shell_append(line, word);
    line += (script == "sysinfo" ? "" : " -q") + (" >" + quoted("out") + " 2>&1");
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(dir_ / "out")};
  }
  run_result_t snort(const words_t& words, const std::string& env = "") {
    return run("tavrel-snort", words, env);
  }

  ferun_test::temp_dir_t dir_{"ferun-scripts"};
  const std::string spool_ = (dir_ / "spool").string();
};

}  // namespace

TEST_F(Scripts, SysinfoDescribesTheHostInNameValueLines) {
  const run_result_t r = run("sysinfo", {});
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(is(r.output, "([a-z_]+: [^\\n]{1,200}\\n)+")) << r.output;
  EXPECT_LT(r.output.size(), 2048u) << "the hello answer carries it in one frame";
  auto pairs = pairs_of(r.output);
  for (const char* name : {"os", "kernel", "cpu_model"}) EXPECT_EQ(pairs.count(name), 1u) << name;
  for (const char* name : {"cpu_count", "memory", "uptime"})
    EXPECT_TRUE(is(pairs[name], "[0-9]+")) << name << ": " << pairs[name];
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(pairs["hostname"], host);
}

TEST_F(Scripts, InfoGivesElevenNumericFiguresAndZeroCountersForOtherInterfaces) {
  const auto rx_packets = [] {
    return std::stoull(read_file("/sys/class/net/lo/statistics/rx_packets"));
  };
  const std::string marker = (dir_ / "ran").string();
  for (const std::string& iface : {std::string("lo"), std::string("nosuchif0"), std::string(""),
                                   std::string("../../../proc/self"), "lo; touch " + marker}) {
    SCOPED_TRACE(iface);
    const auto before = rx_packets();
    const run_result_t r = snort({"info", iface});
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(r.output.substr(r.output.size() - 1), "\n") << "else the sensor drops the last pair";
    auto pairs = pairs_of(r.output);
    EXPECT_EQ(pairs.size(), 11u) << r.output;
    EXPECT_EQ(pairs["status"] + " " + pairs["uptime"], "stopped 0");
    for (const char* name : {"cpu_usage", "mem_usage", "disk_usage"})  // per cent
      EXPECT_TRUE(is(pairs[name], "[0-9]{1,2}\\.[0-9]{2}|100\\.00")) << name << ": " << pairs[name];
    for (const char* name : {"mem", "disk"}) EXPECT_TRUE(is(pairs[name], "[0-9]+")) << name;
    for (const char* name : {"rx_bytes", "rx_packets", "tx_bytes", "tx_packets"})
      EXPECT_TRUE(is(pairs[name], iface == "lo" ? "[0-9]+" : "0")) << name << ": " << pairs[name];
    if (iface == "lo") {
      const unsigned long long rx = std::stoull(pairs["rx_packets"]);
      EXPECT_TRUE(before <= rx && rx <= rx_packets()) << rx;
    }
  }
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(Scripts, StartFailsClearlyWhenTheIdsIsNotInstalled) {
  for (const std::string& ids : {(dir_ / "nowhere" / "snort").string(), std::string("no-snort")}) {
    const run_result_t r = snort({"start", "lo", "cfg", "any", spool_}, "SNORT=" + ids + " ");
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.output.find("'" + ids + "' is not installed"), std::string::npos) << r.output;
  }
  EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
  EXPECT_EQ(snort({"status", "lo"}).output, "stopped\n");
  EXPECT_EQ(pairs_of(snort({"info", "lo"}, "SNORT=no-snort ").output).size(), 11u);
}

TEST_F(Scripts, ControlsTheIdsThroughItsLifeWithEveryValueAsOneWord) {
  const std::string marker = (dir_ / "ran").string();
  const std::string config = "my cfg; touch " + marker;
  const std::string home = "$(touch " + marker + ") `touch " + marker + "` it's \"q\" *";
  const run_result_t start = snort({"start", "lo", config, home, spool_});
  ASSERT_EQ(start.exit_code, 0) << start.output;
  ASSERT_TRUE(eventually([&] { return fs::exists(dir_ / "args"); }));
  EXPECT_EQ(read_file(dir_ / "args"),
            "-i\nlo\n-c\n" + config + "\n-h\n" + home + "\n-l\n" + spool_ + "\n-q\n");
  const pid_t pid = std::atoi(read_file(dir_ / "run" / "lo.pid").c_str());
  ASSERT_TRUE(pid > 1 && alive(pid));
  EXPECT_EQ(snort({"status", "lo"}).output, "running\n");

  auto info = pairs_of(snort({"info", "lo"}).output);
  EXPECT_EQ(info["status"], "running");
  EXPECT_LE(std::stoi(info["uptime"]), 5);
  const fs::space_info space = fs::space(spool_);  // the file system of the spool given at start
  const long long used = space.capacity - space.free;
  EXPECT_LT(std::llabs(std::stoll(info["disk"]) - used), 64ll << 20) << info["disk"];

  const run_result_t second = snort({"start", "lo", "other.conf", "any", spool_});
  EXPECT_NE(second.output.find("already running"), std::string::npos) << second.output;
  EXPECT_EQ(std::atoi(read_file(dir_ / "run" / "lo.pid").c_str()), pid);
  EXPECT_EQ(snort({"reload", "lo"}).exit_code, 0);
  EXPECT_TRUE(eventually([&] { return read_file(dir_ / "hups") == "hup\n"; }));
  for (const char* command : {"status", "info", "reload", "stop"})
    snort({command, "lo; touch " + marker});
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(alive(pid));

  EXPECT_EQ(snort({"stop", "lo"}).exit_code, 0);
  EXPECT_FALSE(alive(pid)) << "stop returns once the IDS has ended";
  EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
  EXPECT_EQ(snort({"status", "lo"}).output, "stopped\n");
}

TEST_F(Scripts, NothingRunningOrAStalePidFileIsNeverSignalled) {
  // Missing, empty, naming a live process it did not start (this test), or damaged.
  for (const std::string& pid_file :
       {std::string(), std::string("\n"), std::to_string(getpid()) + " 1\n",
        std::string("1; touch x\n")}) {
    SCOPED_TRACE(pid_file);
    if (!pid_file.empty()) ferun_test::write_file(dir_ / "run" / "lo.pid", pid_file);
    EXPECT_EQ(snort({"status", "lo"}).output, "stopped\n");
    EXPECT_EQ(snort({"reload", "lo"}).exit_code, 1);
    EXPECT_EQ(snort({"stop", "lo"}).output, "snort is not running on lo\n");
    EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid")) << "stop clears a stale file";
  }
  EXPECT_EQ(snort({"stop"}).output, "snort is not running\n");
}

TEST_F(Scripts, StartRefusesIncompleteValuesAndReportsAnIdsThatEndsAtOnce) {
  // Before any setup every value is empty and the daemon passes no words; an empty interface
  // shifts the others, which must not be taken for an interface.
  for (const words_t& words :
       {words_t{"start"}, words_t{"start", "", "cfg", "any", spool_},
        words_t{"start", "lo", "cfg", spool_}, words_t{"start", "../x", "cfg", "any", spool_},
        words_t{"start", "lo", "cfg", "any", spool_, "extra"}}) {
    const run_result_t r = snort(words);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_FALSE(r.output.empty());
  }
  EXPECT_FALSE(fs::exists(dir_ / "args")) << "the IDS must not have been started";

  // It reads its configuration for a moment before it gives up, as the real one does.
  ferun_test::write_file(
      dir_ / "bin" / "snort",
      "#!/bin/sh\nsleep 0.3\necho 'ERROR: cfg(12) unknown rule option'\nexit 1\n");
  const run_result_t r = snort({"start", "lo", "cfg", "any", spool_});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("ERROR: cfg(12) unknown rule option"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(dir_ / "run" / "lo.pid"));
}
