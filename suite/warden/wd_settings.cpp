#include "wd_settings.h"

#include <unistd.h>

#include <map>
#include <set>

#include <boost/filesystem/path.hpp>
#include <google/protobuf/descriptor.h>

#include "socket_path.h"
#include "wd_ini_reader.h"
#include "wd_ini_values.h"

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;

namespace {

const char default_source[] = "embedded default";
// More scan threads than the services accept would only make scans wait
// on each other.
constexpr std::uint32_t max_threads = 256;
// What vemra-courier accepts: a window that leaves room for a useful chunk
// and fits in a frame, and memory that the machine is likely to have.
constexpr std::uint32_t min_courier_window = 64 << 10;
constexpr std::uint32_t max_courier_window = 64 << 20;
constexpr std::uint32_t max_courier_memory = 1 << 30;

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

vx::WardenConfig default_warden(const wd_options_t& options) {
  vx::WardenConfig w;
  // A service manager that made a directory for the service means it for
  // the service's sockets.
  w.set_run_dir(options.service_run_dir.empty() ? wd_default_run_dir(options.uid, options.runtime_dir)
                                                : options.service_run_dir);
  w.set_sieve_enabled(true);
  w.set_sieve_threads(2);
  w.set_courier_enabled(true);
  w.set_courier_threads(2);
  w.set_courier_window(1 << 20);
  w.set_courier_memory(4 << 20);
  w.mutable_log()->set_type(vx::Log::STDERR);
  w.set_log_level(vx::LOG_LEVEL_NOTICE);
  w.set_stop_timeout(10 * 1000);
  w.set_restart_delay(1000);
  w.set_restart_delay_max(30 * 1000);
  w.set_status_interval(10 * 60 * 1000);
  w.set_collect_clamd_log(false);
  w.set_metrics_listen("");
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

// One socket however it is spelled, so that two endpoints cannot bind the
// same file or port, the second taking it from the first.
std::string socket_identity(const vx::AnySocket& socket) {
  if (socket.has_local()) return cf_socket_path_identity(socket.local());
  vx::AnySocket ip = socket;
  if (ip.has_ip()) ip.mutable_ip()->set_address(cf_ip_address_identity(ip.ip().address()));
  return wd_socket_text(ip);
}

// Checks that need the whole file: what a single value cannot tell.
void check_file(const wd_ini_reader_t& reader, const vx::ClamdConfig& clamd, const vx::WardenConfig& warden) {
  std::vector<wd_config_issue_t> issues;
  std::map<std::string, std::string> sockets;  // identity -> tag
  for (const auto& item : clamd.endpoint().item()) {
    const std::string label = "[ClamD.Endpoint." + item.tag() + "]";
    if (!item.has_clamd_socket()) {
      issues.push_back(reader.issue(reader.section_line(item), label, "no ClamdSocket: where should it listen?"));
      continue;
    }
    const auto [it, added] = sockets.emplace(socket_identity(item.clamd_socket()), item.tag());
    if (!added)
      issues.push_back(reader.issue(reader.line_of(item, "clamd_socket"), "ClamdSocket",
                                    "'" + wd_socket_text(item.clamd_socket()) + "' is already used by endpoint '" +
                                        it->second + "'"));
  }
  if (warden.has_log() && warden.log().type() == vx::Log::AUTO)
    issues.push_back(reader.issue(reader.line_of(warden, "log"), "Log",
                                  "Auto is for the services' logs; use Stderr, Syslog or a file path here"));
  if (warden.has_restart_delay() && warden.restart_delay() < 100)
    issues.push_back(reader.issue(reader.line_of(warden, "restart_delay"), "RestartDelay", "must be at least 100ms"));
  if (warden.has_stop_timeout() && warden.stop_timeout() == 0)
    issues.push_back(reader.issue(reader.line_of(warden, "stop_timeout"), "StopTimeout", "must be more than 0"));
  if (!warden.metrics_listen().empty()) {
    try {
      wd_parse_listen(warden.metrics_listen());
    } catch (const wd_value_error_t& e) {
      issues.push_back(reader.issue(reader.line_of(warden, "metrics_listen"), "MetricsListen", e.what()));
    }
  }
  // What the services accept; sizes in bytes.
  const struct {
    const char* field;
    std::uint32_t low, high;
  } ranges[] = {
      {"sieve_threads", 1, max_threads},
      {"courier_threads", 1, max_threads},
      {"courier_window", min_courier_window, max_courier_window},
      {"courier_memory", 0, max_courier_memory},
  };
  for (const auto& range : ranges) {
    const FieldDescriptor* field = warden.GetDescriptor()->FindFieldByName(range.field);
    if (!warden.GetReflection()->HasField(warden, field)) continue;
    const std::uint32_t value = warden.GetReflection()->GetUInt32(warden, field);
    if (value < range.low || value > range.high)
      issues.push_back(reader.issue(reader.line_of(warden, range.field), wd_camel_case(range.field),
                                    "use a number from " + std::to_string(range.low) + " to " +
                                        std::to_string(range.high)));
  }
  if (!issues.empty()) throw wd_config_error_t(std::move(issues));
}

// A service must be able to listen where the daemon is sent: a path too
// long for a socket address would leave it failing at every start.
void check_service_sockets(const wd_settings_t& s) {
  const std::pair<bool, const char*> services[] = {{s.warden.sieve_enabled(), "sieve_socket"},
                                                   {s.warden.courier_enabled(), "courier_socket"}};
  for (const auto& [enabled, name] : services) {
    if (!enabled) continue;
    const FieldDescriptor* field = s.warden.GetDescriptor()->FindFieldByName(name);
    try {
      wd_parse_socket(s.warden.GetReflection()->GetString(s.warden, field));
    } catch (const wd_value_error_t& e) {
      throw wd_config_error_t({{s.source, 0, wd_camel_case(name), e.what()}});
    }
  }
}

}  // namespace

const std::set<std::string>& wd_clamd_hidden_fields() {
  static const std::set<std::string> fields = {"vx.ClamdConfig.actual_log", "vx.ClamdConfig.actual_start"};
  return fields;
}

std::vector<vx::Application> wd_settings_t::installed_apps() const {
  std::vector<vx::Application> apps{vx::APP_WARDEN};
  if (warden.sieve_enabled()) apps.push_back(vx::APP_SIEVE);
  if (warden.courier_enabled()) apps.push_back(vx::APP_COURIER);
  if (clamd.start()) apps.push_back(vx::APP_CLAMD);
  return apps;
}

std::string wd_default_run_dir(uid_t uid, const std::string& runtime_dir) {
  if (uid == 0) return "/run/vemra";
  if (!runtime_dir.empty() && runtime_dir[0] == '/') return runtime_dir + "/vemra";
  return "/tmp/vemra-" + std::to_string(uid);
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
    reader.add_record(file_clamd, wd_clamd_hidden_fields());
    reader.add_record(file_warden);
    reader.read();
    check_file(reader, file_clamd, file_warden);
  }

  wd_settings_t s;
  s.source = file ? file->name() : default_source;

  s.warden = default_warden(options);
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
  if (!s.warden.has_sieve_exe_path())
    s.warden.set_sieve_exe_path(wd_program_path(options.self_exe, "vemra-sieve", "suite/sieve"));
  if (!s.warden.has_courier_exe_path())
    s.warden.set_courier_exe_path(wd_program_path(options.self_exe, "vemra-courier", "suite/courier"));
  check_service_sockets(s);

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
