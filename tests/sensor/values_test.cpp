// The get-value and set-value commands answered over a real connection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"

namespace {

class SensorValues : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0); }
  template <class M>
  M answer(std::uint16_t id) {
    const auto frame = f.console->receive(std::chrono::seconds(10));
    if (!frame || frame->id != id) throw std::runtime_error("no answer");
    return frame->template as<M>();
  }
  std::string set(const std::vector<ferun::ini_value_t>& values) {
    ferun::command_set_value_t cmd;
    cmd.values = values;
    f.sensor->on_set_value(cmd);
    const auto a = answer<ferun::answer_t>(0x85);
    return std::to_string(a.status) + ":" + a.message;
  }
  std::string text() const { return ferun_test::read_file(ini()); }
  void write(const std::string& text) const { ferun_test::write_file(ini(), text); }
  boost::filesystem::path ini() const { return f.sensor->sensor_dir / "sensor.ini"; }

  ferun_test::sensor_fixture_t f;
};

TEST_F(SensorValues, SetThenGetRoundTripSorted) {
  write("z=1\nb=2\n");
  EXPECT_EQ(set({{"b", "new"}, {"a", "x = y"}}), "0:");
  EXPECT_EQ(text(), "a=x = y\nb=new\nz=1\n");
  ferun::command_get_value_t get;
  get.names = {"a", "missing"};
  f.sensor->on_get_value(get);
  const auto a = answer<ferun::answer_get_value_t>(0x84);
  ASSERT_EQ(a.values.size(), 2u);
  EXPECT_EQ(a.values[0].value + "|" + a.values[1].value, "x = y|");
}

TEST_F(SensorValues, FailedRewriteKeepsTheOldFile) {
  write("old=value\n");
  // A file size limit makes the write fail part way, as a full disk would.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit small = {100, saved.rlim_max};
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto s = set({{"big", std::string(500, 'b')}});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(s, "1:can't write ini for probe (File too large)");
  EXPECT_EQ(text(), "old=value\n");
}

TEST_F(SensorValues, RefusedPairAndMalformedFileLeaveTheFile) {
  write("keep=this\n");
  EXPECT_EQ(set({{"good", "1"}, {"na\nme", "v"}}),
            "1:can't store value \"na\\nme\": the name holds a newline");
  EXPECT_EQ(text(), "keep=this\n");

  write("a=1\nno equals sign\n");
  EXPECT_EQ(set({{"a", "2"}}), "1:invalid ini file: format\n");
  EXPECT_EQ(text(), "a=1\nno equals sign\n");
}

}  // namespace
