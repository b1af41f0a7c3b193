#include "cr_scan.h"

#include <errno.h>
#include <string.h>
#include <sys/mman.h>

#include <exception>
#include <new>

const char cr_object_name[] = "stream";

namespace {

cr_outcome_t failure(vx::ErrorCode code, const std::string& what) {
  cr_outcome_t outcome;
  outcome.error = code;
  outcome.what = what;
  return outcome;
}

// A spilled job is scanned through a mapping of its file: the page cache
// holds the data, not the heap.
cr_outcome_t scan_file(const eng_engine_t& engine, const cr_job_data_t& data, const eng_options_t& options) {
  const auto size = static_cast<std::size_t>(data.size());
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, data.file(), 0);
  if (mapped == MAP_FAILED) return failure(vx::EC_NO_MEMORY, std::string("mapping the data: ") + strerror(errno));
  cr_outcome_t outcome;
  try {
    outcome.report = engine.scan_buffer(cr_object_name, mapped, size, options);
  } catch (...) {
    ::munmap(mapped, size);
    throw;
  }
  ::munmap(mapped, size);
  return outcome;
}

cr_outcome_t scan(const eng_engine_t& engine, const cr_job_data_t& data, const eng_options_t& options) {
  if (data.too_large()) {
    cr_outcome_t outcome;
    outcome.report.set_object(cr_object_name);
    outcome.report.set_size(data.size());
    outcome.report.set_error(vx::SE_OBJECT_SIZE_LIMIT);
    return outcome;
  }
  if (data.file() >= 0) return scan_file(engine, data, options);
  cr_outcome_t outcome;
  outcome.report = engine.scan_buffer(cr_object_name, data.bytes().data(), data.bytes().size(), options);
  return outcome;
}

}  // namespace

cr_outcome_t cr_scan(const eng_engine_t& engine, const cr_job_data_t& data, const eng_options_t& options) {
  try {
    return scan(engine, data, options);
  } catch (const std::bad_alloc&) {
    return failure(vx::EC_NO_MEMORY, "out of memory while scanning");
  } catch (const std::exception& e) {
    return failure(vx::EC_UNEXPECTED_ERROR, std::string("engine error: ") + e.what());
  }
}
