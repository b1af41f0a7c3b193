// The clamd.conf importer, from any text: it either converts, into a
// vemra.conf that Warden's own reader takes as it is, or refuses with each
// bad line named. A conversion Warden then refuses would hand the
// administrator a file that does not start the suite.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "wd_clamd_import.h"
#include "wd_config_error.h"
#include "wd_ini_file.h"
#include "wd_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string converted;
  try {
    converted = wd_import_clamd_conf(text, "clamd.conf");
  } catch (const wd_config_error_t& e) {
    FUZZ_CHECK(!e.issues().empty());
    for (const auto& issue : e.issues()) FUZZ_CHECK(!issue.message.empty());
    return 0;
  }
  wd_options_t options;
  options.uid = 1000;
  try {
    const wd_ini_file_t file = wd_ini_file_t::parse(converted, "vemra.conf");
    wd_resolve_settings(&file, options);
  } catch (const wd_config_error_t& e) {
    for (const auto& issue : e.issues()) std::fprintf(stderr, "%s\n", issue.message.c_str());
    FUZZ_CHECK(!"the converted file is refused");
  }
  return 0;
}
