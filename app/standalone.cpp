#include "standalone.h"

#include <stdlib.h>

#include <iostream>

#include <boost/program_options.hpp>

#include "exe_info.h"
#include "log.h"
#include "log_factory.h"

namespace po = boost::program_options;

void run_standalone(const std::string& program, const std::string& version, int argc, char** argv) {
  // Only errors are printed, as "Error: text" on stderr.
  cflog::set_threshold(cf_log_t::error);
  cflog::install(make_default_log());

  po::options_description visible("Command line options", po::options_description::m_default_line_length,
                                  po::options_description::m_default_line_length / 2);
  visible.add_options()
      ("help,h", po::bool_switch(), "print help message and exit")
      ("version,v", po::bool_switch(), "print version and exit");
  po::options_description hidden;
  hidden.add_options()("dump-app-info", po::bool_switch(), "dump exe file info");
  po::options_description full;
  full.add(visible).add(hidden);

  po::variables_map vm;
  po::store(po::command_line_parser(argc, argv)
                .options(full)
                .positional(po::positional_options_description())
                .style(po::command_line_style::unix_style | po::command_line_style::long_case_insensitive)
                .run(),
            vm);
  po::notify(vm);

  if (vm["help"].as<bool>()) {
    std::cout << visible << std::endl;
    exit(0);
  }
  if (vm["version"].as<bool>()) {
    std::cout << program << ' ' << version << std::endl;
    exit(0);
  }
  if (vm["dump-app-info"].as<bool>()) {
    dump_app_info(std::cout, version, argc, argv);
    exit(0);
  }
  std::cout << "Cannot run standalone. See " << program << "(1) for details." << std::endl;
  exit(1);
}
