// IDS control through the wrapper script "tavrel-snort" in the program directory, and the
// statistics message built from the script's "info" output.
//
// Every call runs the script through /bin/sh as
//   PROGDIR/tavrel-snort COMMAND [INTERFACE] [WORDS...] -q >TMPDIR/sensor_INTERFACE_FD.out 2>&1
// and then reads the output file, which is made afresh for each call and removed once read. Every
// value in that line comes from the configuration or the console, so each is quoted as one shell
// word; an empty value adds no word.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sensor/ids_info.h"
#include "sensor/sensor.h"
#include "support/clock.h"
#include "support/path_utils.h"
#include "support/script_run.h"
#include "support/string_utils.h"

namespace ferun {

namespace {

// A value as C code sees it: up to its first NUL. Quoting the whole of a value with an embedded
// NUL would hand the shell a line cut inside a quoted word.
std::string c_text(const std::string& value) {
  return std::string(value.c_str());
}

// The output file's name. A '/' in the interface would turn the name into a path reaching into
// other directories, so it is written as '_' (no real interface name holds one).
std::string output_name(const std::string& interface, int fd) {
  std::string name = string_utils::format("sensor_%s_%u.out", c_text(interface).c_str(),
                                          static_cast<unsigned>(fd));
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}

std::string run_script(sensor_t& sensor, const std::string& command,
                       const std::vector<std::string>& words, int& rc) {
  const config_t& conf = sensor.conf;
  const std::string out =
      conf.tmpdir.string() + "/" + output_name(sensor.interface, sensor.tcp_socket.native_handle());

  std::string line = shell_quote(c_text(conf.progdir) + "/tavrel-snort");
  shell_append(line, c_text(command));
  shell_append(line, c_text(sensor.interface));
  for (const std::string& word : words) shell_append(line, c_text(word));
  line += " -q";

  const script_run_t run = run_script_to_file(line, out);
  rc = run.rc;
  const std::string& output = run.output;

  // The status is asked for often and logs its own lines.
  if (command != "status")
    sensor_t::L.info("IDS cmd: %s, ret[%d]: %s\n", run.line.c_str(), rc, output.c_str());
  return output;
}

// `shown` is the argument as the log line names it.
std::string run_script_strict(sensor_t& sensor, const std::string& command,
                              const std::vector<std::string>& words, const std::string& shown) {
  int rc = 0;
  std::string output = run_script(sensor, command, words, rc);
  if (rc != 0) {
    sensor_t::L.error("IDS %s %s failed with error: %s\n", command.c_str(), shown.c_str(),
                      output.c_str());
    // The message is the script's output as text, without the NUL that file reading adds.
    throw exception_t(std::string(output.c_str()));
  }
  return output;
}

}  // namespace

// The argument is one value: it reaches the script as one word, or as none when empty.
std::string sensor_t::ids_cmd(const std::string& command, const std::string& argument, int& rc) {
  return run_script(*this, command, {argument}, rc);
}

std::string sensor_t::ids_cmd(const std::string& command, const std::string& argument) {
  return run_script_strict(*this, command, {argument}, argument);
}

void sensor_t::ids_start() {
  const std::string shown =
      string_utils::format("%s %s %s", config.c_str(), homenetwork.c_str(), logdir.c_str());
  L.info("IDS starting: %s\n", shown.c_str());
  run_script_strict(*this, "start", {config.string(), homenetwork, logdir.string()}, shown);
  L.info("    OK\n");
}

void sensor_t::ids_stop() {
  L.info("IDS stopping... \n");
  ids_cmd("stop", std::string());
  L.info("    OK\n");
}

void sensor_t::ids_reload_config() {
  L.info("IDS reload config\n");
  ids_cmd("reload", std::string());
  L.info("    OK\n");
}

std::string sensor_t::ids_status(int& rc) {
  L.info("IDS checking status... \n");
  std::string output = ids_cmd("status", std::string(), rc);
  L.info("    %s\n", output.c_str());
  return output;
}

std::string sensor_t::ids_status() {
  return ids_cmd("status", std::string());
}

void sensor_t::on_ids_action(const command_ids_action_t& cmd) {
  answer_t answer(cmd.id | answer_bit);
  try {
    switch (cmd.action) {
      case 1: ids_start(); break;
      case 2: ids_stop(); break;
      case 3:
        // Restart. A stop that fails (the IDS was not running, say) has logged its error and
        // must not keep the IDS from being started; the start's result is the answer.
        try {
          ids_stop();
        } catch (const exception_t&) {
        }
        ids_start();
        break;
      case 4: ids_reload_config(); break;
      default: break;
    }
  } catch (const exception_t& e) {
    answer.status = 1;
    answer.message = e.message;
  }
  proto.write(answer);
}

std::map<std::string, std::string> sensor_t::ids_info() {
  int rc = 0;
  // The exit status is not looked at: whatever pairs a failing script printed still count.
  return parse_ids_info(ids_cmd("info", std::string(), rc));
}

void sensor_t::send_stats() {
  const ids_info_map_t info = ids_info();
  command_stats_t stats;
  stats.sensor_id = sensor_id;
  // Read after the script has ended: the message is stamped with its time of sending.
  stats.timestamp = stime_t::g_timestamp.load();
  fill_stats(info, stats);
  proto.write(stats);
}

}  // namespace ferun
