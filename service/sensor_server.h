// The worker's TCP listener: accepts console connections on the configured port (IPv4, every
// address) and gives each one to a sensor object of its own, whose thread then serves it.
//
//   sensor_server_t server(conf);   // open, bind, listen: a taken port fails here
//   server.run();                   // until the exit flag is set or accepting fails
#pragma once

#include <netinet/in.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <memory>
#include <vector>

#include "sensor/sensor.h"
#include "support/config.h"
#include "support/held_dir.h"

namespace ferun {

class sensor_server_t {
 public:
  // Opens, configures, binds and listens; raises boost::system::system_error ("open",
  // "set_option", "bind" or "listen") when a step fails.
  explicit sensor_server_t(const config_t& config);
  // Stops, joins and deletes any sensor still held (run normally leaves none).
  ~sensor_server_t();
  sensor_server_t(const sensor_server_t&) = delete;
  sensor_server_t& operator=(const sensor_server_t&) = delete;

  // The accept loop. Tests the exit flag at least every 100 ms and releases ended connections on
  // every pass. Returns when the flag is set or after a failed accept (logged), with the acceptor
  // closed and every sensor stopped, joined and deleted; on every other way out the sensors are
  // stopped and deleted as well before the error leaves. Running out of descriptors, memory or
  // threads is none of these: it holds back or closes new connections only (logged once per
  // episode), and the consoles already served go on.
  void run();

  // Given to every sensor: how long a connection may take to complete its hello.
  std::chrono::milliseconds hello_timeout{sensor_t::hello_time_limit};

 private:
  // Waits up to the poll interval for a connection; false when none came (or a signal came).
  bool wait_for_connection();
  // Accepts one waiting connection into a new sensor and starts it; a connection that vanished
  // before it was accepted is no error.
  void accept_one();
  // Gives the accepted `connection` (from `peer`) to `sensor`, keeps the sensor and starts its
  // thread. A sensor whose thread does not start is not kept: it is deleted, which closes the
  // connection, and the error leaves.
  void serve(std::unique_ptr<sensor_t> sensor, fd_t connection, const sockaddr_in& peer);
  // Out of descriptors or memory: logs once when accepting stops, then waits one poll interval.
  void pause_for_resources(int error);
  // An accepted connection was closed unserved for want of a thread or memory (`reason`): counts
  // it, and logs once when this begins.
  void count_unserved(const char* reason);
  // Deletes the sensors whose connection has ended, keeping the order of the others.
  void reap();
  // Asks every sensor to stop, then joins and deletes them in accept order.
  void stop_all() noexcept;

  const config_t& conf;
  boost::asio::io_context io_service;  // owns the acceptor; never run, every accept is direct
  boost::asio::ip::tcp::acceptor acceptor;
  std::vector<std::unique_ptr<sensor_t>> sensors;  // in accept order
  bool starved = false;  // accepting stopped for want of resources, since `starved_since`
  std::chrono::steady_clock::time_point starved_since;
  // Accepted connections are being closed unserved (no thread could start), since
  // `unserved_since`; `unserved_count` of them so far.
  bool unserved = false;
  std::chrono::steady_clock::time_point unserved_since;
  unsigned long unserved_count = 0;
};

}  // namespace ferun
