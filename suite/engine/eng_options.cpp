#include "eng_options.h"

#include "courier_client_ipc.pb.h"
#include "sieve_client_ipc.pb.h"

// Packer and mail levels are accepted by both records but nothing here
// unpacks executables or parses mail, so they have no field to land in.

namespace {

// The limits both requests carry under the same names.
template <class Request>
eng_options_t common_options(const Request& options) {
  eng_options_t result;
  result.scan_timeout_ms = options.scan_timeout_ms();
  result.heuristic_analysis = options.heuristic_analysis();
  result.archive_max_level = options.archive_max_level();
  result.container_max_level = options.container_max_level();
  result.max_compression_ratio = options.max_compression_ratio();
  return result;
}

}  // namespace

eng_options_t eng_options_t::from(const sv::ProxyOptions& options) { return common_options(options); }

eng_options_t eng_options_t::from(const cr::ScanOptions& options) {
  eng_options_t result = common_options(options);
  result.max_size_to_extract = options.max_size_to_extract();
  result.min_size_to_scan = options.min_size_to_scan();
  result.max_size_to_scan = options.max_size_to_scan();
  result.list_clean_items = options.list_clean_items();
  result.report_component_info = options.report_component_info();
  return result;
}
