// The value file's text form (parsed on its own, fed in pieces as the file is read) and the
// get-value and set-value commands answered over a real loopback connection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/sensor_fixture.h"
#include "sensor/ini_file.h"

namespace {

namespace fs = boost::filesystem;
using ferun::ini_map_t;
using ferun::ini_status_t;

const std::string new_line_text = "invalid ini file: new line\n";
const std::string format_text = "invalid ini file: format\n";

// ---- The text form -------------------------------------------------------------------------

TEST(IniText, SplitsAtTheFirstEqualsAndKeepsEverythingElse) {
  ini_map_t values;
  ASSERT_EQ(ferun::parse_ini("a=b=c\n=no name\nempty=\n name = value \n#hash=x\n", values),
            ini_status_t::ok);
  EXPECT_EQ(
      values,
      (ini_map_t{
          {"a", "b=c"}, {"", "no name"}, {"empty", ""}, {" name ", " value "}, {"#hash", "x"}}));
}

TEST(IniText, LaterLineReplacesEarlierOne) {
  ini_map_t values;
  ASSERT_EQ(ferun::parse_ini("k=1\nother=2\nk=3\n", values), ini_status_t::ok);
  EXPECT_EQ(values, (ini_map_t{{"k", "3"}, {"other", "2"}}));
}

TEST(IniText, BadLinesFailAndKeepTheLinesBeforeThem) {
  struct bad_t {
    std::string text;
    ini_status_t status;
  };
  const std::vector<bad_t> cases = {
      {"a=1\nb=2", ini_status_t::new_line},             // last line without newline
      {"a=1\n\nb=2\n", ini_status_t::format},           // empty line
      {"a=1\nno equals\nb=2\n", ini_status_t::format},  // no "="
  };
  for (const auto& c : cases) {
    ini_map_t values;
    EXPECT_EQ(ferun::parse_ini(c.text, values), c.status) << c.text;
    EXPECT_EQ(values, (ini_map_t{{"a", "1"}})) << c.text;
  }
  // A NUL ends the line's text before its newline.
  ini_map_t values;
  EXPECT_EQ(ferun::parse_ini(std::string("a=1\nb=x\0y\n", 10), values), ini_status_t::new_line);
  EXPECT_EQ(values, (ini_map_t{{"a", "1"}}));
}

TEST(IniText, LineLengthLimit) {
  const std::string longest = "n=" + std::string(ferun::ini_line_max - 2, 'v');
  ini_map_t values;
  EXPECT_EQ(ferun::parse_ini(longest + "\n", values), ini_status_t::ok);
  EXPECT_EQ(values["n"].size(), ferun::ini_line_max - 2);
  ini_map_t too_long;
  EXPECT_EQ(ferun::parse_ini(longest + "v\n", too_long), ini_status_t::new_line);
  EXPECT_TRUE(too_long.empty());
}

TEST(IniText, PiecesOfAnySizeGiveTheSameResult) {
  std::string text;
  for (int i = 0; i < 200; ++i)
    text += "name" + std::to_string(i) + "=" + std::string(i, 'x') + "\n";
  ini_map_t whole;
  ASSERT_EQ(ferun::parse_ini(text, whole), ini_status_t::ok);
  for (std::size_t piece : {1u, 7u, 1024u}) {
    ini_map_t values;
    ferun::ini_parser_t parser(values);
    for (std::size_t at = 0; at < text.size(); at += piece)
      ASSERT_EQ(parser.feed(text.data() + at, std::min(piece, text.size() - at)), ini_status_t::ok);
    EXPECT_EQ(parser.finish(), ini_status_t::ok);
    EXPECT_EQ(values, whole) << piece;
  }
}

TEST(IniText, EveryStorablePairReadsBackAsWritten) {
  const ini_map_t values = {{"", ""},
                            {" spaced name ", " v = w "},
                            {"#comment", "x"},
                            {"k", std::string(ferun::ini_line_max - 2, 'z')},
                            {"utf8 \xc3\xa9", "tab\there"}};
  for (const auto& pair : values) EXPECT_EQ(ferun::check_ini_pair(pair.first, pair.second), "");
  const std::string text = ferun::format_ini(values);
  EXPECT_EQ(text.substr(0, 2), "=\n");  // sorted byte-wise: the empty name first
  ini_map_t back;
  ASSERT_EQ(ferun::parse_ini(text, back), ini_status_t::ok);
  EXPECT_EQ(back, values);
}

TEST(IniText, PairsTheFormatCannotCarryAreNamed) {
  EXPECT_NE(ferun::check_ini_pair("a=b", "v"), "");
  EXPECT_NE(ferun::check_ini_pair("a\nb", "v"), "");
  EXPECT_NE(ferun::check_ini_pair(std::string("a\0b", 3), "v"), "");
  EXPECT_NE(ferun::check_ini_pair("a", "v\nw"), "");
  EXPECT_NE(ferun::check_ini_pair("a", std::string("v\0w", 3)), "");
  EXPECT_NE(ferun::check_ini_pair("k", std::string(ferun::ini_line_max - 1, 'z')), "");
  EXPECT_EQ(ferun::printable_text(std::string("a\nb\0\"\x01", 6)), "a\\nb\\0\\\"\\x01");
  EXPECT_EQ(ferun::printable_text(std::string(100, 'x'), 4), "xxxx...");
}

// ---- The commands --------------------------------------------------------------------------

class SensorValues : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto hello = f.handshake("ids", 7, "probe");
    ASSERT_EQ(hello.status, 0) << hello.message;
    ini = f.sensor->ini_path;
    ASSERT_EQ(ini, f.sensor->sensor_dir / "sensor.ini");
  }

  ferun_test::frame_t answer() {
    auto frame = f.console->receive(std::chrono::seconds(10));
    if (!frame) throw std::runtime_error("no answer");
    return *frame;
  }

  ferun::answer_get_value_t get(const std::vector<std::string>& names) {
    ferun::command_get_value_t cmd;
    cmd.names = names;
    f.sensor->on_get_value(cmd);
    const auto frame = answer();
    EXPECT_EQ(frame.id, 0x84);
    return frame.as<ferun::answer_get_value_t>();
  }

  ferun::answer_t set(const std::vector<ferun::ini_value_t>& values) {
    ferun::command_set_value_t cmd;
    cmd.values = values;
    f.sensor->on_set_value(cmd);
    const auto frame = answer();
    EXPECT_EQ(frame.id, 0x85);
    return frame.as<ferun::answer_t>();
  }

  std::string file_text() const {
    std::ifstream in(ini.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  void write_file(const std::string& text) const {
    std::ofstream(ini.string(), std::ios::binary) << text;
  }

  // Names in the sensor directory other than the value file: left-over temporary files.
  std::vector<std::string> strays() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(f.sensor->sensor_dir))
      if (entry.path().filename() != "sensor.ini")
        names.push_back(entry.path().filename().string());
    return names;
  }

  ferun_test::sensor_fixture_t f;
  fs::path ini;
};

