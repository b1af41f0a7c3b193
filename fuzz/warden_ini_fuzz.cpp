// Warden's configuration file, from text to the settings in force: the INI
// syntax, every section and key the records know, the value parsers and
// the checks made after reading. Any text must either resolve or be
// refused with the problems listed, each with a message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "wd_config_error.h"
#include "wd_ini_file.h"
#include "wd_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  wd_options_t options;
  options.uid = 1000;
  try {
    const wd_ini_file_t file = wd_ini_file_t::parse(text, "fuzz.conf");
    const wd_settings_t settings = wd_resolve_settings(&file, options);
    FUZZ_CHECK(!settings.warden.run_dir().empty());
  } catch (const wd_config_error_t& e) {
    FUZZ_CHECK(!e.issues().empty());
    for (const auto& issue : e.issues()) FUZZ_CHECK(!issue.message.empty());
  }
  return 0;
}
