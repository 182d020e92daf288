#include "sensor/sensor.h"

#include <fcntl.h>

namespace ferun {

log_t sensor_t::L("sensor");

sensor_t::sensor_t(const config_t& config)
    : conf(config), tcp_socket(io_service), proto(&tcp_socket, config.tmpdir) {}

sensor_t::~sensor_t() {
  if (thread.joinable()) thread.detach();
}

void sensor_t::start() {
  const int fd = tcp_socket.native_handle();
  const int flags = fcntl(fd, F_GETFD);
  if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  thread = boost::thread(&sensor_t::run, this);
}

void sensor_t::stop() {
  stop_requested = true;
  if (thread.joinable()) thread.join();
}

}  // namespace ferun
