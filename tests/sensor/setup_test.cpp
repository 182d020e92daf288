// The setup command: path escapes, path resolution, the spool directory, the resume position,
// the maps and the answer.
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
using ferun_test::sensor_fixture_t;

namespace {

void write_text(const fs::path& file, const std::string& text) {
  std::ofstream(file.string(), std::ios::binary) << text;
}

// A fixture after a successful hello, with maps in the sensor directory.
struct setup_fixture_t : sensor_fixture_t {
  setup_fixture_t() {
    handshake("p", 7, "probe");
    dir = sensor->sensor_dir;
    write_text(dir / "sid-msg.map", "1000001 || TEST one rule\n");
    write_text(dir / "gen-msg.map", "1 || 1 || snort general alert\n");
  }

  ferun::command_setup_t setup() const {
    ferun::command_setup_t s;
    s.stats_period = 1000;
    s.interface = "eth1";
    s.homenetwork = "10.0.0.0/8";
    s.config = "snort.conf";
    s.sidmap = "sid-msg.map";
    s.genmap = "gen-msg.map";
    s.logdir = "spool";
    s.logpattern = "threats.log";
    return s;
  }

  // Runs the setup on this thread and returns its answer.
  ferun::answer_t apply(const ferun::command_setup_t& s) {
    sensor->on_setup(s);
    auto frame = console->receive(10s);
    if (!frame) throw std::runtime_error("no setup answer");
    return frame->as<ferun::answer_t>();
  }

  fs::path dir;
};

}  // namespace

TEST(SensorSetup, SucceedsAndAnswers) {
  setup_fixture_t f;
  const ferun::answer_t a = f.apply(f.setup());
  EXPECT_EQ(a.id, 0x82u);
  EXPECT_EQ(a.status, 0);
  EXPECT_EQ(a.message, "");
  EXPECT_TRUE(f.sensor->setup_done);
  EXPECT_EQ(f.sensor->interface, "eth1");
  EXPECT_EQ(f.sensor->homenetwork, "10.0.0.0/8");
  EXPECT_EQ(f.sensor->stats_period, 1000u);
  EXPECT_TRUE(fs::is_directory(f.dir / "spool"));
  EXPECT_EQ(f.sensor->msg_map.get(1, 1000001).message, "one rule");
  EXPECT_FALSE(f.sensor->u2.is_open());
}

TEST(SensorSetup, PathsResolveUnderSensorDirectoryWithoutBit2) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.config = "/etc/snort/snort.conf";
  s.options = 0x1 | 0x4;  // other bits mean nothing
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_EQ(f.sensor->config.string(), f.dir.string() + "/etc/snort/snort.conf");
  EXPECT_EQ(f.sensor->sidmap.string(), f.dir.string() + "/sid-msg.map");
  EXPECT_EQ(f.sensor->logdir.string(), f.dir.string() + "/spool");

  // An empty value is the sensor directory itself.
  s = f.setup();
  s.config = "snort.conf";
  s.sidmap = "";
  f.apply(s);
  EXPECT_EQ(f.sensor->config.string(), f.dir.string() + "/snort.conf");
  EXPECT_EQ(f.sensor->sidmap.string(), f.dir.string());
}

TEST(SensorSetup, PathsAreTakenAsSentWithBit2) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.options = 0x2;
  s.config = "/etc/snort/snort.conf";
  s.sidmap = (f.dir / "sid-msg.map").string();
  s.genmap = (f.dir / "gen-msg.map").string();
  s.logdir = (f.root.path() / "abs-spool").string();
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_EQ(f.sensor->config.string(), "/etc/snort/snort.conf");
  EXPECT_EQ(f.sensor->sidmap.string(), s.sidmap);
  EXPECT_EQ(f.sensor->logdir.string(), s.logdir);
  EXPECT_TRUE(fs::is_directory(s.logdir));
}