using pairs_t = std::vector<ferun::ini_value_t>;

std::vector<std::pair<std::string, std::string>> flat(const pairs_t& values) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& v : values) out.emplace_back(v.name, v.value);
  return out;
}

TEST_F(SensorValues, GetBeforeAnySetAnswersEmptyValuesAndCreatesNoFile) {
  const auto a = get({"b", "a", "b"});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(flat(a.values), (decltype(flat(a.values)){{"b", ""}, {"a", ""}, {"b", ""}}));
  EXPECT_FALSE(fs::exists(ini));
}

TEST_F(SensorValues, SetCreatesSortedFileAndGetReadsItBack) {
  const auto s =
      set({{"zeta", "last"}, {"alpha", "first"}, {"al", "prefix"}, {"dup", "1"}, {"dup", "2"}});
  EXPECT_EQ(s.status, 0) << s.message;
  EXPECT_EQ(s.message, "");
  EXPECT_EQ(file_text(), "al=prefix\nalpha=first\ndup=2\nzeta=last\n");

  const auto a = get({"zeta", "missing", "al", "zeta"});
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(flat(a.values),
            (decltype(flat(a.values)){
                {"zeta", "last"}, {"missing", ""}, {"al", "prefix"}, {"zeta", "last"}}));
  // Asking for a name does not store it.
  EXPECT_EQ(file_text().find("missing"), std::string::npos);

  const auto none = get({});
  EXPECT_EQ(none.status, 0);
  EXPECT_TRUE(none.values.empty());
  EXPECT_TRUE(strays().empty());
}

TEST_F(SensorValues, SetReplacesOneValueAndKeepsTheOthersSorted) {
  write_file("z=1\nb=2\n#note=keep me\na=3\n");
  EXPECT_EQ(set({{"b", "new"}}).status, 0);
  EXPECT_EQ(file_text(), "#note=keep me\na=3\nb=new\nz=1\n");

  // An empty list only rewrites the file sorted.
  write_file("y=2\nx=1\n");
  EXPECT_EQ(set({}).status, 0);
  EXPECT_EQ(file_text(), "x=1\ny=2\n");
  fs::remove(ini);
  EXPECT_EQ(set({}).status, 0);
  EXPECT_TRUE(fs::exists(ini));
  EXPECT_EQ(file_text(), "");
}

TEST_F(SensorValues, MalformedFileFailsBothCommandsAndIsLeftAsItWas) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a=1\nb=2", new_line_text},
      {"a=1\n\nb=2\n", format_text},
      {"a=1\nno equals sign\n", format_text},
      {"n=" + std::string(ferun::ini_line_max - 1, 'v') + "\n", new_line_text},
  };
  for (const auto& c : cases) {
    write_file(c.first);
    const auto g = get({"a"});
    EXPECT_EQ(g.status, 1);
    EXPECT_EQ(g.message, c.second);
    EXPECT_TRUE(g.values.empty());
    const auto s = set({{"a", "2"}});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.message, c.second);
    EXPECT_EQ(file_text(), c.first);
  }
}

