// Entry point: turns the command line and the optional configuration file into the configuration
// record, prepares the program's paths, data directory and log, and hands over to the monitor.
#include <sys/stat.h>
#include <unistd.h>

#include <boost/any.hpp>
#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "sensor/sensor.h"
#include "service/monitor.h"
#include "support/config.h"
#include "support/held_dir.h"
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

std::string version() {
  return "1.7.2";
}

namespace {

// The listening port. Read as a plain unsigned 16-bit number the option library would take "-1"
// as 65535, so a sign is refused here; everything else converts as the library converts it.
struct port_option_t {
  std::uint16_t value;
};

void validate(boost::any& v, const std::vector<std::string>& values, port_option_t*, int) {
  po::validators::check_first_occurrence(v);
  const std::string& text = po::validators::get_single_string(values);
  if (text.find('-') != std::string::npos) throw po::invalid_option_value(text);
  try {
    v = boost::any(port_option_t{boost::lexical_cast<std::uint16_t>(text)});
  } catch (const boost::bad_lexical_cast&) {
    throw po::invalid_option_value(text);
  }
}

// Script output and uploads go into the temporary directory under names anyone can guess, so it
// must be this user's alone: created 0700 when missing, refused when another user could have
// planted it or could write into it. Every upload and script run checks it again.
void prepare_tmpdir(const fs::path& dir) {
  std::string why;
  const fd_t checked(open_private_dir(dir.string(), 0700, why));
  if (!checked)
    throw exception_t(string_utils::format("temporary directory %s %s", dir.c_str(), why.c_str()));
}

// Every sensor directory and upload lands in the data directory: made (one level only) when
// missing, refused when it is a link or another user made it or may write into it.
void prepare_datadir(const fs::path& dir) {
  std::string why;
  const fd_t checked(open_private_dir(dir.string(), 0755, why));
  if (!checked)
    throw exception_t(string_utils::format("data directory %s %s", dir.c_str(), why.c_str()));
}

void start(int argc, char** argv, config_t& cfg) {
  const fs::path start_dir = fs::current_path();

  const fs::path self(argc > 0 && argv[0] ? argv[0] : "ferun");
  cfg.progname = self.filename().string();
  // A bare name was found through the search path: the scripts lie beside the executable itself.
  cfg.progdir = self.has_parent_path() ? fs::absolute(self, start_dir).parent_path().string()
                                       : fs::read_symlink("/proc/self/exe").parent_path().string();

  po::options_description desc("Allowed options");
  // clang-format off
  desc.add_options()
    ("version", "show version of software")
    ("help,h", "produce help message")
    ("cfg,c", po::value<std::string>()->value_name("<file>"), "use config file <file>")
    ("daemon,b", "Run as daemon")
    ("pidfile", po::value<fs::path>(&cfg.pidfile)->value_name("<path>"), "Path to pidfile.")
    ("port,p",
     po::value<port_option_t>()->default_value(port_option_t{9030}, "9030")->value_name("<port>")
         ->notifier([&cfg](const port_option_t& port) { cfg.port = port.value; }),
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

  // Both switches count only on the command line: they are noted before the configuration file
  // adds its values, and the same keys in the file change nothing.
  const bool daemon_mode = vm.count("daemon") > 0;
  const bool parse_mode = vm.count("parse") > 0;

  if (vm.count("cfg")) {
    // Values already stored from the command line stay: the command line wins.
    const std::string cfg_file = vm["cfg"].as<std::string>();
    po::store(po::parse_config_file<char>(cfg_file.c_str(), desc, false), vm);
  }
  po::notify(vm);

  // Every path is made absolute now: the detach below moves the working directory to "/".
  if (!cfg.pidfile.empty()) cfg.pidfile = fs::absolute(cfg.pidfile, start_dir);
  if (!cfg.logfile.empty()) cfg.logfile = fs::absolute(cfg.logfile, start_dir);
  cfg.tmpdir = fs::path("/tmp/" + cfg.progname);
  cfg.datadir = fs::absolute(cfg.datadir, start_dir);

  // Locked before anything is created or emptied, so that a second start with the same pidfile
  // changes nothing; and before the detach, so that a failure still reaches the terminal.
  pidfile_t pidfile(cfg.pidfile);
  prepare_tmpdir(cfg.tmpdir);

  prepare_datadir(cfg.datadir);

  // The log file first: a channel keeps the stream it was enabled with.
  log_t::set_filename(cfg.logfile.string());
  log_t::enable_from_string(cfg.log);

  // The parse-only test pass runs at this point, before the detach, so that its log still
  // reaches the terminal.
  if (parse_mode) {
    sensor_t sensor(cfg);
    sensor.parse_run();
  }

  if (daemon_mode) {
    // Anything still buffered would be lost with the parent or land on the null device.
    fflush(stdout);
    // When the detach fails the service simply goes on in the foreground.
    if (daemon(0, 0) != 0) {
    }
  }

  // From here the monitor serves until the service is told to end.
  monitor(cfg, pidfile);
}

}  // namespace
}  // namespace ferun

int main(int argc, char** argv) {
  ferun::config_t cfg;
  try {
    ferun::start(argc, argv, cfg);
  } catch (const std::exception& e) {
    std::cout << "can't start: " << e.what() << ", exit\n";
    return 1;
  } catch (const exception_t& e) {
    std::cout << "can't start: " << e.message << ", exit\n";
    return 1;
  } catch (...) {
    std::cout << "can't start: some error occured, exit\n";
    return 1;
  }
  return 0;
}
