#include "service/sensor_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "support/clock.h"

namespace ferun {

namespace {

// Longest wait for a connection before the exit flag and the ended connections are looked at
// again. A blocking accept would notice a stop request only if its signal happened to interrupt
// that very call, and would keep ended connections until the next console came.
constexpr int poll_interval_ms = 100;
// How long a stop waits for the connections to end by themselves before it breaks off their
// blocked socket calls: long enough for a pass over a busy spool.
constexpr std::chrono::seconds stop_grace(1);

boost::system::system_error system_failure(int error, const char* operation) {
  return boost::system::system_error(
      boost::system::error_code(error, boost::system::system_category()), operation);
}

bool out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

void sensor_server_t::pause_for_resources(int error) {
  // Logged when accepting stops, not on every retry: a lockout can last minutes.
  if (!starved) {
    sensor_t::L.warning("accept: %s, waiting\n", strerror(error));
    starved = true;
    starved_since = std::chrono::steady_clock::now();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms));
}

sensor_server_t::sensor_server_t(const config_t& config) : conf(config), acceptor(io_service) {
  namespace ip = boost::asio::ip;
  acceptor.open(ip::tcp::v4());
  // Scripts run by the sensors must not inherit the listening socket.
  const int fd = acceptor.native_handle();
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  acceptor.set_option(ip::tcp::acceptor::reuse_address(true));
  acceptor.bind(ip::tcp::endpoint(ip::address_v4::any(), conf.port));
  acceptor.listen(128);
  // A connection that is reset between the readiness poll and the accept must not block the loop.
  acceptor.non_blocking(true);
}

sensor_server_t::~sensor_server_t() {
  stop_all();
}

void sensor_server_t::run() {
  sensor_t::L.info("I am run!\n");
  try {
    while (!g_do_exit.load()) {
      reap();
      try {
        if (wait_for_connection()) accept_one();
      } catch (const boost::system::system_error& e) {
        // A signal is how a stop request arrives; the flag is tested at the top of the pass.
        if (e.code() == boost::system::errc::interrupted) continue;
        sensor_t::L.info("acceptor fail: %s\n", e.what());
        break;
      }
    }
  } catch (...) {
    stop_all();
    throw;
  }

  boost::system::error_code closed;
  acceptor.close(closed);
  stop_all();
  if (closed) throw boost::system::system_error(closed, "close");
}

bool sensor_server_t::wait_for_connection() {
  pollfd listening{acceptor.native_handle(), POLLIN, 0};
  const int ready = ::poll(&listening, 1, poll_interval_ms);
  if (ready < 0) {
    if (errno == EINTR) return false;
    throw system_failure(errno, "poll");
  }
  return ready > 0;
}

void sensor_server_t::accept_one() {
  // Connections that ended while the loop waited are released first: their threads' stacks and
  // their memory may be just what this connection needs under a task or memory limit.
  reap();
  // Out of descriptors or memory (for the sensor's I/O context or for the accept): the waiting
  // console stays queued and is taken once the consoles already served have released something.
  // Ending the loop instead would drop them all, and a flood of connections could do that at will.
  std::unique_ptr<sensor_t> sensor;
  try {
    sensor = std::make_unique<sensor_t>(conf);
  } catch (const boost::system::system_error& e) {
    if (out_of_resources(e.code().value())) return pause_for_resources(e.code().value());
    throw;
  } catch (const std::bad_alloc&) {
    return pause_for_resources(ENOMEM);
  }

  sockaddr_in peer{};
  socklen_t peer_length = sizeof peer;
  // Close-on-exec from the start: another sensor's script may fork at any moment.
  fd_t connection(::accept4(acceptor.native_handle(), reinterpret_cast<sockaddr*>(&peer),
                            &peer_length, SOCK_CLOEXEC));
  if (!connection) {
    const int error = errno;
    // The waiting connection went away before it was taken: nothing to serve, no failure.
    if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR) return;
    if (out_of_resources(error)) return pause_for_resources(error);
    throw system_failure(error, "accept");
  }

