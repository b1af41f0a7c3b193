#include "exception_mapping.h"

#include <new>
#include <string>
#include <typeinfo>

#include <boost/system/system_error.hpp>
#include <boost/xpressive/xpressive_static.hpp>

#include "exception.h"
#include "proto_error_category.h"
#include "proto_exception.h"

namespace {

namespace xp = boost::xpressive;

const char directory_iterator_qualifier[] = "boost::filesystem::directory_iterator::";
const char construct_word[] = "construct:";

}  // namespace

const char* exception_text(const std::exception& e) {
  const char* what = e.what();
  // "boost::" then any run of "word::" components.
  static const xp::cregex qualifier = xp::bos >> "boost::" >> *(+xp::_w >> "::");
  xp::cmatch match;
  if (xp::regex_search(what, match, qualifier)) {
    const std::size_t length = static_cast<std::size_t>(match.length(0));
    const char* rest = what + length;
    if (match.str(0) == directory_iterator_qualifier &&
        std::char_traits<char>::compare(rest, construct_word, sizeof construct_word - 1) == 0) {
      static thread_local std::string rebuilt;
      rebuilt = "opendir:";
      rebuilt += rest + (sizeof construct_word - 1);
      return rebuilt.c_str();
    }
    return rest;
  }
  if (typeid(e) == typeid(std::bad_alloc)) return "Not enough memory";
  return what;
}

boost::system::error_code exception_error_code(const std::exception& e) {
  if (const auto* p = dynamic_cast<const boost::system::system_error*>(&e)) return p->code();
  if (const auto* p = dynamic_cast<const cf_proto_exception_t*>(&e)) return vx::make_error_code(p->code());
  if (const auto* p = dynamic_cast<const cf_exception_t*>(&e)) return p->code();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return vx::make_error_code(vx::EC_NO_MEMORY);
  return vx::make_error_code(vx::EC_UNEXPECTED_ERROR);
}

vx::ErrorCode exit_status_of(const boost::system::error_code& ec) {
  if (ec.category() == vx::proto_error_category() && vx::ErrorCode_IsValid(ec.value()))
    return static_cast<vx::ErrorCode>(ec.value());
  namespace errc = boost::system::errc;
  static const struct {
    errc::errc_t condition;
    vx::ErrorCode status;
  } table[] = {
      {errc::success, vx::EC_OK},
      {errc::permission_denied, vx::EC_PERMISSION_DENIED},
      {errc::operation_not_permitted, vx::EC_PERMISSION_DENIED},
      {errc::no_such_file_or_directory, vx::EC_NO_SUCH_ENTRY},
      {errc::not_a_directory, vx::EC_NOT_A_DIRECTORY},
      {errc::read_only_file_system, vx::EC_READ_ONLY_FS},
      {errc::invalid_argument, vx::EC_INVALID_ARGUMENT},
      {errc::file_exists, vx::EC_FILE_EXISTS},
      {errc::address_in_use, vx::EC_NAME_ALREADY_IN_USE},
      {errc::cross_device_link, vx::EC_CROSS_DEVICE_LINK},
      {errc::not_enough_memory, vx::EC_NO_MEMORY},
  };
  for (const auto& row : table)
    if (ec == errc::make_error_condition(row.condition)) return row.status;
  return vx::EC_UNEXPECTED_ERROR;
}
