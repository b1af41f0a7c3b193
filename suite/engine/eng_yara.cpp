#include "eng_yara.h"

#include <mutex>
#include <stdexcept>
#include <string>

#include <yara.h>

namespace {

// yr_initialize counts its callers but not atomically.
std::mutex& yara_mutex() {
  static std::mutex m;
  return m;
}

}  // namespace

eng_yara_t::eng_yara_t() {
  std::lock_guard<std::mutex> guard(yara_mutex());
  const int rc = yr_initialize();
  if (rc != ERROR_SUCCESS) throw std::runtime_error("Cannot initialise libyara: error " + std::to_string(rc));
}

eng_yara_t::~eng_yara_t() {
  std::lock_guard<std::mutex> guard(yara_mutex());
  yr_finalize();
}