TEST(SensorSetup, DotDotIsRefusedAndChangesNothing) {
  setup_fixture_t f;
  ASSERT_EQ(f.apply(f.setup()).status, 0);
  const std::string logdir_before = f.sensor->logdir.string();

  for (int field = 0; field < 5; ++field) {
    ferun::command_setup_t s = f.setup();
    s.interface = "eth9";
    s.stats_period = 1;
    s.logtimestamp = 44;
    std::string* targets[] = {&s.config, &s.sidmap, &s.genmap, &s.logdir, &s.logpattern};
    *targets[field] = "x..y";
    const ferun::answer_t a = f.apply(s);
    EXPECT_EQ(a.id, 0x82u);
    EXPECT_EQ(a.status, 1);
    EXPECT_EQ(a.message, "path attack detected (x..y)");
    EXPECT_FALSE(f.sensor->setup_done);
    EXPECT_EQ(f.sensor->interface, "eth1");
    EXPECT_EQ(f.sensor->stats_period, 1000u);
    EXPECT_EQ(f.sensor->logtimestamp, 0u);
    EXPECT_EQ(f.sensor->logdir.string(), logdir_before);
  }
  // The next good setup works again.
  EXPECT_EQ(f.apply(f.setup()).status, 0);
  EXPECT_TRUE(f.sensor->setup_done);
}

TEST(SensorSetup, SpoolDirectoryIsCreatedOneLevelOnly) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.logdir = "missing/spool";
  const ferun::answer_t a = f.apply(s);
  EXPECT_EQ(a.status, 1);
  EXPECT_NE(a.message.find("No such file or directory"), std::string::npos) << a.message;
  EXPECT_FALSE(fs::exists(f.dir / "missing"));
  EXPECT_FALSE(f.sensor->setup_done);

  // A regular file where the directory should be.
  write_text(f.dir / "file", "x");
  s.logdir = "file";
  EXPECT_EQ(f.apply(s).status, 1);
}

TEST(SensorSetup, ResumesAtGivenFileAndPosition) {
  setup_fixture_t f;
  fs::create_directory(f.dir / "spool");
  u2w::spool_t spool((f.dir / "spool" / "threats.log.170").string());
  spool.append(std::string(600, '\0'));
  ferun::command_setup_t s = f.setup();
  s.logtimestamp = 170;
  s.logpos = 512;
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_TRUE(f.sensor->u2.is_open());
  EXPECT_EQ(f.sensor->u2.get_position(), 512u);
  EXPECT_EQ(f.sensor->u2_path, f.dir / "spool" / "threats.log.170");
  EXPECT_EQ(f.sensor->logtimestamp, 170u);
  EXPECT_EQ(f.sensor->logpos, 512u);
}

TEST(SensorSetup, MissingResumeFileStillSucceeds) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.logtimestamp = 170;
  s.logpos = 512;
  EXPECT_EQ(f.apply(s).status, 0);
  EXPECT_FALSE(f.sensor->u2.is_open());
  EXPECT_EQ(f.sensor->u2_path, f.dir / "spool" / "threats.log.170");
  EXPECT_TRUE(f.sensor->setup_done);
}

TEST(SensorSetup, NewSetupClosesOpenFile) {
  setup_fixture_t f;
  fs::create_directory(f.dir / "spool");
  u2w::spool_t spool((f.dir / "spool" / "threats.log.3").string());
  ferun::command_setup_t s = f.setup();
  s.logtimestamp = 3;
  ASSERT_EQ(f.apply(s).status, 0);
  ASSERT_TRUE(f.sensor->u2.is_open());
  s.logtimestamp = 0;
  ASSERT_EQ(f.apply(s).status, 0);
  EXPECT_FALSE(f.sensor->u2.is_open());
}

TEST(SensorSetup, MapFailureIsAnswered) {
  setup_fixture_t f;
  ferun::command_setup_t s = f.setup();
  s.sidmap = "no-such.map";
  const ferun::answer_t a = f.apply(s);
  EXPECT_EQ(a.status, 1);
  EXPECT_FALSE(a.message.empty());
  EXPECT_FALSE(f.sensor->setup_done);
  // What was copied before the failure stays.
  EXPECT_EQ(f.sensor->interface, "eth1");
}

TEST(SensorSetup, ClosedSocketStillSetsSetupDone) {
  setup_fixture_t f;
  f.sensor->socket().close();
  f.sensor->on_setup(f.setup());
  EXPECT_TRUE(f.sensor->setup_done);
}
