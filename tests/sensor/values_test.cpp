// The get-value and set-value commands answered over a real connection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "sensor/ini_file.h"

namespace {

namespace fs = boost::filesystem;
using pairs_t = std::vector<std::pair<std::string, std::string>>;

class SensorValues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(f.handshake("ids", 7, "probe").status, 0);
    ini = f.sensor->sensor_dir / "sensor.ini";
  }
  ferun_test::frame_t next(std::uint16_t id) {
    auto frame = f.console->receive(std::chrono::seconds(10));
    if (!frame) throw std::runtime_error("no answer");
    EXPECT_EQ(frame->id, id);
    return *frame;
  }
  ferun::answer_t answer() { return next(0x85).as<ferun::answer_t>(); }
  // The answer's status, message and pairs.
  std::tuple<int, std::string, pairs_t> get(const std::vector<std::string>& names) {
    ferun::command_get_value_t cmd;
    cmd.names = names;
    f.sensor->on_get_value(cmd);
    const auto a = next(0x84).as<ferun::answer_get_value_t>();
    pairs_t values;
    for (const auto& v : a.values) values.emplace_back(v.name, v.value);
    return {a.status, a.message, values};
  }
  ferun::answer_t set(const pairs_t& values) {
    ferun::command_set_value_t cmd;
    for (const auto& v : values) cmd.values.push_back({v.first, v.second});
    f.sensor->on_set_value(cmd);
    return answer();
  }
  std::string text() const { return ferun_test::read_file(ini); }
  void write(const std::string& text) const { ferun_test::write_file(ini, text); }
  // Nothing but the value file in the sensor directory: no temporary file left behind.
  bool alone() const {
    for (const auto& entry : fs::directory_iterator(f.sensor->sensor_dir))
      if (entry.path() != ini) return false;
    return true;
  }

  ferun_test::sensor_fixture_t f;
  fs::path ini;
};

TEST_F(SensorValues, GetBeforeAnySetAnswersEmptyValuesAndCreatesNoFile) {
  EXPECT_EQ(get({"b", "a", "b"}),
            std::make_tuple(0, std::string(), pairs_t{{"b", ""}, {"a", ""}, {"b", ""}}));
  EXPECT_FALSE(fs::exists(ini));
}

TEST_F(SensorValues, SetRewritesTheFileSortedAndGetReadsItBack) {
  write("z=1\nb=2\n#note=keep me\na=b=c\n");
  const std::string longest(ferun::ini_line_max - 2, 'v');
  const auto s = set(
      {{"b", "new"}, {"", ""}, {" sp ", " v = w "}, {"dup", "1"}, {"dup", "2"}, {"n", longest}});
  EXPECT_EQ(s.status, 0) << s.message;
  EXPECT_EQ(s.message, "");
  EXPECT_EQ(text(),
            "=\n sp = v = w \n#note=keep me\na=b=c\nb=new\ndup=2\nn=" + longest + "\nz=1\n");
  EXPECT_EQ(
      get({"a", "missing", " sp ", "n", ""}),
      std::make_tuple(
          0, std::string(),
          pairs_t{{"a", "b=c"}, {"missing", ""}, {" sp ", " v = w "}, {"n", longest}, {"", ""}}));
  EXPECT_EQ(text().find("missing"), std::string::npos);
  EXPECT_TRUE(alone());

  // An empty list only rewrites the file, sorted, or creates it empty.
  write("y=2\nx=1\n");
  EXPECT_EQ(set({}).status, 0);
  EXPECT_EQ(text(), "x=1\ny=2\n");
  fs::remove(ini);
  EXPECT_EQ(set({}).status, 0);
  EXPECT_TRUE(fs::exists(ini));
  EXPECT_EQ(text(), "");
}

TEST_F(SensorValues, MalformedFileFailsBothCommandsAndIsLeftAsItWas) {
  const std::string new_line = "invalid ini file: new line\n",
                    format = "invalid ini file: format\n";
  const pairs_t cases = {
      {"a=1\nb=2", new_line},
      {"a=1\n\nb=2\n", format},
      {"a=1\nno equals sign\n", format},
      {"n=" + std::string(ferun::ini_line_max - 1, 'v') + "\n", new_line},
      {std::string("a=1\nb=x\0y\n", 10), new_line},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    write(c.first);
    EXPECT_EQ(get({"a"}), std::make_tuple(1, c.second, pairs_t{}));
    const auto s = set({{"a", "2"}});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.message, c.second);
    EXPECT_EQ(text(), c.first);
  }
}

TEST_F(SensorValues, ValueFileThatIsADirectory) {
  fs::create_directory(ini);
  EXPECT_EQ(get({"a"}), std::make_tuple(1, std::string("Success"), pairs_t{}));
  const auto s = set({{"a", "1"}});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "can't read ini from probe (Is a directory)");
  EXPECT_TRUE(fs::is_directory(ini));
}

TEST_F(SensorValues, PairsTheFileCannotCarryAreRefusedWhole) {
  write("keep=this\n");
  const pairs_t cases = {
      {"na=me", "v"},
      {"na\nme", "v"},
      {std::string("na\0me", 5), "v"},
      {"name", "two\nlines"},
      {"name", std::string("v\0w", 3)},
      {"name", std::string(ferun::ini_line_max - 4, 'x')},  // one byte too long
  };
  for (const auto& pair : cases) {
    SCOPED_TRACE(ferun::printable_text(pair.first + "=" + pair.second));
    const auto s = set({{"good", "1"}, pair});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.message.find("can't store value \"" + ferun::printable_text(pair.first) + "\": "),
              0u)
        << s.message;
    EXPECT_EQ(text(), "keep=this\n");
  }
  EXPECT_EQ(set({{"na\nme", "v"}}).message,
            "can't store value \"na\\nme\": the name holds a newline");
}

TEST_F(SensorValues, FailedRewriteKeepsTheOldFile) {
  write("old=value\n");
  {
    // A file size limit makes the write fail part way, as a full disk would.
    struct rlimit saved, small;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = saved;
    small.rlim_cur = 100;
    const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ferun::command_set_value_t cmd;
    cmd.values = {{"big", std::string(500, 'b')}};
    f.sensor->on_set_value(cmd);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, old_handler);
  }
  const auto s = answer();
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "can't write ini for probe (File too large)");
  EXPECT_EQ(text(), "old=value\n");
  EXPECT_TRUE(alone());
}

}  // namespace
