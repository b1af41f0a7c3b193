#pragma once

#include <string>
#include <type_traits>

#include <boost/system/error_code.hpp>

#include "error.pb.h"

namespace google::protobuf {
class EnumValueDescriptor;
}

namespace vx {

// The error category of vx::ErrorCode ("vx.Error"): messages are the lex
// texts of the enumeration, read from its descriptor.
class cf_proto_error_impl_t : public boost::system::error_category {
public:
  const char* name() const noexcept override;
  std::string message(int ev) const override;
};

// The one instance of the category.
const boost::system::error_category& proto_error_category() noexcept;

// The error_code of a suite error value.
boost::system::error_code make_error_code(ErrorCode e) noexcept;

}  // namespace vx

namespace boost::system {
template <>
struct is_error_code_enum<vx::ErrorCode> : std::true_type {};
}  // namespace boost::system

// Display text of an enum value: its lex option when it carries one,
// otherwise its name.
std::string cf_lex_text(const google::protobuf::EnumValueDescriptor& value);

// The same for a value of an enum type, or the number when the type does
// not know it.
std::string cf_enum_text(const google::protobuf::EnumDescriptor& type, int value);
