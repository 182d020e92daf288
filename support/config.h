// The configuration record: filled once by the entry point, read-only afterwards and shared by
// const reference with the monitor, the worker, the listener and every sensor object.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <string>

namespace ferun {

struct config_t {
  boost::filesystem::path pidfile;  // empty: no pidfile
  std::uint16_t port = 9030;
  std::string progname;             // file name of the program
  std::string progdir;              // absolute directory of the program and its scripts
  boost::filesystem::path datadir;  // parent of the per-sensor directories
  boost::filesystem::path tmpdir;   // "/tmp/" + progname: script output and uploads
  std::string log;                  // channel:level list
  boost::filesystem::path logfile;  // empty: standard output
};

}  // namespace ferun
