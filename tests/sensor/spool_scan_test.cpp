// Skipped spool scans of an idle sensor: a directory that has not changed since a scan that found
// nothing is not read again, and every change of it is still seen at once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "sensor/sensor.h"
#include "sensor/sensor_test_util.h"
#include "snort/u2_file.h"

namespace fs = boost::filesystem;
using namespace std::chrono_literals;
using ferun_test::log_capture_t;
using ferun_test::temp_dir_t;
using ferun_test::write_file;

namespace {

// One IPv4 event with its packet.
std::string alert(uint32_t event_id) {
  return ferun_test::alert_t(event_id, {0, 1, 2, 3, 4, 5}, {6, 7, 8, 9, 10, 11}, 10).bytes();
}

std::int64_t ns_of(const timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Waits until none of `dirs` has changed for a little over a second: only then may a scan that
// found nothing in it be trusted, so only then are scans skipped.
void wait_quiet(std::initializer_list<fs::path> dirs) {
  for (;;) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    bool quiet = true;
    for (const fs::path& d : dirs) {
      struct stat st {};
      ASSERT_EQ(stat(d.c_str(), &st), 0);
      const std::int64_t last = std::max(ns_of(st.st_mtim), ns_of(st.st_ctim));
      if (ns_of(now) - last < 1200000000) quiet = false;
    }
    if (quiet) return;
    std::this_thread::sleep_for(50ms);
  }
}

// A sensor whose spool directory and maps lie in the temporary directory. The spool holds a
// name that is no spool file, so that each real scan shows in the log as one warning.
struct scan_fixture_t : ferun_test::spool_fixture_base_t {
  scan_fixture_t() { write_file(spool / "threats.log.x", ""); }

  // Points the sensor at `dir` for operations on this thread; nothing is sent.
  void prepare(const fs::path& dir, uint32_t logtimestamp = 0) {
    point_at(dir, "threats.log", logtimestamp);
  }

  // The next spool file's number, or 0 when the scan finds none.
  uint32_t next() {
    std::string path;
    uint32_t number = 0;
    return sensor->find_next_u2file(path, number) ? number : 0;
  }

  ferun::command_setup_t setup(const fs::path& dir, uint32_t logtimestamp = 0) const {
    return setup_of(dir, logtimestamp, 0);
  }
};

const std::string strange = "skip strange file with name threats.log.x\n";

}  // namespace

// An unchanged, settled directory is read once; a file created right after a scan, or any time
// later, is found by the next call.
TEST(SensorSpoolScanSkip, NewFileFoundRightAfterSkippedScans) {
  log_capture_t log;
  scan_fixture_t f;
  f.prepare(f.spool);
  wait_quiet({f.spool});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(f.next(), 0u);
  EXPECT_EQ(log.count(strange), 1u);

  write_file(f.spool / "threats.log.3", "");
  EXPECT_EQ(f.next(), 3u);
  EXPECT_EQ(log.count(strange), 2u);

  // Created right after a scan that was remembered: within the same clock tick, if the test is
  // quick enough.
  f.sensor->logtimestamp = 3;
  wait_quiet({f.spool});
  EXPECT_EQ(f.next(), 0u);
  write_file(f.spool / "threats.log.4", "");
  EXPECT_EQ(f.next(), 4u);

  // Renamed into place, as rotating tools do.
  f.sensor->logtimestamp = 4;
  write_file(f.root / "staged", "");
  wait_quiet({f.spool});
  EXPECT_EQ(f.next(), 0u);
  fs::rename(f.root / "staged", f.spool / "threats.log.9");
  EXPECT_EQ(f.next(), 9u);
}

// A directory that changed less than a second before the scan is read on every call: an entry
// made in the same timestamp tick would not change it again.
TEST(SensorSpoolScanSkip, RecentlyChangedDirectoryIsReadEachTime) {
  log_capture_t log;
  scan_fixture_t f;
  f.prepare(f.spool);
  write_file(f.spool / "other", "");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(f.next(), 0u);
  EXPECT_EQ(log.count(strange), 3u);
}

// Skipped scans never last beyond a hundred calls: the directory is then read anyway.
TEST(SensorSpoolScanSkip, ReadAgainAfterHundredSkips) {
  log_capture_t log;
  scan_fixture_t f;
  f.prepare(f.spool);
  wait_quiet({f.spool});
  for (int i = 0; i < 101; ++i) EXPECT_EQ(f.next(), 0u);
  EXPECT_EQ(log.count(strange), 1u);
  EXPECT_EQ(f.next(), 0u);
  EXPECT_EQ(log.count(strange), 2u);
}

