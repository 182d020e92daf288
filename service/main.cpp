// Entry point: turns the command line and the optional configuration file into the configuration
// record, prepares the program's paths, data directory and log, and hands over to the monitor.
#include <boost/any.hpp>
#include <boost/filesystem.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <unistd.h>

#include "sensor/sensor.h"
#include "service/config.h"
#include "support/log.h"
#include "support/string_utils.h"

namespace fs = boost::filesystem;
namespace po = boost::program_options;

// Registered so that "main" can be enabled like every other channel; nothing writes on it.
log_t Log("main");

namespace boost {
namespace filesystem {
// Option values are taken whole as paths. The path type's own stream extraction stops at the
// first blank, which would refuse a directory such as "/srv/ids data".
void validate(boost::any& v, const std::vector<std::string>& values, path*, int) {
  po::validators::check_first_occurrence(v);
  v = boost::any(path(po::validators::get_single_string(values)));
}
}  // namespace filesystem
}  // namespace boost

namespace ferun {

std::string version() { return "1.7.2"; }

namespace {

void start(int argc, char** argv, config_t& cfg) {
  const fs::path start_dir = fs::current_path();

  const fs::path self(argc > 0 && argv[0] ? argv[0] : "ferun");
  cfg.progname = self.filename().string();
  cfg.progdir = fs::absolute(self, start_dir).parent_path().string();

  po::options_description desc("Allowed options");
  // clang-format off
  desc.add_options()
    ("version", "show version of software")
    ("help,h", "produce help message")
    ("cfg,c", po::value<std::string>()->value_name("<file>"), "use config file <file>")
    ("daemon,b", "Run as daemon")
    ("pidfile", po::value<fs::path>(&cfg.pidfile)->value_name("<path>"), "Path to pidfile.")
    ("port,p", po::value<std::uint16_t>(&cfg.port)->default_value(9030)->value_name("<port>"),
     "Communication PORT with Tavrel console. Default is 9030")
    ("log,l", po::value<std::string>(&cfg.log), "log types and its level, example (control:warning)")
    ("logfile", po::value<fs::path>(&cfg.logfile)->value_name("<file>"), "log to <file>")
    ("datadir,d",
     po::value<fs::path>(&cfg.datadir)->default_value(fs::path("/var/lib/" + cfg.progname))
         ->value_name("<path>"),
     "Path to data directory.")
    ("parse", "test launch, parse snort log files");
  // clang-format on

  po::variables_map vm;
  po::store(po::parse_command_line(argc, argv, desc), vm);

  if (vm.count("version")) {
    std::cout << "Version: " << version() << "\n";
    return;
  }
  if (vm.count("help")) {
    std::cout << desc << "\n";
    return;
  }

  // Taken from the command line only: the same keys in the configuration file change nothing.
  const bool daemon_mode = vm.count("daemon") > 0;
  const bool parse_mode = vm.count("parse") > 0;

  if (vm.count("cfg")) {
    const std::string cfg_file = vm["cfg"].as<std::string>();
    po::store(po::parse_config_file<char>(cfg_file.c_str(), desc, false), vm);
  }
  po::notify(vm);

  if (!cfg.pidfile.empty()) cfg.pidfile = fs::absolute(cfg.pidfile, start_dir);
  if (!cfg.logfile.empty()) cfg.logfile = fs::absolute(cfg.logfile, start_dir);
  cfg.tmpdir = fs::path("/tmp/" + cfg.progname);
  cfg.datadir = fs::absolute(cfg.datadir, start_dir);

  if (!fs::is_directory(cfg.datadir)) {
    if (!fs::create_directory(cfg.datadir)) {
      // The directory appeared between the check and the creation.
      const std::string text =
          string_utils::format("unable to create data dir: %s", strerror(EEXIST));
      sensor_t::L.error("%s", text.c_str());
      throw exception_t(text);
    }
  }

  log_t::set_filename(cfg.logfile.string());
  log_t::enable_from_string(cfg.log);

  (void)parse_mode;  // the parse-only pass joins with the spool following

  if (daemon_mode) {
    // On failure the process simply stays in the foreground.
    if (daemon(0, 0) != 0) {
    }
  }
}

}  // namespace
}  // namespace ferun

int main(int argc, char** argv) {
  ferun::config_t cfg;
  try {
    ferun::start(argc, argv, cfg);
  } catch (const std::exception& e) {
    std::cout << "can't start: " << e.what() << ", exit\n";
  } catch (const exception_t& e) {
    std::cout << "can't start: " << e.message << ", exit\n";
  } catch (...) {
    std::cout << "can't start: some error occured, exit\n";
  }
  return 0;
}
