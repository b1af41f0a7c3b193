// vemra-scan: the suite's engine on the command line, one clamd result line
// per file. Exit status 0: nothing found; 1: a threat was found; 2: a file
// or the rules could not be used, or the command line is wrong.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "eng_engine.h"
#include "log.h"
#include "log_factory.h"
#include "vemra_version.h"
#include "vs_scan_tool.h"

namespace po = boost::program_options;

namespace {

const int exit_error = 2;

const char usage[] =
    "Usage: vemra-scan [options] PATH...\n"
    "Scans files and directory trees with the built-in rules and any rule\n"
    "files given, and prints one line per file:\n"
    "  PATH: OK | PATH: NAME FOUND | PATH: TEXT. ERROR\n"
    "Exit status: 0 nothing found, 1 a threat found, 2 an error.\n";

// What the command line asks for.
struct command_t {
  vs_scan_tool_t::settings_t settings;
  std::vector<std::string> rules;
  std::vector<std::string> paths;
  bool verbose = false;
};

// The options --help shows, read into command.
po::options_description visible_options(command_t& command) {
  auto& options = command.settings.options;
  po::options_description visible("Options");
  visible.add_options()
      ("help,h", "print this help and exit")
      ("version", "print the version and exit")
      ("rules,r", po::value(&command.rules), "YARA rule file, or directory of *.yar/*.yara files (repeatable)")
      ("all-match,a", po::bool_switch(&command.settings.all_match), "print every threat and error, not just the first")
      ("archive-max-level", po::value(&options.archive_max_level)->default_value(8),
       "archives opened one inside another (0: none)")
      ("container-max-level", po::value(&options.container_max_level)->default_value(8),
       "compressed streams opened one inside another (0: none)")
      ("max-compression-ratio", po::value(&options.max_compression_ratio)->default_value(500),
       "expanded/compressed ratio at which a container is abandoned (0: no limit)")
      ("timeout", po::value(&options.scan_timeout_ms)->default_value(0),
       "time limit of each file's scan in milliseconds (0: none)")
      ("no-heuristics", "do not report rules of threat type \"suspicious\"")
      ("report", po::bool_switch(&command.settings.print_report), "print each report tree after its lines")
      ("verbose,v", po::bool_switch(&command.verbose), "log rule loading to stderr");
  return visible;
}

// Reads the command line into command. Returns the exit status when there
// is nothing to scan: help or version printed, or a usage error reported.
std::optional<int> parse_command_line(int argc, char** argv, command_t& command) {
  const po::options_description visible = visible_options(command);
  po::options_description hidden;
  hidden.add_options()("path", po::value(&command.paths));
  po::options_description all;
  all.add(visible).add(hidden);
  po::positional_options_description positional;
  positional.add("path", -1);

  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    std::cerr << "vemra-scan: " << e.what() << "\nTry 'vemra-scan --help'.\n";
    return exit_error;
  }
  if (vm.count("help")) {
    std::cout << usage << '\n' << visible;
    return 0;
  }
  if (vm.count("version")) {
    std::cout << "vemra-scan " << VEMRA_VERSION << '\n';
    return 0;
  }
  if (command.paths.empty()) {
    std::cerr << "vemra-scan: no path given\nTry 'vemra-scan --help'.\n";
    return exit_error;
  }
  command.settings.options.heuristic_analysis = !vm.count("no-heuristics");
  return std::nullopt;
}

int scan(const command_t& command) {
  try {
    eng_engine_t engine;
    if (!command.rules.empty() && !engine.load_rules(command.rules).empty()) return exit_error;
    vs_scan_tool_t tool(engine, command.settings, std::cout);
    for (const auto& path : command.paths) tool.scan_path(path);
    std::cout.flush();
    return tool.status();
  } catch (const std::exception& e) {
    std::cerr << "vemra-scan: " << e.what() << '\n';
    return exit_error;
  }
}

}  // namespace

int main(int argc, char** argv) {
  command_t command;
  if (const auto status = parse_command_line(argc, argv, command)) return *status;
  // Without a sink the log would keep every line in memory until exit.
  cflog::set_threshold(command.verbose ? cf_log_t::info : cf_log_t::warning);
  cflog::install(make_default_log());
  return scan(command);
}