// Another logdir, pattern or current number is scanned afresh, and so is any directory after a
// setup.
TEST(SensorSpoolScanSkip, NewScanInputsReadTheDirectory) {
  log_capture_t log;
  scan_fixture_t f;
  const fs::path other = f.root / "other";
  fs::create_directories(other);
  write_file(other / "threats.log.5", "");
  f.prepare(f.spool);
  wait_quiet({f.spool, other});

  EXPECT_EQ(f.next(), 0u);
  f.sensor->logdir = other;
  EXPECT_EQ(f.next(), 5u);

  f.sensor->logtimestamp = 5;
  EXPECT_EQ(f.next(), 0u);
  f.sensor->logtimestamp = 2;
  EXPECT_EQ(f.next(), 5u);

  f.sensor->logdir = f.spool;
  f.sensor->logtimestamp = 0;
  EXPECT_EQ(f.next(), 0u);
  f.sensor->logpattern = "threats";
  EXPECT_EQ(f.next(), 0u);  // "threats.log.x": ".log.x" is no number either
  EXPECT_EQ(log.count(strange), 3u);
  f.sensor->logpattern = "threats.log";

  // A setup through the connection: the same directory is read again, then another one.
  EXPECT_EQ(f.next(), 0u);
  const std::size_t before = log.count(strange);
  f.sensor->on_setup(f.setup(f.spool));
  EXPECT_EQ(f.next(), 0u);
  EXPECT_EQ(log.count(strange), before + 1);
  f.sensor->on_setup(f.setup(other));
  EXPECT_EQ(f.next(), 5u);
}

// The sensor's own thread: following a file at its end, idle passes skip the scans, yet records
// appended to the file and a new spool file are taken at once, and the file switch is logged.
TEST(SensorSpoolScanSkip, IdleSensorTakesGrowthAndNewFile) {
  log_capture_t log;
  scan_fixture_t f;
  u2w::spool_t first((f.spool / "threats.log.1").string());
  first.append(alert(1));
  wait_quiet({f.spool});

  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = "ids";
  hello.sensor_id = 7;
  f.console->send(hello);
  f.console->send(f.setup(f.spool));
  f.sensor->start();
  auto frames = f.collect(4);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[1].as<ferun::answer_t>().status, 0);
  EXPECT_EQ(frames[2].id, ferun::command_event_t::message_id);
  EXPECT_EQ(frames[3].id, ferun::command_packet_t::message_id);

  // Idle for a while: the directory has not changed, so it is read only once or twice.
  std::this_thread::sleep_for(700ms);
  EXPECT_LE(log.count(strange), 3u);

  // Half a record, then the rest.
  const std::string second_alert = alert(2);
  first.append(second_alert.substr(0, 5));
  std::this_thread::sleep_for(250ms);
  first.append(second_alert.substr(5));
  frames = f.collect(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].as<ferun::command_event_t>().event_id, 2u);
  EXPECT_EQ(frames[1].as<ferun::command_packet_t>().logpos, first.size());

  u2w::spool_t second((f.spool / "threats.log.2").string());
  second.append(alert(3));
  frames = f.collect(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].as<ferun::command_event_t>().event_id, 3u);
  EXPECT_EQ(frames[0].as<ferun::command_event_t>().logtimestamp, 2u);
  f.sensor->stop();
  EXPECT_EQ(log.count("current unified2 log file: " + second.path()), 1u);
  EXPECT_EQ(log.count("close unified2 log file: " + first.path()), 1u);
}

// The reader at the end of a file: a short tail, less than a record header, is no record yet,
// and each byte appended after it is seen.
TEST(SensorSpoolScanSkip, ReaderAtEndSeesEveryAppend) {
  temp_dir_t dir;
  u2w::spool_t spool((dir / "threats.log.1").string());
  const std::string record = alert(1);
  u2_file_t reader;
  reader.open(spool.path());
  EXPECT_EQ(reader.read(), nullptr);
  for (std::size_t i = 0; i + 1 < record.size(); ++i) {
    spool.append(record.substr(i, 1));
    ASSERT_EQ(reader.read(), nullptr) << i;
    EXPECT_EQ(reader.get_position(), 0u);
    EXPECT_TRUE(reader.eof());
  }
  spool.append(record.substr(record.size() - 1));
  const u2_record_t* r = reader.read();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->type, u2_type_event);
  ASSERT_NE(reader.read(), nullptr);
  EXPECT_EQ(reader.get_position(), record.size());
  EXPECT_EQ(reader.read(), nullptr);
  EXPECT_EQ(reader.read(), nullptr);
  spool.append(alert(2));
  ASSERT_NE(reader.read(), nullptr);
}
