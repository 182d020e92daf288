// A sensor object wired to a test console over a real loopback connection, its datadir and
// tmpdir in a fresh temporary directory. Tests drive its handlers on the test thread or start it.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <memory>

#include "common/console_client.h"
#include "common/test_util.h"
#include "sensor/sensor.h"

namespace ferun_test {

struct sensor_fixture_t {
  sensor_fixture_t() {
    conf.progname = "ferun";
    conf.progdir = FERUN_BINARY_DIR;  // the build's real scripts
    conf.datadir = root / "data";
    conf.tmpdir = root / "tmp";
    boost::filesystem::create_directories(conf.datadir);
    boost::asio::ip::tcp::acceptor acceptor(sensor->io_service,
                                            {boost::asio::ip::address_v4::loopback(), 0});
    console = std::make_unique<console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(sensor->socket());
  }
  ~sensor_fixture_t() { sensor->stop(); }  // a started thread ends before the object

  // Sends a hello, has this thread or the sensor's own run the handshake, returns the answer.
  ferun::answer_hello_t handshake(const std::string& prefix, std::uint32_t id,
                                  const std::string& name, bool on_thread = false) {
    ferun::command_hello_t hello;
    std::tie(hello.version, hello.prefix, hello.sensor_id, hello.sensor_name) =
        std::make_tuple(1, prefix, id, name);
    // The sensor's own thread has waited (past one of its 100 ms polls) when the hello comes.
    if (on_thread) sensor->start(), console->receive(std::chrono::milliseconds(150));
    console->send(hello);
    try {
      if (!on_thread) sensor->init();
    } catch (...) {  // a refused hello raises; its answer is on the wire
    }
    return console->receive(std::chrono::seconds(10)).value().as<ferun::answer_hello_t>();
  }

  temp_dir_t root;
  ferun::config_t conf;
  std::unique_ptr<ferun::sensor_t> sensor = std::make_unique<ferun::sensor_t>(conf);
  std::unique_ptr<console_client_t> console;
};

}  // namespace ferun_test
