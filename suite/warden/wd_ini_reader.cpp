#include "wd_ini_reader.h"

#include <cstdint>
#include <limits>

#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"
#include "wd_ini_values.h"

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

namespace {

vx::LexHint hint_of(const FieldDescriptor& field) { return field.options().GetExtension(vx::hint); }

std::vector<std::string> split(const std::string& name) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const auto dot = name.find('.', from);
    parts.push_back(name.substr(from, dot - from));
    if (dot == std::string::npos) return parts;
    from = dot + 1;
  }
}

// The record types written as one value rather than as a section.
bool is_value_message(const Descriptor& type) {
  return type.full_name() == "vx.Log" || type.full_name() == "vx.AnySocket";
}

std::uint64_t parse_number(const FieldDescriptor& field, const std::string& text, std::uint64_t max) {
  switch (hint_of(field)) {
    case vx::HINT_TIME: return wd_parse_time(text, max);
    case vx::HINT_OPTTIME:
      if (wd_iequals(text, "off") || wd_iequals(text, "no")) return 0;
      return wd_parse_time(text, max);
    case vx::HINT_SIZE: return wd_parse_size(text, max);
    default: return wd_parse_count(text, max);
  }
}

// The repeated item field of a HINT_MAPS container and the item's tag field.
std::pair<const FieldDescriptor*, const FieldDescriptor*> map_fields(const FieldDescriptor& maps) {
  const Descriptor& container = *maps.message_type();
  for (int i = 0; i < container.field_count(); ++i) {
    const FieldDescriptor* item = container.field(i);
    if (!item->is_repeated() || item->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE) continue;
    const Descriptor& type = *item->message_type();
    for (int j = 0; j < type.field_count(); ++j)
      if (hint_of(*type.field(j)) == vx::HINT_MAP_TAG && type.field(j)->cpp_type() == FieldDescriptor::CPPTYPE_STRING)
        return {item, type.field(j)};
  }
  return {nullptr, nullptr};
}

}  // namespace

void wd_set_field(Message& message, const FieldDescriptor& field, const std::string& text) {
  const auto* reflection = message.GetReflection();
  const vx::LexHint hint = hint_of(field);
  if (text.empty() && !(field.cpp_type() == FieldDescriptor::CPPTYPE_STRING && hint != vx::HINT_ABSPATHNONEMPTY))
    throw wd_value_error_t("empty value");
  switch (field.cpp_type()) {
    case FieldDescriptor::CPPTYPE_BOOL: reflection->SetBool(&message, &field, wd_parse_switch(text)); return;
    case FieldDescriptor::CPPTYPE_UINT32:
      reflection->SetUInt32(&message, &field,
                            static_cast<std::uint32_t>(parse_number(field, text, std::numeric_limits<std::uint32_t>::max())));
      return;
    case FieldDescriptor::CPPTYPE_UINT64:
      reflection->SetUInt64(&message, &field, parse_number(field, text, std::numeric_limits<std::uint64_t>::max()));
      return;
    case FieldDescriptor::CPPTYPE_INT32:
      reflection->SetInt32(&message, &field,
                           static_cast<std::int32_t>(parse_number(field, text, std::numeric_limits<std::int32_t>::max())));
      return;
    case FieldDescriptor::CPPTYPE_INT64:
      reflection->SetInt64(&message, &field,
                           static_cast<std::int64_t>(parse_number(field, text, std::numeric_limits<std::int64_t>::max())));
      return;
    case FieldDescriptor::CPPTYPE_ENUM:
      reflection->SetEnum(&message, &field, &wd_parse_enum(text, *field.enum_type()));
      return;
    case FieldDescriptor::CPPTYPE_STRING:
      if ((hint == vx::HINT_ABSPATH || hint == vx::HINT_ABSPATHNONEMPTY) && !text.empty() && text[0] != '/')
        throw wd_value_error_t("'" + text + "' is not an absolute path");
      reflection->SetString(&message, &field, text);
      return;
    case FieldDescriptor::CPPTYPE_MESSAGE:
      if (field.message_type()->full_name() == "vx.Log") {
        reflection->MutableMessage(&message, &field)->CopyFrom(wd_parse_log(text));
        return;
      }
      if (field.message_type()->full_name() == "vx.AnySocket") {
        reflection->MutableMessage(&message, &field)->CopyFrom(wd_parse_socket(text));
        return;
      }
      break;
    default: break;
  }
  throw wd_value_error_t("this setting cannot be written in the configuration file");
}

wd_ini_reader_t::wd_ini_reader_t(const wd_ini_file_t& file) : file_(file) {}

void wd_ini_reader_t::add_record(Message& record, std::set<std::string> hidden) {
  const std::string section = record.GetDescriptor()->options().GetExtension(vx::ini_section);
  records_.push_back({&record, section, std::move(hidden)});
}

void wd_ini_reader_t::read() {
  issues_.clear();
  for (const auto& section : file_.sections()) read_section(section);
  if (!issues_.empty()) throw wd_config_error_t(std::move(issues_));
}

