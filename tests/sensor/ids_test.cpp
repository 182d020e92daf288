// IDS control through a recording wrapper script, over a real connection. The script appends its
// arguments, one bracketed word each, as a line of "calls", prints COMMAND.out and exits with
// COMMAND.rc when those exist.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"

namespace {

namespace fs = boost::filesystem;
using ferun_test::write_file;

class IdsControl : public ::testing::Test {
 protected:
  IdsControl() {
    fs::create_directories(dir);
    write_file(
        dir / "tavrel-snort",
        "#!/bin/sh\ncd \"$(dirname \"$0\")\"\nfor a; do printf '[%s]' \"$a\"; done >>calls\n"
        "echo >>calls; cat \"$1.out\" 2>/dev/null; exit $(cat \"$1.rc\" 2>/dev/null || echo 0)\n",
        0755);
    f = std::make_unique<ferun_test::sensor_fixture_t>(dir.string());
    f->sensor->interface = "eth1";
    f->sensor->config = "cfg";
    f->sensor->logdir = "spool";  // the home network stays empty: no word
  }
  void script(const std::string& command, const std::string& output, int rc) {
    write_file(dir / (command + ".out"), output);
    write_file(dir / (command + ".rc"), std::to_string(rc));
  }
  std::string calls() const { return ferun_test::read_file(dir / "calls"); }
  // The answer as "status:message".
  std::string act(std::uint8_t action) {
    ferun::command_ids_action_t cmd;
    cmd.action = action;
    f->sensor->on_ids_action(cmd);
    const auto frame = f->console->receive(std::chrono::seconds(10));
    if (!frame || frame->id != 0x83) throw std::runtime_error("no answer");
    const auto answer = frame->as<ferun::answer_t>();
    return std::to_string(answer.status) + ":" + answer.message;
  }

  ferun_test::temp_dir_t root{"ferun-ids"};
  fs::path dir = root / "prog dir 'x'";  // a program directory that needs quoting
  std::unique_ptr<ferun_test::sensor_fixture_t> f;
};

TEST_F(IdsControl, HostileValueIsOneWordAndEmptyValueNoWord) {
  const std::string mark = (root / "pwned").string();
  f->sensor->interface = "eth0; touch " + mark;
  EXPECT_EQ(act(1), "0:");
  EXPECT_FALSE(fs::exists(mark));
  EXPECT_EQ(calls(), "[start][eth0; touch " + mark + "][cfg][spool][-q]\n");
}

TEST_F(IdsControl, FailedStartAnswersStatusOneWithTheScriptOutput) {
  script("start", "snort: not installed\n", 2);
  EXPECT_EQ(act(1), "1:snort: not installed\n");
}

TEST_F(IdsControl, RestartStopsThenStartsDespiteAFailedStop) {
  script("stop", "not running\n", 1);
  EXPECT_EQ(act(3), "0:");
  EXPECT_EQ(calls(), "[stop][eth1][-q]\n[start][eth1][cfg][spool][-q]\n");
}

}  // namespace
