#include "proto_error_category.h"

#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"

namespace vx {

const char* cf_proto_error_impl_t::name() const noexcept { return "vx.Error"; }

std::string cf_proto_error_impl_t::message(int ev) const {
  const auto* value = ErrorCode_descriptor()->FindValueByNumber(ev);
  if (value) return cf_lex_text(*value);
  return "vx.Error " + std::to_string(ev);
}

const boost::system::error_category& proto_error_category() noexcept {
  static const cf_proto_error_impl_t instance;
  return instance;
}

boost::system::error_code make_error_code(ErrorCode e) noexcept {
  return boost::system::error_code(static_cast<int>(e), proto_error_category());
}

}  // namespace vx

std::string cf_enum_text(const google::protobuf::EnumDescriptor& type, int value) {
  const auto* descriptor = type.FindValueByNumber(value);
  return descriptor ? cf_lex_text(*descriptor) : std::to_string(value);
}

std::string cf_lex_text(const google::protobuf::EnumValueDescriptor& value) {
  const auto& options = value.options();
  if (options.HasExtension(vx::lex)) return options.GetExtension(vx::lex);
  return value.name();
}
