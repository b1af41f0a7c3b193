#include "wd_settings_text.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"
#include "proto_error_category.h"
#include "wd_ini_values.h"

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

namespace {

std::string time_text(std::uint64_t ms) {
  if (ms && ms % (3600 * 1000) == 0) return std::to_string(ms / (3600 * 1000)) + "h";
  if (ms && ms % (60 * 1000) == 0) return std::to_string(ms / (60 * 1000)) + "m";
  if (ms && ms % 1000 == 0) return std::to_string(ms / 1000) + "s";
  return std::to_string(ms) + "ms";
}

std::string size_text(std::uint64_t bytes) {
  if (bytes && bytes % (1 << 30) == 0) return std::to_string(bytes >> 30) + "gb";
  if (bytes && bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + "mb";
  if (bytes && bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + "kb";
  return std::to_string(bytes);
}

std::string value_text(const Message& m, const FieldDescriptor& field) {
  const auto* r = m.GetReflection();
  std::uint64_t number = 0;
  switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL: return r->GetBool(m, &field) ? "yes" : "no";
    case FieldDescriptor::CPPTYPE_ENUM: return cf_lex_text(*r->GetEnum(m, &field));
    case FieldDescriptor::CPPTYPE_STRING: return r->GetString(m, &field);
    case FieldDescriptor::CPPTYPE_MESSAGE: {
      const Message& sub = r->GetMessage(m, &field);
      if (const auto* log = dynamic_cast<const vx::Log*>(&sub)) return wd_log_text(*log);
      if (const auto* socket = dynamic_cast<const vx::AnySocket*>(&sub)) return wd_socket_text(*socket);
      return sub.ShortDebugString();
    }
    case FieldDescriptor::CPPTYPE_UINT32: number = r->GetUInt32(m, &field); break;
    case FieldDescriptor::CPPTYPE_UINT64: number = r->GetUInt64(m, &field); break;
    case FieldDescriptor::CPPTYPE_INT32: number = static_cast<std::uint64_t>(r->GetInt32(m, &field)); break;
    case FieldDescriptor::CPPTYPE_INT64: number = static_cast<std::uint64_t>(r->GetInt64(m, &field)); break;
    default: return "?";
  }
  switch (field.options().GetExtension(vx::hint)) {
    case vx::HINT_TIME: return time_text(number);
    case vx::HINT_OPTTIME: return number ? time_text(number) : "off";
    case vx::HINT_SIZE: return size_text(number);
    default: return std::to_string(number);
  }
}

void write_section(std::string& out, const std::string& name, const Message& m, const std::set<std::string>& hidden,
                   std::vector<const FieldDescriptor*>* maps) {
  out += "[" + name + "]\n";
  std::vector<const FieldDescriptor*> fields;
  m.GetReflection()->ListFields(m, &fields);
  for (const auto* field : fields) {
    const auto hint = field->options().GetExtension(vx::hint);
    if (hidden.count(field->full_name()) || hint == vx::HINT_MAP_TAG) continue;
    if (hint == vx::HINT_MAPS) {
      if (maps) maps->push_back(field);
      continue;
    }
    out += wd_camel_case(field->name()) + " = " + value_text(m, *field) + "\n";
  }
}

void write_record(std::string& out, const Message& m, const std::set<std::string>& hidden) {
  const std::string section = m.GetDescriptor()->options().GetExtension(vx::ini_section);
  std::vector<const FieldDescriptor*> maps;
  write_section(out, section, m, hidden, &maps);
  for (const auto* field : maps) {
    const Message& container = m.GetReflection()->GetMessage(m, field);
    const Descriptor& type = *container.GetDescriptor();
    for (int i = 0; i < type.field_count(); ++i) {
      const FieldDescriptor* list = type.field(i);
      if (!list->is_repeated() || list->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
      const auto* r = container.GetReflection();
      for (int j = 0; j < r->FieldSize(container, list); ++j) {
        const Message& item = r->GetRepeatedMessage(container, list, j);
        std::string tag;
        const Descriptor& item_type = *item.GetDescriptor();
        for (int k = 0; k < item_type.field_count(); ++k)
          if (item_type.field(k)->options().GetExtension(vx::hint) == vx::HINT_MAP_TAG)
            tag = item.GetReflection()->GetString(item, item_type.field(k));
        out += "\n";
        write_section(out, section + "." + wd_camel_case(field->name()) + "." + tag, item, hidden, nullptr);
      }
    }
  }
}

}  // namespace

std::string wd_settings_text(const wd_settings_t& settings) {
  std::string out = "# vemra-warden configuration, from " + settings.source + "\n";
  if (settings.clamd.log().type() == vx::Log::AUTO)
    out += "# ClamD Log = Auto: the daemon logs to " + wd_log_text(settings.clamd.actual_log()) + "\n";
  out += "\n";
  write_record(out, settings.warden, {});
  out += "\n";
  write_record(out, settings.clamd, wd_clamd_hidden_fields());
  return out;
}