  // Once accepted, a connection that cannot get a thread (a task or memory limit reached by many
  // open connections) or the memory to be set up is closed, and the listener goes on: ending the
  // loop would drop every console served, and any client could make that happen at will. Unlike
  // the accept lockout the connection is not left queued: it is already taken, and a console
  // whose connection closes at once tries again later, as it does after a restart.
  try {
    serve(std::move(sensor), std::move(connection), peer);
  } catch (const boost::system::system_error& e) {
    // A thread that cannot start raises Boost.Thread's resource error, whose code is EAGAIN.
    const int error = e.code().value();
    if (error != EAGAIN && !out_of_resources(error)) throw;
    count_unserved(e.what());
  } catch (const std::bad_alloc&) {
    count_unserved(strerror(ENOMEM));
  }
}

void sensor_server_t::serve(std::unique_ptr<sensor_t> sensor, fd_t connection,
                            const sockaddr_in& peer) {
  boost::system::error_code assigned;
  sensor->socket().assign(boost::asio::ip::tcp::v4(), connection.get(), assigned);
  if (assigned) throw boost::system::system_error(assigned, "assign");
  connection.release();  // the socket closes it from now on

  if (starved) {
    starved = false;
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - starved_since;
    sensor_t::L.warning("accept: accepting again after %.1f s\n", waited.count());
  }
  sensor->hello_timeout = hello_timeout;

  // The peer's address comes with the accept; asking the socket for it again could fail for a
  // console that has already reset, and that must not end every other connection.
  if (sensor_t::L.impl) {
    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    sensor_t::L.info("Accept new sensor from %s:%u\n", address,
                     static_cast<unsigned>(ntohs(peer.sin_port)));
  }

  sensors.push_back(std::move(sensor));
  try {
    sensors.back()->start();
  } catch (...) {
    // No thread runs for it: kept, it would count as active for ever and hold its connection.
    sensors.pop_back();
    throw;
  }

  if (unserved) {
    unserved = false;
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - unserved_since;
    sensor_t::L.warning("thread: threads start again after %.1f s, %lu connections were closed\n",
                        waited.count(), unserved_count);
    unserved_count = 0;
  }
}

void sensor_server_t::count_unserved(const char* reason) {
  ++unserved_count;
  // Logged when it begins, not for every connection: a flood would otherwise fill the log.
  if (unserved) return;
  unserved = true;
  unserved_since = std::chrono::steady_clock::now();
  sensor_t::L.warning("thread: %s, new connections are closed\n", reason);
}

void sensor_server_t::reap() {
  for (auto it = sensors.begin(); it != sensors.end();) {
    sensor_t& sensor = **it;
    if (sensor.is_active()) {
      ++it;
      continue;
    }
    // The thread cleared `active` as its last act, so this join returns at once; joining rather
    // than leaving a detached thread behind means nothing outlives the listener.
    if (sensor.thread.joinable()) sensor.thread.join();
    it = sensors.erase(it);
  }
}

void sensor_server_t::stop_all() noexcept {
  // Every sensor is asked first and joined afterwards, so the stop takes as long as the slowest
  // connection needs to finish its pass, not the sum over all of them.
  for (auto& sensor : sensors) sensor->stop_requested = true;
  // A connection that does not end by itself within the grace period is blocked in a socket
  // call (a console that stopped reading, a stalled upload): its socket is shut down under it.
  const auto deadline = std::chrono::steady_clock::now() + stop_grace;
  const auto any_active = [this] {
    for (const auto& sensor : sensors)
      if (sensor->is_active()) return true;
    return false;
  };
  while (any_active() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (auto& sensor : sensors) sensor->interrupt();
  for (auto& sensor : sensors) {
    if (sensor->thread.joinable()) sensor->thread.join();
    sensor.reset();
  }
  sensors.clear();
}

}  // namespace ferun
