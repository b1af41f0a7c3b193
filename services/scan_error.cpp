#include "scan_error.h"

#include "proto_error_category.h"

vx::ScanError to_scan_error(const boost::system::error_code& error) {
  namespace errc = boost::system::errc;
  // Compared by equivalence, so an errno of any category that maps to the
  // condition matches.
  static const struct {
    errc::errc_t condition;
    vx::ScanError reason;
  } conditions[] = {
      {errc::filename_too_long, vx::SE_NAME_TOO_LONG},
      {errc::no_such_file_or_directory, vx::SE_FILE_NOT_FOUND},
      {errc::not_a_directory, vx::SE_FILE_NOT_FOUND},
      {errc::permission_denied, vx::SE_NO_ACCESS},
      {errc::operation_not_permitted, vx::SE_NO_ACCESS},
  };
  for (const auto& row : conditions)
    if (error == errc::make_error_condition(row.condition)) return row.reason;
  if (error.category() != vx::proto_error_category()) return vx::SE_UNEXPECTED_ERROR;
  switch (error.value()) {
    case vx::EC_NO_SUCH_ENTRY: return vx::SE_FILE_NOT_FOUND;
    case vx::EC_NOT_ABSOLUTE_PATH: return vx::SE_PATH_NOT_ABSOLUTE;
    case vx::EC_NOT_A_DRIVE: return vx::SE_FILE_NOT_BLOCK_DEVICE;
    case vx::EC_NOT_A_REGULAR_FILE: return vx::SE_FILE_NOT_REGULAR;
    case vx::EC_PERMISSION_DENIED: return vx::SE_NO_ACCESS;
    default: return vx::SE_UNEXPECTED_ERROR;
  }
}