unsigned wd_ini_reader_t::line_of(const Message& message, const std::string& field) const {
  const auto it = field_lines_.find({&message, field});
  return it == field_lines_.end() ? 0 : it->second;
}

unsigned wd_ini_reader_t::section_line(const Message& message) const {
  const auto it = section_lines_.find(&message);
  return it == section_lines_.end() ? 0 : it->second;
}

wd_config_issue_t wd_ini_reader_t::issue(unsigned line, const std::string& key, const std::string& message) const {
  return {file_.name(), line, key, message};
}

void wd_ini_reader_t::read_section(const wd_ini_file_t::section_t& section) {
  const auto parts = split(section.name);
  const std::string label = "[" + section.name + "]";
  for (auto& record : records_) {
    if (!wd_iequals(parts[0], record.section)) continue;
    if (parts.size() == 1) {
      if (const unsigned first = section_line(*record.message)) {
        issues_.push_back(issue(section.line, label, "duplicate section (first on line " + std::to_string(first) + ")"));
        return;
      }
      section_lines_[record.message] = section.line;
      fill(*record.message, record, section);
      return;
    }
    const Descriptor& type = *record.message->GetDescriptor();
    for (int i = 0; parts.size() == 3 && i < type.field_count(); ++i) {
      const FieldDescriptor& field = *type.field(i);
      if (hint_of(field) == vx::HINT_MAPS && wd_iequals(parts[1], wd_camel_case(field.name())) &&
          !record.hidden.count(field.full_name())) {
        read_item(record, field, parts[2], section);
        return;
      }
    }
  }
  issues_.push_back(issue(section.line, label, "unknown section (known: " + known_sections() + ")"));
}

void wd_ini_reader_t::read_item(record_t& record, const FieldDescriptor& maps, const std::string& tag,
                                const wd_ini_file_t::section_t& section) {
  const auto [item_field, tag_field] = map_fields(maps);
  if (!item_field) {
    issues_.push_back(issue(section.line, "[" + section.name + "]", "this section cannot be configured"));
    return;
  }
  Message* container = record.message->GetReflection()->MutableMessage(record.message, &maps);
  const auto* reflection = container->GetReflection();
  for (int i = 0; i < reflection->FieldSize(*container, item_field); ++i) {
    const Message& other = reflection->GetRepeatedMessage(*container, item_field, i);
    if (wd_iequals(other.GetReflection()->GetString(other, tag_field), tag)) {
      issues_.push_back(issue(section.line, "[" + section.name + "]",
                              "duplicate " + wd_camel_case(maps.name()) + " '" + tag + "' (first defined on line " +
                                  std::to_string(section_line(other)) + ")"));
      return;
    }
  }
  Message* item = reflection->AddMessage(container, item_field);
  item->GetReflection()->SetString(item, tag_field, tag);
  section_lines_[item] = section.line;
  fill(*item, record, section);
}

void wd_ini_reader_t::fill(Message& message, const record_t& record, const wd_ini_file_t::section_t& section) {
  for (const auto& entry : section.entries) {
    const FieldDescriptor* field = settable_field(*message.GetDescriptor(), record, entry.key);
    if (!field) {
      issues_.push_back(issue(entry.line, entry.key, "unknown key in [" + section.name + "]"));
      continue;
    }
    if (const unsigned first = line_of(message, field->name())) {
      issues_.push_back(issue(entry.line, entry.key, "duplicate key (first set on line " + std::to_string(first) + ")"));
      continue;
    }
    field_lines_[{&message, field->name()}] = entry.line;
    try {
      wd_set_field(message, *field, entry.value);
    } catch (const wd_value_error_t& e) {
      issues_.push_back(issue(entry.line, entry.key, e.what()));
    }
  }
}

const FieldDescriptor* wd_ini_reader_t::settable_field(const Descriptor& type, const record_t& record,
                                                       const std::string& key) const {
  for (int i = 0; i < type.field_count(); ++i) {
    const FieldDescriptor* field = type.field(i);
    if (!wd_iequals(key, wd_camel_case(field->name()))) continue;
    const vx::LexHint hint = hint_of(*field);
    if (field->is_repeated() || record.hidden.count(field->full_name()) || hint == vx::HINT_MAPS ||
        hint == vx::HINT_MAP_TAG)
      return nullptr;
    if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE && !is_value_message(*field->message_type()))
      return nullptr;
    if (field->cpp_type() == FieldDescriptor::CPPTYPE_DOUBLE || field->cpp_type() == FieldDescriptor::CPPTYPE_FLOAT)
      return nullptr;
    return field;
  }
  return nullptr;
}

std::string wd_ini_reader_t::known_sections() const {
  std::string out;
  for (const auto& record : records_) {
    out += (out.empty() ? "[" : ", [") + record.section + "]";
    const Descriptor& type = *record.message->GetDescriptor();
    for (int i = 0; i < type.field_count(); ++i)
      if (hint_of(*type.field(i)) == vx::HINT_MAPS && !record.hidden.count(type.field(i)->full_name()))
        out += ", [" + record.section + "." + wd_camel_case(type.field(i)->name()) + ".<tag>]";
  }
  return out;
}
