#include "wd_settings.h"

#include <unistd.h>

#include <map>
#include <set>

#include <boost/filesystem/path.hpp>
#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"
#include "proto_error_category.h"
#include "wd_ini_reader.h"
#include "wd_ini_values.h"

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

namespace {

// Fields Warden fills itself; a file may not set them.
const std::set<std::string> clamd_hidden = {"vx.ClamdConfig.actual_log", "vx.ClamdConfig.actual_start"};

const char default_source[] = "embedded default";

// The limits every installation starts from; see vemra-warden(8) for why
// each value was chosen.
vx::ClamdConfig default_clamd() {
  vx::ClamdConfig c;
  c.set_log_level(vx::LOG_LEVEL_NOTICE);
  c.mutable_log()->set_type(vx::Log::AUTO);
  c.set_start(true);
  c.set_read_timeout(30 * 1000);
  c.set_stream_max_length(25 << 20);
  c.set_scan_timeout(120 * 1000);
  c.set_heuristic_analysis(true);
  c.set_packer_max_level(8);
  c.set_archive_max_level(16);
  c.set_mail_max_level(8);
  c.set_container_max_level(8);
  c.set_max_compression_ratio(250);
  c.set_detect_suspicious(true);
  c.set_detect_adware(false);
  c.set_detect_dialers(false);
  c.set_detect_jokes(false);
  c.set_detect_riskware(false);
  c.set_detect_hacktools(false);
  return c;
}

vx::WardenConfig default_warden(uid_t uid) {
  vx::WardenConfig w;
  w.set_run_dir(wd_default_run_dir(uid));
  w.set_sieve_enabled(false);
  w.set_courier_enabled(false);
  w.mutable_log()->set_type(vx::Log::STDERR);
  w.set_log_level(vx::LOG_LEVEL_NOTICE);
  w.set_stop_timeout(10 * 1000);
  w.set_restart_delay(1000);
  w.set_restart_delay_max(30 * 1000);
  w.set_status_interval(10 * 60 * 1000);
  w.set_collect_clamd_log(false);
  return w;
}

void add_endpoint(vx::ClamdConfig& c, const std::string& tag, const vx::AnySocket& socket) {
  auto* item = c.mutable_endpoint()->add_item();
  item->set_tag(tag);
  item->mutable_clamd_socket()->CopyFrom(socket);
}

// Every field the file set replaces the default whole (records and lists
// included, so a file's endpoints replace the default ones).
void overlay(Message& dst, const Message& src) {
  std::vector<const FieldDescriptor*> fields;
  src.GetReflection()->ListFields(src, &fields);
  for (const auto* field : fields) dst.GetReflection()->ClearField(&dst, field);
  dst.MergeFrom(src);
}

// The global Detect* switches hold for every endpoint that does not set its
// own; the daemon reads them only from endpoint records.
void resolve_detect_flags(vx::ClamdConfig& c) {
  const Descriptor& global = *c.GetDescriptor();
  for (auto& item : *c.mutable_endpoint()->mutable_item()) {
    const Descriptor& type = *item.GetDescriptor();
    for (int i = 0; i < type.field_count(); ++i) {
      const FieldDescriptor* field = type.field(i);
      if (field->name().compare(0, 7, "detect_") != 0 || item.GetReflection()->HasField(item, field)) continue;
      const FieldDescriptor* source = global.FindFieldByName(field->name());
      if (source && c.GetReflection()->HasField(c, source))
        item.GetReflection()->SetBool(&item, field, c.GetReflection()->GetBool(c, source));
    }
  }
}

// Checks that need the whole file: what a single value cannot tell.
void check_file(const wd_ini_reader_t& reader, const vx::ClamdConfig& clamd, const vx::WardenConfig& warden) {
  std::vector<wd_config_issue_t> issues;
  std::map<std::string, std::string> sockets;  // text -> tag
  for (const auto& item : clamd.endpoint().item()) {
    const std::string label = "[ClamD.Endpoint." + item.tag() + "]";
    if (!item.has_clamd_socket()) {
      issues.push_back(reader.issue(reader.section_line(item), label, "no ClamdSocket: where should it listen?"));
      continue;
    }
    const auto [it, added] = sockets.emplace(wd_socket_text(item.clamd_socket()), item.tag());
    if (!added)
      issues.push_back(reader.issue(reader.line_of(item, "clamd_socket"), "ClamdSocket",
                                    "'" + it->first + "' is already used by endpoint '" + it->second + "'"));
  }
  if (warden.has_log() && warden.log().type() == vx::Log::AUTO)
    issues.push_back(reader.issue(reader.line_of(warden, "log"), "Log",
                                  "Auto is for the services' logs; use Stderr, Syslog or a file path here"));
  if (warden.has_restart_delay() && warden.restart_delay() < 100)
    issues.push_back(reader.issue(reader.line_of(warden, "restart_delay"), "RestartDelay", "must be at least 100ms"));
  if (warden.has_stop_timeout() && warden.stop_timeout() == 0)
    issues.push_back(reader.issue(reader.line_of(warden, "stop_timeout"), "StopTimeout", "must be more than 0"));
  if (!issues.empty()) throw wd_config_error_t(std::move(issues));
}

// --- the text form --------------------------------------------------------

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

std::vector<vx::Application> wd_settings_t::installed_apps() const {
  std::vector<vx::Application> apps{vx::APP_WARDEN};
  if (warden.sieve_enabled()) apps.push_back(vx::APP_SIEVE);
  if (warden.courier_enabled()) apps.push_back(vx::APP_COURIER);
  if (clamd.start()) apps.push_back(vx::APP_CLAMD);
  return apps;
}

std::string wd_default_run_dir(uid_t uid) {
  return uid == 0 ? std::string("/run/vemra") : "/tmp/vemra-" + std::to_string(uid);
}

std::string wd_program_path(const std::string& self_exe, const std::string& program, const std::string& subdir) {
  if (self_exe.empty()) return "/usr/sbin/" + program;
  const boost::filesystem::path dir = boost::filesystem::path(self_exe).parent_path();
  const std::string beside = (dir / program).string();
  const std::string in_build = (dir.parent_path().parent_path() / subdir / program).string();
  for (const auto& candidate : {beside, in_build})
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  return beside;
}

wd_settings_t wd_resolve_settings(const wd_ini_file_t* file, const wd_options_t& options) {
  vx::ClamdConfig file_clamd;
  vx::WardenConfig file_warden;
  if (file) {
    wd_ini_reader_t reader(*file);
    reader.add_record(file_clamd, clamd_hidden);
    reader.add_record(file_warden);
    reader.read();
    check_file(reader, file_clamd, file_warden);
  }

  wd_settings_t s;
  s.source = file ? file->name() : default_source;

  s.warden = default_warden(options.uid);
  overlay(s.warden, file_warden);
  if (!options.run_dir.empty()) {
    if (options.run_dir[0] != '/')
      throw wd_config_error_t({{"command line", 0, "--run-dir", "'" + options.run_dir + "' is not an absolute path"}});
    s.warden.set_run_dir(options.run_dir);
  }
  std::string run_dir = s.warden.run_dir();
  while (run_dir.size() > 1 && run_dir.back() == '/') run_dir.pop_back();
  s.warden.set_run_dir(run_dir);
  if (!s.warden.has_sieve_socket()) s.warden.set_sieve_socket(run_dir + "/sieve.sock");
  if (!s.warden.has_courier_socket()) s.warden.set_courier_socket(run_dir + "/courier.sock");

  s.clamd = default_clamd();
  overlay(s.clamd, file_clamd);
  if (!file_clamd.has_endpoint()) {
    try {
      add_endpoint(s.clamd, "tcp", wd_parse_socket("127.0.0.1:3310"));
      add_endpoint(s.clamd, "local", wd_parse_socket(run_dir + "/clamd.sock"));
    } catch (const wd_value_error_t& e) {
      // Only a run directory too long for a socket path gets here.
      throw wd_config_error_t({{s.source, 0, "RunDir", std::string("default ClamD socket: ") + e.what()}});
    }
  }
  if (options.tcp_port) {
    if (options.tcp_port > 65535)
      throw wd_config_error_t({{"command line", 0, "--port", "use a number from 1 to 65535"}});
    for (auto& item : *s.clamd.mutable_endpoint()->mutable_item())
      if (item.clamd_socket().has_ip()) item.mutable_clamd_socket()->mutable_ip()->set_port(options.tcp_port);
  }
  if (!s.clamd.has_exe_path() || s.clamd.exe_path().empty())
    s.clamd.set_exe_path(wd_program_path(options.self_exe, "vemra-clamd", "app"));

  if (s.clamd.log().type() == vx::Log::AUTO) s.clamd.mutable_actual_log()->CopyFrom(s.warden.log());
  else s.clamd.mutable_actual_log()->CopyFrom(s.clamd.log());
  s.clamd.set_actual_start(s.clamd.start());
  resolve_detect_flags(s.clamd);
  return s;
}

wd_settings_t wd_load_settings(const wd_options_t& options) {
  if (options.config_path.empty()) return wd_resolve_settings(nullptr, options);
  const wd_ini_file_t file = wd_ini_file_t::load(options.config_path);
  return wd_resolve_settings(&file, options);
}

std::string wd_settings_text(const wd_settings_t& settings) {
  std::string out = "# vemra-warden configuration, from " + settings.source + "\n";
  if (settings.clamd.log().type() == vx::Log::AUTO)
    out += "# ClamD Log = Auto: the daemon logs to " + wd_log_text(settings.clamd.actual_log()) + "\n";
  out += "\n";
  write_record(out, settings.warden, {});
  out += "\n";
  write_record(out, settings.clamd, clamd_hidden);
  return out;
}
