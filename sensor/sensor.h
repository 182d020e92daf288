// The sensor object: serves one console connection on a thread of its own. It answers the hello
// (creating the sensor's directory), then polls for commands and dispatches them to the handlers;
// once a setup has succeeded it also follows the unified2 spool and sends statistics.
//
// Operations live in several sources by concern:
//   sensor.cpp         construction, start/stop, the thread body, handshake and dispatch
//   sensor_spool.cpp   setup, spool scanning and following, record to message, parse-only run
//   sensor_ids.cpp     the wrapper script, IDS actions, the info parse and statistics
//   sensor_values.cpp  the value file and the get/set value commands
//   sensor_files.cpp   placing uploaded files (archive_unpack.cpp: archives)
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "proto/commands.h"
#include "proto/proto.h"
#include "proto/sensor_messages.h"
#include "snort/snort_msg_map.h"
#include "snort/u2_file.h"
#include "support/config.h"
#include "support/held_dir.h"
#include "support/log.h"

namespace ferun {

class sensor_t {
 public:
  explicit sensor_t(const config_t& config);
  // Detaches the thread handle; the owner deletes an object only after `is_active()` read false
  // or after `stop()`.
  ~sensor_t();
  sensor_t(const sensor_t&) = delete;
  sensor_t& operator=(const sensor_t&) = delete;

  // The socket the listener accepts the console connection into.
  boost::asio::ip::tcp::socket& socket() { return tcp_socket; }
  // False once the connection thread has ended.
  bool is_active() const { return active.load(); }
  // Marks the socket close-on-exec and starts the connection thread.
  void start();
  // Asks the connection thread to end and joins it. Never called from that thread.
  void stop();
  // Breaks off the connection's blocking socket calls (a write to a console that has stopped
  // reading, an upload that stalls) so that the thread sees a stop request. Owner's thread only.
  void interrupt();

  // Connection thread (sensor.cpp).
  void run();
  // The hello handshake. Returns false, with nothing sent, when a stop request or the exit flag
  // ended the wait for the hello, or when no hello came within `hello_timeout` (logged); raises
  // on every failure (a refused hello is answered first).
  bool init();
  // Polls for at most one message and hands it to its handler.
  void check_commands();

  // Setup and spool following (sensor_spool.cpp).
  void on_setup(const command_setup_t& cmd);
  bool find_next_u2file(std::string& path, std::uint32_t& number);
  int process_u2();
  void process_u2_record(const u2_record_t* record);
  void parse_run();
  // Whether the directory entry `name` of the open directory `dir_fd` is a regular file: by the
  // entry's `type` (a dirent d_type) when the directory reports it, by lstat when it does not.
  // Symbolic links and directories are not.
  static bool spool_entry_is_regular(int dir_fd, const char* name, unsigned char type);

  // IDS control and statistics (sensor_ids.cpp).
  std::string ids_cmd(const std::string& command, const std::string& argument, int& rc);
  std::string ids_cmd(const std::string& command, const std::string& argument);
  void ids_start();
  void ids_stop();
  void ids_reload_config();
  std::string ids_status(int& rc);
  std::string ids_status();
  void on_ids_action(const command_ids_action_t& cmd);
  std::map<std::string, std::string> ids_info();
  void send_stats();

  // Values (sensor_values.cpp).
  void read_ini();
  void write_ini();
  void on_get_value(const command_get_value_t& cmd);
  void on_set_value(const command_set_value_t& cmd);

  // Uploads (sensor_files.cpp).
  void on_file(const command_file_t& cmd);
  // Rolls back the placings that an earlier worker left unfinished (their unpacking directories
  // still hold a journal), then removes the unpacking directories. Called with the sensor
  // directory locked.
  void remove_upload_leftovers();

  static log_t L;  // channel "sensor"

  // State. After start() everything but `active` and `stop_requested` belongs to the connection
  // thread; the fields are public so that the owner and the tests can look at them.
  const config_t& conf;
  boost::filesystem::path sensor_dir;  // data directory / "PREFIX-ID"
  boost::filesystem::path ini_path;    // sensor_dir / "sensor.ini"
  static constexpr const char* ini_name = "sensor.ini";
  // The sensor directory, held open from the hello on: every file in it is reached through this
  // descriptor. Its flock keeps the uploads and value changes of one sensor apart.
  fd_t sensor_fd;
  std::atomic<bool> active{true};  // cleared as the thread's very last act
  bool setup_done = false;         // a setup succeeded: follow the spool, send statistics
  std::atomic<bool> stop_requested{false};
  std::atomic<int> socket_fd{-1};  // the connection's descriptor while the thread runs
  boost::thread thread;
  boost::asio::io_context io_service;
  boost::asio::ip::tcp::socket tcp_socket;
  proto_t proto;
  std::uint32_t sensor_id = 0xffffffffu;
  std::string sensor_name;
  std::map<std::string, std::string> ini;
  std::string interface;
  std::string homenetwork;
  std::uint32_t stats_period = 5;  // milliseconds
  boost::filesystem::path config;
  boost::filesystem::path sidmap;
  boost::filesystem::path genmap;
  boost::filesystem::path logdir;
  std::string logpattern;
  std::uint32_t logtimestamp = 0;  // number of the current spool file, 0 for none
  std::uint32_t logpos = 0;        // where the setup resumes reading
  boost::filesystem::path u2_path;
  u2_file_t u2;
  snort_msg_map_t msg_map;
  // How long a connection may take to complete its hello before it is closed.
  static constexpr std::chrono::seconds hello_time_limit{30};
  std::chrono::milliseconds hello_timeout{hello_time_limit};
  // Called by spool following between a read that found nothing and the look for a newer file
  // (tests change the spool there); empty by default.
  std::function<void()> before_spool_scan;

 private:
  int take_records();
  // Whether the spool directory, as `dir_stat` shows it now, is the one the memo below holds and
  // has not changed since: a scan could then find nothing new.
  bool spool_scan_skippable(const struct stat& dir_stat);
  // Drops the memo: the next find_next_u2file reads the directory.
  void forget_spool_scan() { spool_scan.valid = false; }

  // What find_next_u2file saw of the spool directory at its last scan that found nothing, kept
  // only when that scan could not have missed a change (see there). The scan's inputs are kept
  // too, so that a changed logdir, pattern or current number never reuses it.
  struct spool_scan_memo_t {
    bool valid = false;
    std::string dir;
    std::string pattern;
    std::uint32_t after = 0;  // logtimestamp of the scan
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t mtime_sec = 0, mtime_nsec = 0;
    std::int64_t ctime_sec = 0, ctime_nsec = 0;
    int skipped = 0;  // scans skipped since the memo was taken
  };
  spool_scan_memo_t spool_scan;
  // The event message of the record being sent, kept from one alert to the next so that its
  // texts reuse their buffers instead of allocating per alert.
  command_event_t event_message;
};

}  // namespace ferun