TEST_F(SensorValues, LongestLineReads) {
  const std::string value(ferun::ini_line_max - 2, 'v');
  write_file("n=" + value + "\n");
  const auto g = get({"n"});
  ASSERT_EQ(g.status, 0) << g.message;
  EXPECT_EQ(g.values.at(0).value, value);
}

TEST_F(SensorValues, ValueFileThatIsADirectory) {
  fs::create_directory(ini);
  const auto g = get({"a"});
  EXPECT_EQ(g.status, 1);
  EXPECT_EQ(g.message, "Success");
  EXPECT_TRUE(g.values.empty());
  const auto s = set({{"a", "1"}});
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "can't read ini from probe (Is a directory)");
  EXPECT_TRUE(fs::is_directory(ini));
}

TEST_F(SensorValues, PairsTheFileCannotCarryAreRefusedWhole) {
  write_file("keep=this\n");
  const std::vector<ferun::ini_value_t> bad = {
      {"na=me", "v"},
      {"na\nme", "v"},
      {std::string("na\0me", 5), "v"},
      {"name", "two\nlines"},
      {"name", std::string("v\0w", 3)},
      {"name", std::string(ferun::ini_line_max - 4, 'x')},  // "name=" + value is one byte too long
  };
  for (const auto& pair : bad) {
    // A good pair in the same command is not stored either.
    const auto s = set({{"good", "1"}, pair});
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.message.find("can't store value \""), 0u) << s.message;
    EXPECT_NE(s.message.find(ferun::printable_text(pair.name)), std::string::npos) << s.message;
    EXPECT_EQ(file_text(), "keep=this\n");
  }
  // The longest line that fits is accepted.
  EXPECT_EQ(set({{"name", std::string(ferun::ini_line_max - 5, 'x')}}).status, 0);
  EXPECT_EQ(get({"name"}).values.at(0).value.size(), ferun::ini_line_max - 5);
}

// Runs the calling thread's file work as an unprivileged user while it lives (all threads, as
// glibc switches them together); root would otherwise pass every permission check.
class unprivileged_t {
 public:
  unprivileged_t() : was_root_(::geteuid() == 0) {
    if (was_root_) ok_ = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
  }
  ~unprivileged_t() {
    if (was_root_) {
      if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
    }
  }
  unprivileged_t(const unprivileged_t&) = delete;
  unprivileged_t& operator=(const unprivileged_t&) = delete;
  bool ok() const { return !was_root_ || ok_; }

 private:
  bool was_root_;
  bool ok_ = false;
};

TEST_F(SensorValues, ValueFileThatCannotBeReplacedKeepsItsContent) {
  write_file("old=value\n");
  fs::permissions(ini, fs::perms(0666));
  fs::permissions(f.sensor->sensor_dir, fs::perms(0555));
  ferun::answer_t s(0);
  {
    unprivileged_t user;
    if (!user.ok()) GTEST_SKIP() << "can't drop privileges";
    ferun::command_set_value_t cmd;
    cmd.values = {{"old", "new"}, {"more", "x"}};
    f.sensor->on_set_value(cmd);
  }
  fs::permissions(f.sensor->sensor_dir, fs::perms(0755));
  s = answer().as<ferun::answer_t>();
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "can't write ini for probe (Permission denied)");
  EXPECT_EQ(file_text(), "old=value\n");
  EXPECT_TRUE(strays().empty());
}

TEST_F(SensorValues, WriteThatFailsMidwayKeepsTheOldFile) {
  write_file("old=value\n");
  // A file size limit makes the write fail part way, as a full disk would.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ferun::command_set_value_t cmd;
  cmd.values = {{"big", std::string(500, 'b')}};
  f.sensor->on_set_value(cmd);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);

  const auto s = answer().as<ferun::answer_t>();
  EXPECT_EQ(s.status, 1);
  EXPECT_EQ(s.message, "can't write ini for probe (File too large)");
  EXPECT_EQ(file_text(), "old=value\n");
  EXPECT_TRUE(strays().empty());
}

TEST_F(SensorValues, ClosedConnectionStillStoresAndSendsNothing) {
  f.console->close();
  // The sensor learns of the close through its pending header read.
  EXPECT_EQ(f.sensor->proto.read(false), nullptr);
  ASSERT_FALSE(f.sensor->socket().is_open());

  ferun::command_set_value_t set_cmd;
  set_cmd.values = {{"k", "v"}};
  EXPECT_NO_THROW(f.sensor->on_set_value(set_cmd));
  EXPECT_EQ(file_text(), "k=v\n");
  ferun::command_get_value_t get_cmd;
  get_cmd.names = {"k"};
  EXPECT_NO_THROW(f.sensor->on_get_value(get_cmd));
}

}  // namespace
