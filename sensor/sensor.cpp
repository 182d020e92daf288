#include "sensor/sensor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <cstdlib>
#include <exception>

#include "support/clock.h"
#include "support/path_utils.h"
#include "support/script_run.h"
#include "support/string_utils.h"

namespace ferun {

namespace fs = boost::filesystem;

log_t sensor_t::L("sensor");

namespace {

// How long one wait for the hello runs the I/O context before the stop and exit flags are
// looked at again.
constexpr std::chrono::milliseconds hello_poll_period(100);

constexpr useconds_t idle_sleep_us = 100000;

// A prefix names one directory inside the data directory: a separator or a parent reference
// would put the sensor's directory (and every upload and value file) somewhere else.
bool escapes_datadir(const std::string& prefix) {
  return prefix.find('/') != std::string::npos || prefix.find("..") != std::string::npos;
}

}  // namespace

sensor_t::sensor_t(const config_t& config)
    : conf(config), tcp_socket(io_service), proto(&tcp_socket, config.tmpdir) {}

sensor_t::~sensor_t() {
  if (thread.joinable()) thread.detach();
}

void sensor_t::start() {
  const int fd = tcp_socket.native_handle();
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  socket_fd = fd;
  thread = boost::thread(&sensor_t::run, this);
}

void sensor_t::interrupt() {
  // Only the descriptor number is shared with the connection thread, never the socket object.
  // The number is read while the thread still runs; should the thread have closed it meanwhile
  // and another connection reused it, that connection is being stopped as well.
  const int fd = socket_fd.load();
  if (fd >= 0 && is_active()) ::shutdown(fd, SHUT_RDWR);
}

void sensor_t::stop() {
  stop_requested = true;
  if (thread.joinable()) thread.join();
}

void sensor_t::run() {
  try {
    if (L.impl) L.debug(0, "initing...\n");
    if (init()) {
      std::uint64_t last_stats = 0;
      while (!stop_requested) {
        if (!setup_done) {
          check_commands();
          if (!tcp_socket.is_open()) {
            L.error("connection is closed by peer\n");
            break;
          }
          usleep(idle_sleep_us);
          continue;
        }

        const int n = process_u2();
        // 64 bits: a 32-bit product would wrap for periods above 4294967 ms.
        if (stime_t::g_timestamp.load() - last_stats > std::uint64_t{stats_period} * 1000u) {
          send_stats();
          last_stats = stime_t::g_timestamp.load();
        }
        check_commands();
        if (!tcp_socket.is_open()) {
          L.error("connection is closed by peer\n");
          break;
        }
        if (n == 0) usleep(idle_sleep_us);
      }
    }
  } catch (const boost::system::system_error& e) {
    L.error("system_error: %s, connection is closed\n", e.what());
  } catch (const exception_t& e) {
    L.error("exception_t: %s, connection is closed\n", e.message.c_str());
  } catch (const std::exception& e) {
    L.error("exception: %s, connection is closed\n", e.what());
  } catch (...) {
    // Nothing the program raises lands here; the thread must still end in order.
    L.error("unknown exception, connection is closed\n");
  }

  L.error("_socket.close\n");
  socket_fd = -1;
  boost::system::error_code ignored;
  tcp_socket.close(ignored);
  active = false;
}

bool sensor_t::init() {
  // Nothing but a hello is read before the handshake: the body of any other first frame (an
  // upload's content above all) is never taken off the stream.
  proto.accept_only(command_hello_t::message_id);
  proto.async_read_header();

  // A stop request or the exit flag ends the wait: a console that connects and stays silent must
  // not hold the listener's shutdown. Nor may it hold its thread and descriptors for ever: the
  // hello must be in within `hello_timeout`, its body too. The I/O context runs out of work once
  // the first frame is in, its header has been refused or the connection has failed.
  const auto hello_deadline = std::chrono::steady_clock::now() + hello_timeout;
  for (;;) {
    io_service.restart();
    io_service.run_for(hello_poll_period);
    if (io_service.stopped()) break;
    if (stop_requested || g_do_exit) {
      L.info("stop requested while waiting for the hello\n");
      return false;
    }
    if (std::chrono::steady_clock::now() >= hello_deadline) {
      boost::system::error_code unknown;
      const auto peer = tcp_socket.remote_endpoint(unknown);
      L.warning("no hello from %s:%u within %g s, connection is closed\n",
                unknown ? "?" : peer.address().to_string().c_str(),
                static_cast<unsigned>(peer.port()), hello_timeout.count() / 1000.0);
      return false;
    }
  }
  if (proto.refused_id() >= 0) {
    const std::string text =
        string_utils::format("waiting hello command, but got %u", proto.refused_id());
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  }
  const std::shared_ptr<command_t> cmd = proto.read(true);
  proto.accept_only(0);

  if (!cmd) {
    L.error("waiting hello command, but got null\n");
    throw exception_t("waiting hello command, but got null");
  }
  if (cmd->id != command_hello_t::message_id) {
    const std::string text = string_utils::format("waiting hello command, but got %u", cmd->id);
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  }
  if (L.impl) L.debug(0, "got command: %s\n", cmd->to_str());
  const auto& hello = static_cast<const command_hello_t&>(*cmd);

  answer_hello_t answer;
  answer.version = protocol_version;

  if (hello.version != protocol_version) {
    answer.status = 1;
    answer.message = "incompatible version";
    proto.write(answer);
    L.error("got incompatible version\n");
    throw exception_t("got incompatible version");
  }

  if (escapes_datadir(hello.prefix)) {
    const std::string text =
        string_utils::format("path attack detected (%s)", hello.prefix.c_str());
    answer.status = 1;
    answer.message = text;
    proto.write(answer);
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  }

  sensor_id = hello.sensor_id;
  sensor_name = hello.sensor_name;
  sensor_dir =
      path_join(conf.datadir, string_utils::to_str("%s-%u", hello.prefix.c_str(), sensor_id));
  if (L.impl)
    L.debug(0, "data dir for %u:%s sensor: %s\n", sensor_id, sensor_name.c_str(),
            sensor_dir.c_str());

  // The data directory and the sensor's own must be this user's alone, and the latter is held
  // open from now on: a directory another user made or could change would take every upload.
  std::string why;
  const fd_t data(open_private_dir(conf.datadir.string(), 0, why));
  if (!data)
    why = string_utils::format("data directory %s %s", conf.datadir.c_str(), why.c_str());
  else
    sensor_fd = fd_t(open_private_dir(sensor_dir.filename().string(), 0755, why, data.get()));
  if (!why.empty()) {
    sensor_fd.reset();
    const std::string text = string_utils::format("can't create data directory for sensor %s (%s)",
                                                  sensor_name.c_str(), why.c_str());
    answer.status = 1;
    answer.message = text;
    proto.write(answer);
    L.error("%s\n", text.c_str());
    throw exception_t(text);
  }
  {
    const dir_lock_t no_upload(sensor_fd.get());
    remove_upload_leftovers();
  }
  ini_path = path_join(sensor_dir, "sensor.ini");

  const fs::path out = path_join(
      conf.tmpdir, string_utils::format("sysinfo_%s_%u.out", interface.c_str(),
                                        static_cast<unsigned>(tcp_socket.native_handle())));
  const script_run_t run = run_script_to_file(shell_quote(conf.progdir + "/sysinfo"), out.string());
  // Output files left behind would pile up in the temporary directory: the hello fails instead.
  if (run.remove_error != 0)
    throw fs::filesystem_error(
        "boost::filesystem::remove", out,
        boost::system::error_code(run.remove_error, boost::system::system_category()));
  const int rc = run.rc;
  const std::string& text = run.output;

  if (rc == 0) {
    answer.status = 0;
    answer.sysinfo = text;
    answer.message = "hello from sensor!";
    proto.write(answer);
    return true;
  }

  const std::string text2 = string_utils::format("sysinfo failed with error: %s", text.c_str());
  answer.status = 1;
  answer.message = text2;
  proto.write(answer);
  L.error("%s\n", text2.c_str());
  throw exception_t(text2);
}

void sensor_t::check_commands() {
  const std::shared_ptr<command_t> cmd = proto.read(true);
  if (!cmd) return;
  if (L.impl) L.debug(0, "got command: %s\n", cmd->to_str());

  switch (cmd->id) {
    case command_hello_t::message_id:
      // The handshake is over: a second hello is ignored and not answered.
      break;
    case command_setup_t::message_id: on_setup(static_cast<const command_setup_t&>(*cmd)); break;
    case command_ids_action_t::message_id:
      on_ids_action(static_cast<const command_ids_action_t&>(*cmd));
      break;
    case command_get_value_t::message_id:
      on_get_value(static_cast<const command_get_value_t&>(*cmd));
      break;
    case command_set_value_t::message_id:
      on_set_value(static_cast<const command_set_value_t&>(*cmd));
      break;
    case command_file_t::message_id: on_file(static_cast<const command_file_t&>(*cmd)); break;
    default: break;
  }
}

}  // namespace ferun
