#pragma once

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/message.h>

#include "wd_config_error.h"
#include "wd_ini_file.h"

// Fills protobuf records from an INI file by walking their descriptors.
// Each record names its section with the message option ini_section;
// keys are the field names in CamelCase (read_timeout: ReadTimeout, in any
// letter case) and values are read by the field option hint (times, sizes,
// switches), by type (enumerations by display text or name, numbers), and
// two record types by their text form (vx.Log, vx.AnySocket). A field with
// hint HINT_MAPS is filled from sections [Section.Field.<tag>], one item
// per section, the tag going to the item's HINT_MAP_TAG field.
class wd_ini_reader_t {
public:
  explicit wd_ini_reader_t(const wd_ini_file_t& file);

  // Registers a record to fill. hidden: full names of fields that the file
  // must not set (those Warden fills itself).
  void add_record(google::protobuf::Message& record, std::set<std::string> hidden = {});

  // Reads every section into the records. Throws wd_config_error_t listing
  // every problem (unknown section or key, bad value, duplicate section,
  // key or tag); the records are then partly filled and must be dropped.
  void read();

  // Line on which the file set a field of a record or item; 0 when it did not.
  unsigned line_of(const google::protobuf::Message& message, const std::string& field) const;
  // Line of the section header that filled a record or item; 0 when none.
  unsigned section_line(const google::protobuf::Message& message) const;
  // A problem at a line of this file, for checks made after reading.
  wd_config_issue_t issue(unsigned line, const std::string& key, const std::string& message) const;

private:
  struct record_t {
    google::protobuf::Message* message;
    std::string section;
    std::set<std::string> hidden;
  };

  void read_section(const wd_ini_file_t::section_t& section);
  void read_item(record_t& record, const google::protobuf::FieldDescriptor& maps, const std::string& tag,
                 const wd_ini_file_t::section_t& section);
  void fill(google::protobuf::Message& message, const record_t& record, const wd_ini_file_t::section_t& section);
  const google::protobuf::FieldDescriptor* settable_field(const google::protobuf::Descriptor& type,
                                                          const record_t& record, const std::string& key) const;
  std::string known_sections() const;

  const wd_ini_file_t& file_;
  std::vector<record_t> records_;
  std::vector<wd_config_issue_t> issues_;
  std::map<const google::protobuf::Message*, unsigned> section_lines_;
  std::map<std::pair<const google::protobuf::Message*, std::string>, unsigned> field_lines_;
};

// Sets one field from its text; throws wd_value_error_t for a bad value.
void wd_set_field(google::protobuf::Message& message, const google::protobuf::FieldDescriptor& field,
                  const std::string& text);
