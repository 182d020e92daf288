// The setup command: path rules, the spool directory, the resume position, the maps, the answer.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <string>

#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "sensor/sensor.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace {

// After a successful hello, with maps in the sensor directory.
struct setup_fixture_t : ferun_test::sensor_fixture_t {
  setup_fixture_t() {
    handshake("p", 7, "probe");
    dir = sensor->sensor_dir;
    std::ofstream((dir / "sid-msg.map").string()) << "1000001 || TEST one rule\n";
    std::ofstream((dir / "gen-msg.map").string()) << "1 || 1 || snort general alert\n";
  }

  static ferun::command_setup_t setup() {
    ferun::command_setup_t s;
    s.stats_period = 1000;
    s.interface = "eth1";
    s.config = "snort.conf";
    s.sidmap = "sid-msg.map";
    s.genmap = "gen-msg.map";
    s.logdir = "spool";
    s.logpattern = "threats.log";
    return s;
  }

  ferun::answer_t apply(const ferun::command_setup_t& s) {
    sensor->on_setup(s);
    auto frame = console->receive(10s);
    if (!frame) throw std::runtime_error("no setup answer");
    EXPECT_EQ(frame->id, 0x82u);
    return frame->as<ferun::answer_t>();
  }

  fs::path dir;
};

}  // namespace

// Without option bit 0x2 paths are joined to the sensor directory (an empty one is the directory
// itself); with it they are taken as sent. The spool directory is created, the maps loaded.
TEST(SensorSetup, ResolvesPathsAndAnswers) {
  for (const std::uint32_t options : {0x1u | 0x4u, 0x2u}) {
    SCOPED_TRACE(options);
    setup_fixture_t f;
    const std::string base = options & 0x2 ? "" : f.dir.string();
    ferun::command_setup_t s = f.setup();
    s.options = options;
    s.config = "/etc/snort/snort.conf";
    if (options & 0x2) {
      s.sidmap = (f.dir / s.sidmap).string();
      s.genmap = (f.dir / s.genmap).string();
      s.logdir = (f.root / "abs-spool").string();
    }
    const ferun::answer_t a = f.apply(s);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.message, "");
    EXPECT_TRUE(f.sensor->setup_done);
    EXPECT_EQ(f.sensor->config.string(), base + "/etc/snort/snort.conf");
    EXPECT_EQ(f.sensor->sidmap, f.dir / "sid-msg.map");
    EXPECT_EQ(f.sensor->logdir.string(), (options & 0x2 ? "" : base + "/") + s.logdir);
    EXPECT_TRUE(fs::is_directory(f.sensor->logdir));
    EXPECT_EQ(f.sensor->msg_map.get(1, 1000001).message, "one rule");
    EXPECT_FALSE(f.sensor->u2.is_open());
    s.config = "";
    f.apply(s);
    EXPECT_EQ(f.sensor->config.string(), base);
  }
}

TEST(SensorSetup, DotDotIsRefusedAndChangesNothing) {
  setup_fixture_t f;
  ASSERT_EQ(f.apply(f.setup()).status, 0);
  const fs::path logdir = f.sensor->logdir;
  for (int field = 0; field < 5; ++field) {
    SCOPED_TRACE(field);
    ferun::command_setup_t s = f.setup();
    s.interface = "eth9";
    s.stats_period = 1;
    s.logtimestamp = 44;
    std::string* targets[] = {&s.config, &s.sidmap, &s.genmap, &s.logdir, &s.logpattern};
    *targets[field] = "x..y";
    const ferun::answer_t a = f.apply(s);
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.message, "path attack detected (x..y)");
    EXPECT_FALSE(f.sensor->setup_done);
    EXPECT_EQ(f.sensor->interface, "eth1");
    EXPECT_EQ(f.sensor->stats_period, 1000u);
    EXPECT_EQ(f.sensor->logtimestamp, 0u);
    EXPECT_EQ(f.sensor->logdir, logdir);
  }
  EXPECT_EQ(f.apply(f.setup()).status, 0);
}

// The spool directory is created one level only; a file in its place or a missing map fails.
TEST(SensorSetup, FailuresAreAnswered) {
  setup_fixture_t f;
  auto refused = [&f](const ferun::command_setup_t& s) {
    const ferun::answer_t a = f.apply(s);
    EXPECT_EQ(a.status, 1);
    EXPECT_FALSE(f.sensor->setup_done);
    return a.message;
  };
  ferun::command_setup_t s = f.setup();
  s.logdir = "missing/spool";
  EXPECT_NE(refused(s).find("No such file or directory"), std::string::npos);
  EXPECT_FALSE(fs::exists(f.dir / "missing"));
  std::ofstream((f.dir / "file").string()) << "x";
  s.logdir = "file";
  EXPECT_NE(refused(s), "");
  s = f.setup();
  s.sidmap = "no-such.map";
  EXPECT_NE(refused(s), "");
}

// The setup opens the file numbered `logtimestamp` at `logpos`; a missing file is no failure, and
// a later setup without a position closes the file.
TEST(SensorSetup, ResumesAtTimestampAndPosition) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.logtimestamp = 170;
  s.logpos = 512;
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_FALSE(f.sensor->u2.is_open());
  EXPECT_EQ(f.sensor->u2_path, f.dir / "spool" / "threats.log.170");

  u2w::spool_t spool((f.dir / "spool" / "threats.log.170").string());
  spool.append(std::string(600, '\0'));
  EXPECT_EQ(f.apply(s).status, 0);
  ASSERT_TRUE(f.sensor->u2.is_open());
  EXPECT_EQ(f.sensor->u2.get_position(), 512u);
  EXPECT_EQ(f.sensor->logtimestamp, 170u);
  EXPECT_EQ(f.sensor->logpos, 512u);

  s.logtimestamp = 0;
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_FALSE(f.sensor->u2.is_open());
}
