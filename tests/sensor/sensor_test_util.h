// Helpers shared by the sensor tests: the sensor's log captured in a file, and a sensor whose
// spool directory and maps lie in its temporary directory.
#pragma once

#include <array>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/daemon_launcher.h"
#include "common/sensor_fixture.h"
#include "common/u2_writer.h"
#include "proto/commands.h"
#include "proto/sensor_messages.h"
#include "support/log.h"

namespace ferun_test {

// Sends the sensor's log to a file while it lives; declare it before the fixture so that the
// sensor's thread ends first.
class log_capture_t {
 public:
  explicit log_capture_t(const std::string& level = "debug0") {
    log_t::set_filename((dir_ / "log").string());
    log_t::enable("sensor", level);
  }
  ~log_capture_t() {
    log_t::disable("sensor");
    log_t::set_filename("");
  }
  log_capture_t(const log_capture_t&) = delete;
  log_capture_t& operator=(const log_capture_t&) = delete;

  std::string text() const {
    std::ostringstream s;
    s << std::ifstream((dir_ / "log").string()).rdbuf();
    return s.str();
  }

  // How often `needle` stands in the log.
  std::size_t count(const std::string& needle) const {
    const std::string t = text();
    std::size_t n = 0;
    for (auto at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
    return n;
  }

 private:
  temp_dir_t dir_{"ferun-log"};
};

// One IPv4 TCP event (10.0.0.1:40000 to 192.168.0.1:80 at second 1700000000, signature 1000001)
// and its packet of `payload` bytes. Set more fields before `bytes()` to write them too.
struct alert_t {
  alert_t(std::uint32_t event_id, const std::array<std::uint8_t, 6>& mac_dst,
          const std::array<std::uint8_t, 6>& mac_src, std::size_t payload) {
    event.event_id = event_id;
    event.second = 1700000000;
    event.signature_id = 1000001;
    event.ip4_src = 0x0a000001;
    event.ip4_dst = 0xc0a80001;
    event.port_src = 40000;
    event.port_dst = 80;
    packet.event_id = event_id;
    packet.event_second = packet.second = event.second;
    packet.data =
        u2w::ipv4_frame(mac_dst, mac_src, 6, event.ip4_src, event.ip4_dst, 40000, 80, payload);
  }
  // The two records as Snort writes them.
  std::string bytes() const { return u2w::encode(event) + u2w::encode(packet); }

  u2w::event_t event;
  u2w::packet_t packet;
};

// A sensor whose spool directory (empty) and maps lie in the temporary directory.
struct spool_fixture_base_t : sensor_fixture_t {
  spool_fixture_base_t() {
    boost::filesystem::create_directories(spool);
    write_file(root / "sid-msg.map", "1000001 || TEST one rule || url,example.com\n");
    write_file(root / "gen-msg.map", "1 || 1 || snort general alert\n");
  }

  // Points the sensor at `dir` and `pattern` for operations on this thread; nothing is sent.
  void point_at(const boost::filesystem::path& dir, const std::string& pattern,
                std::uint32_t logtimestamp) {
    sensor->socket().close();
    sensor->logdir = dir;
    sensor->logpattern = pattern;
    sensor->logtimestamp = logtimestamp;
  }

  // A setup following "threats.log" files in `dir` with the maps above, paths as sent.
  ferun::command_setup_t setup_of(const boost::filesystem::path& dir, std::uint32_t logtimestamp,
                                  std::uint32_t logpos) const {
    ferun::command_setup_t s;
    s.stats_period = 1000;
    s.options = 0x2;
    s.logdir = dir.string();
    s.logpattern = "threats.log";
    s.sidmap = (root / "sid-msg.map").string();
    s.genmap = (root / "gen-msg.map").string();
    s.logtimestamp = logtimestamp;
    s.logpos = logpos;
    return s;
  }

  // Up to `n` frames other than statistics, each waited for at most `timeout`.
  std::vector<frame_t> collect(std::size_t n,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::vector<frame_t> frames;
    while (frames.size() < n) {
      auto frame = console->receive(timeout);
      if (!frame) break;
      if (frame->id != ferun::command_stats_t::message_id) frames.push_back(std::move(*frame));
    }
    return frames;
  }

  boost::filesystem::path spool = root / "spool";
};

}  // namespace ferun_test
