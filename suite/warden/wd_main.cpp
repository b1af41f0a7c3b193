// vemra-warden: the Vemra suite's supervisor.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include <boost/program_options.hpp>

#include "exception_mapping.h"
#include "log.h"
#include "log_factory.h"
#include "vemra_version.h"
#include "wd_clamd_import.h"
#include "wd_run_dir.h"
#include "wd_settings.h"
#include "wd_settings_text.h"
#include "wd_supervisor.h"

namespace po = boost::program_options;

namespace {

const char program_name[] = "vemra-warden";

// What the command line asks for.
struct command_t {
  wd_options_t options;
  bool check = false;  // print the configuration and leave
  std::string clamd_conf;  // print this clamd.conf as a vemra.conf and leave
};

// Descriptors 0-2 must be taken, or the first files we open (the lock, a
// log) would become our stdin or stderr, and the children's too.
void take_standard_descriptors() {
  for (int fd = open("/dev/null", O_RDWR); fd >= 0; fd = open("/dev/null", O_RDWR)) {
    if (fd > 2) {
      close(fd);
      break;
    }
  }
}

std::string self_exe() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// Reads the command line into command. Returns the exit status when there
// is nothing to run: help or version printed, or a usage error reported.
std::optional<int> parse_command_line(int argc, char** argv, command_t& command) {
  wd_options_t& options = command.options;
  po::options_description visible("Options");
  // clang-format off
  visible.add_options()
      ("config,c", po::value(&options.config_path)->value_name("FILE"),
       "configuration file; without it, the embedded default configuration")
      ("port,p", po::value(&options.tcp_port)->value_name("PORT"),
       "port of every TCP endpoint of vemra-clamd, instead of the configured one")
      ("run-dir,r", po::value(&options.run_dir)->value_name("DIR"),
       "directory of the suite's sockets, instead of the configured one")
      ("check,t", "check the configuration, print it as it will be used, and exit")
      ("import-clamd-conf", po::value(&command.clamd_conf)->value_name("FILE"),
       "print the vemra.conf that configures the suite like the clamd.conf FILE, and exit")
      ("help,h", "print this help and exit")
      ("version,v", "print the version and exit");
  // clang-format on
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(visible).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    std::cerr << program_name << ": " << e.what() << "\nTry '" << program_name << " --help'.\n";
    return vx::EC_UNEXPECTED_ERROR;
  }
  if (vm.count("port") && (options.tcp_port == 0 || options.tcp_port > 65535)) {
    std::cerr << program_name << ": --port: use a number from 1 to 65535\n";
    return vx::EC_UNEXPECTED_ERROR;
  }
  if (vm.count("help")) {
    std::cout << "Usage: " << program_name << " [options]\n"
              << "Runs the Vemra suite in the foreground until SIGTERM or SIGINT; see vemra-warden(8).\n\n"
              << visible << "\n";
    return 0;
  }
  if (vm.count("version")) {
    std::cout << program_name << " " << VEMRA_VERSION << "\n";
    return 0;
  }
  command.check = vm.count("check") != 0;
  return std::nullopt;
}

// Prints the vemra.conf equivalent to a clamd.conf; returns the exit status.
int import_clamd_conf(const std::string& path) {
  try {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (!(in && text << in.rdbuf()) && !in.eof())
      throw wd_config_error_t({{path, 0, "", std::string("cannot read: ") + strerror(errno)}});
    std::cout << wd_import_clamd_conf(text.str(), path);
    return 0;
  } catch (const wd_config_error_t& e) {
    wd_log_failure(e);
    return vx::EC_BAD_CONFIG;
  }
}

// Loads the configuration and either prints it (--check) or runs the suite
// until it is stopped; returns the exit status.
int run(command_t command) {
  if (!command.clamd_conf.empty()) return import_clamd_conf(command.clamd_conf);
  command.options.self_exe = self_exe();
  command.options.uid = geteuid();
  if (const char* runtime = getenv("XDG_RUNTIME_DIR")) command.options.runtime_dir = runtime;
  // Several directories are separated by ':'; the first is the service's.
  if (const char* dirs = getenv("RUNTIME_DIRECTORY")) {
    const std::string all = dirs;
    command.options.service_run_dir = all.substr(0, all.find(':'));
  }
  // Taken from the environment, so that the programs Warden starts cannot
  // speak for it.
  if (const char* notify = getenv("NOTIFY_SOCKET")) {
    command.options.notify_socket = notify;
    unsetenv("NOTIFY_SOCKET");
  }
  try {
    wd_settings_t settings = wd_load_settings(command.options);
    if (command.check) {
      std::cout << wd_settings_text(settings);
      return 0;
    }
    cflog::install(wd_make_log(settings.warden.log()));
    cflog::set_threshold(log_threshold(settings.warden.log_level()));
    CF_NOTICE("Warden " << VEMRA_VERSION << " starting");

    auto run_dir = wd_run_dir_t::open(settings.warden.run_dir());
    // A child gone away must cost a failed write, not Warden's life.
    signal(SIGPIPE, SIG_IGN);
    boost::asio::io_context io;
    wd_supervisor_t supervisor(io, command.options, std::move(settings), std::move(run_dir));
    supervisor.start();
    io.run();
    return 0;
  } catch (const wd_config_error_t& e) {
    wd_log_failure(e);
    CF_ERROR("Warden: invalid configuration, not started");
    return vx::EC_BAD_CONFIG;
  } catch (const std::exception& e) {
    wd_log_failure(e);
    return exit_status_of(exception_error_code(e));
  }
}

}  // namespace

int main(int argc, char** argv) {
  take_standard_descriptors();
  // Until the configuration says otherwise, everything goes to stderr.
  cflog::set_threshold(cf_log_t::notice);
  cflog::install(make_default_log());
  command_t command;
  if (const auto status = parse_command_line(argc, argv, command)) return *status;
  return run(std::move(command));
}
