#include "wd_clamd_import.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "wd_config_error.h"
#include "wd_ini_values.h"

namespace {

constexpr std::uint64_t uint32_max = std::numeric_limits<std::uint32_t>::max();
// A clamd.conf is a few kilobytes; anything far larger is not one.
constexpr std::size_t max_text = 1 << 20;

struct line_t {
  unsigned number;
  std::string key, value;
};

// Why a clamd key has no counterpart. Entries ending in '*' match every
// key that begins with what precedes it; the first match wins.
const std::pair<const char*, const char*> reasons[] = {
    {"Example", "the mark of clamd's unedited sample file"},
    {"LocalSocketMode", "vemra-clamd makes its Unix sockets mode 0666: the directory they lie in decides who connects"},
    {"LocalSocketGroup", "vemra-clamd makes its Unix sockets mode 0666: the directory they lie in decides who connects"},
    {"FixStaleSocket", "vemra-clamd always replaces a stale socket"},
    {"User", "the suite runs as the user that starts vemra-warden (the packaged service: vemra)"},
    {"AllowSupplementaryGroups", "the suite runs as the user that starts vemra-warden, with that user's groups"},
    {"PidFile", "vemra-warden writes its process id to warden.lock in its RunDir"},
    {"Foreground", "vemra-warden always runs in the foreground"},
    {"TemporaryDirectory", "vemra-courier keeps its temporary data under $TMPDIR"},
    {"IdleTimeout", "ReadTimeout also ends an idle IDSESSION connection"},
    {"CommandReadTimeout", "ReadTimeout bounds every wait for a client"},
    {"StreamMinPort", "the system chooses the STREAM data port"},
    {"StreamMaxPort", "the system chooses the STREAM data port"},
    {"LogFacility", "a syslog facility applies only to a syslog log"},
    {"IncludePUA", "the suite's categories differ: use DetectAdware, DetectDialers, DetectJokes, DetectRiskware, "
                   "DetectHacktools"},
    {"ExcludePUA", "the suite's categories differ: use DetectAdware, DetectDialers, DetectJokes, DetectRiskware, "
                   "DetectHacktools"},
    {"MaxDirectoryRecursion", "how vemra-sieve walks directories is not configurable"},
    {"FollowDirectorySymlinks", "how vemra-sieve walks directories is not configurable"},
    {"FollowFileSymlinks", "how vemra-sieve walks directories is not configurable"},
    {"CrossFilesystems", "how vemra-sieve walks directories is not configurable"},
    {"ExcludePath", "how vemra-sieve walks directories is not configurable"},
    {"DatabaseDirectory", "the suite's engine has its own rules, not signature databases"},
    {"OfficialDatabaseOnly", "the suite's engine has its own rules, not signature databases"},
    {"SelfCheck", "the suite's engine has its own rules, not signature databases"},
    {"ConcurrentDatabaseReload", "the suite's engine has its own rules, not signature databases"},
    {"Bytecode*", "the suite's engine has its own rules, not signature databases"},
    {"Log*", "the daemon's log has no such option"},
    {"Scan*", "the engine scans every file type it knows; none can be switched off"},
    {"Alert*", "the engine has no such alert"},
    {"OnAccess*", "on-access scanning is not part of the suite"},
    {"Max*", "the engine's size and count limits are fixed"},
    {"PCRE*", "the engine's size and count limits are fixed"},
};

std::string reason_for(const std::string& key) {
  for (const auto& [pattern, reason] : reasons) {
    const std::string p = pattern;
    if (p.back() == '*' ? key.compare(0, p.size() - 1, p, 0, p.size() - 1) == 0 : key == p) return reason;
  }
  return "no equivalent setting in the suite";
}

// Keys that clamd takes several times; every other key once.
bool repeatable(const std::string& key) {
  return key == "TCPAddr" || key == "IncludePUA" || key == "ExcludePUA" || key.compare(0, 8, "OnAccess") == 0;
}

bool is_key_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// Splits the text into settings; collects every line that is not one.
std::vector<line_t> read_lines(const std::string& text, const std::string& source) {
  if (text.size() > max_text)
    throw wd_config_error_t({{source, 0, "", "file is larger than " + std::to_string(max_text) + " bytes"}});
  std::vector<line_t> lines;
  std::vector<wd_config_issue_t> issues;
  std::map<std::string, unsigned> first_line;
  std::size_t pos = 0;
  for (unsigned number = 1; pos < text.size(); ++number) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    auto fail = [&](const std::string& key, const std::string& why) { issues.push_back({source, number, key, why}); };
    std::size_t key_end = first;
    while (key_end < line.size() && is_key_char(line[key_end])) ++key_end;
    const std::string key = line.substr(first, key_end - first);
    const std::size_t value_start = line.find_first_not_of(" \t", key_end);
    const std::size_t value_end = line.find_last_not_of(" \t");
    const std::string value =
        value_start == std::string::npos ? std::string() : line.substr(value_start, value_end - value_start + 1);
    bool control = false;
    for (unsigned char c : line) control = control || (c < 0x20 && c != '\t') || c == 0x7f;
    if (key.empty() || (key_end < line.size() && line[key_end] != ' ' && line[key_end] != '\t'))
      fail("", "not a 'Key value' line");
    else if (control)
      fail(key, "control character in the line");
    else if (value.empty() && key != "Example")
      fail(key, "no value");
    else if (const auto [it, added] = first_line.emplace(key, number); !added && !repeatable(key))
      fail(key, "set again (first on line " + std::to_string(it->second) + ")");
    else
      lines.push_back({number, key, value});
  }
  if (!issues.empty()) throw wd_config_error_t(std::move(issues));
  return lines;
}

// The vemra.conf being built, and what the keys that depend on each other
// left for the end.
class converter_t {
public:
  explicit converter_t(std::string source) : source_(std::move(source)) {}

  void take(const line_t& line);
  std::string finish();

private:
  [[noreturn]] void fail(const line_t& line, const std::string& why) const {
    throw wd_config_error_t({{source_, line.number, line.key, why}});
  }
  void note(const line_t& line, const std::string& why) {
    notes_.push_back("line " + std::to_string(line.number) + ": " + line.key +
                     (line.value.empty() ? "" : " " + line.value) + ": " + why);
  }
  void set(std::vector<std::pair<std::string, std::string>>& section, const line_t& line, const std::string& key,
           const std::string& value);
  std::uint64_t number(const line_t& line, std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) const;
  bool switch_of(const line_t& line) const;
  std::string size(const line_t& line);
  void listen_tcp();
  void log();

  std::string source_;
  std::vector<std::pair<std::string, std::string>> warden_, clamd_, endpoints_;
  std::map<std::string, unsigned> set_by_;  // vemra key -> clamd line
  std::vector<std::string> notes_;
  std::map<std::string, line_t> held_;  // keys decided at the end
  std::vector<line_t> tcp_addrs_;
};

std::uint64_t converter_t::number(const line_t& line, std::uint64_t max) const {
  try {
    return wd_parse_count(line.value, max);
  } catch (const wd_value_error_t& e) {
    fail(line, e.what());
  }
}

bool converter_t::switch_of(const line_t& line) const {
  try {
    return wd_parse_switch(line.value);
  } catch (const wd_value_error_t& e) {
    fail(line, e.what());
  }
}

void converter_t::set(std::vector<std::pair<std::string, std::string>>& section, const line_t& line,
                      const std::string& key, const std::string& value) {
  const auto [it, added] = set_by_.emplace(key, line.number);
  if (!added) return note(line, key + " is already set by line " + std::to_string(it->second));
  section.emplace_back(key, value);
}

// clamd's sizes: bytes, or a number with K or M (and G); empty when the
// size is more than the suite's 32-bit sizes hold.
std::string converter_t::size(const line_t& line) {
  std::string digits = line.value, unit;
  const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back())));
  if (last == 'K' || last == 'M' || last == 'G') {
    digits.pop_back();
    unit = std::string(1, static_cast<char>(std::tolower(last))) + "b";
  }
  const line_t bare{line.number, line.key, digits};
  const std::uint64_t value = number(bare);
  const std::uint64_t factor = unit.empty() ? 1 : unit == "kb" ? 1 << 10 : unit == "mb" ? 1 << 20 : 1 << 30;
  if (value > uint32_max / factor) {
    note(line, "more than the largest size the suite takes, " + std::to_string(uint32_max) + " bytes");
    return {};
  }
  return std::to_string(value) + unit;
}

void converter_t::take(const line_t& line) {
  const std::string& k = line.key;
  if (k == "LocalSocket") {
    if (line.value[0] != '/') fail(line, "not an absolute path");
    try {
      wd_parse_socket(line.value);
    } catch (const wd_value_error_t& e) {
      fail(line, e.what());
    }
    endpoints_.emplace_back("local", line.value);
  } else if (k == "TCPAddr") {
    tcp_addrs_.push_back(line);
  } else if (k == "TCPSocket" || k == "LogFile" || k == "LogSyslog" || k == "LogFacility" || k == "LogVerbose" ||
             k == "Debug") {
    held_.emplace(k, line);
  } else if (k == "StreamMaxLength") {
    if (const std::string value = size(line); !value.empty()) set(clamd_, line, "StreamMaxLength", value);
  } else if (k == "ReadTimeout") {
    const std::uint64_t seconds = number(line);
    if (seconds == 0) return note(line, "a client that sends nothing is always disconnected in the end");
    if (seconds > uint32_max / 1000) return note(line, "more than the longest time the suite takes, 49 days");
    set(clamd_, line, "ReadTimeout", std::to_string(seconds) + "s");
  } else if (k == "MaxScanTime") {
    // Milliseconds, 0 for no limit: the suite's ScanTimeout reads the same.
    set(clamd_, line, "ScanTimeout", std::to_string(number(line, uint32_max)));
  } else if (k == "MaxRecursion") {
    // One limit in clamd for every kind of nesting.
    const std::string levels = std::to_string(number(line, uint32_max));
    for (const char* key : {"PackerMaxLevel", "ArchiveMaxLevel", "MailMaxLevel", "ContainerMaxLevel"})
      set(clamd_, line, key, levels);
  } else if (k == "HeuristicAlerts" || k == "AlgorithmicDetection") {
    set(clamd_, line, "HeuristicAnalysis", switch_of(line) ? "yes" : "no");
  } else if (k == "DetectPUA") {
    const char* value = switch_of(line) ? "yes" : "no";
    for (const char* key : {"DetectAdware", "DetectDialers", "DetectJokes", "DetectRiskware", "DetectHacktools"})
      set(clamd_, line, key, value);
  } else if (k == "MaxThreads") {
    const std::uint64_t threads = number(line);
    if (threads < 1 || threads > 256) return note(line, "the scanning services take 1 to 256 threads");
    set(warden_, line, "SieveThreads", std::to_string(threads));
    set(warden_, line, "CourierThreads", std::to_string(threads));
  } else {
    note(line, reason_for(k));
  }
}

// TCPAddr lines are addresses of the one TCPSocket port; without that
// port clamd listens on none of them.
void converter_t::listen_tcp() {
  const auto port_line = held_.find("TCPSocket");
  if (port_line == held_.end()) {
    for (const auto& line : tcp_addrs_) note(line, "without TCPSocket, clamd does not listen on TCP");
    return;
  }
  const std::uint64_t port = number(port_line->second, 65535);
  if (port == 0) fail(port_line->second, "use a port from 1 to 65535");
  if (tcp_addrs_.empty()) {
    note(port_line->second, "clamd listens on every address; carried over as 0.0.0.0, every IPv4 address");
    endpoints_.emplace_back("tcp", "0.0.0.0:" + std::to_string(port));
    return;
  }
  std::set<std::string> sockets;
  for (const auto& line : tcp_addrs_) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(line.value, ec);
    if (ec) {
      note(line, "not an IP address; the suite listens on addresses, not host names");
      continue;
    }
    const std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    if (!sockets.insert(text).second) {
      note(line, "the same address again");
      continue;
    }
    const std::string tag = sockets.size() == 1 ? "tcp" : "tcp" + std::to_string(sockets.size());
    endpoints_.emplace_back(tag, text + ":" + std::to_string(port));
  }
}

// The daemon has one log destination and one level; clamd may have a file
// and syslog together, and two switches for the level.
void converter_t::log() {
  auto held = [this](const char* key) { return held_.count(key) ? &held_.at(key) : nullptr; };
  const line_t *file = held("LogFile"), *syslog = held("LogSyslog"), *facility = held("LogFacility");
  const bool to_syslog = syslog && switch_of(*syslog);
  if (file && file->value[0] != '/') fail(*file, "not an absolute path");
  if (file) {
    set(clamd_, *file, "Log", file->value);
    if (to_syslog) note(*syslog, "the daemon has one log destination: the file of LogFile");
  } else if (to_syslog) {
    std::string destination = "Syslog";
    if (facility) {
      // "LOG_LOCAL3" -> "Local3", as the suite names the facilities.
      std::string name = facility->value.compare(0, 4, "LOG_") == 0 ? facility->value.substr(4) : facility->value;
      try {
        destination = wd_log_text(wd_parse_log("Syslog:" + name));
      } catch (const wd_value_error_t&) {
        note(*facility, "not a facility the suite logs to (Daemon, User, Mail, Local0 ... Local7)");
      }
    }
    set(clamd_, *syslog, "Log", destination);
  }
  if (facility && (file || !to_syslog)) note(*facility, reason_for("LogFacility"));
  const line_t *verbose = held("LogVerbose"), *debug = held("Debug");
  if (debug && switch_of(*debug)) set(clamd_, *debug, "LogLevel", "Debug");
  else if (verbose && switch_of(*verbose)) set(clamd_, *verbose, "LogLevel", "Info");
}

std::string section(const char* name, const std::vector<std::pair<std::string, std::string>>& settings) {
  if (settings.empty()) return {};
  std::string out = std::string("\n[") + name + "]\n";
  for (const auto& [key, value] : settings) out += key + " = " + value + "\n";
  return out;
}

std::string converter_t::finish() {
  listen_tcp();
  log();
  std::string out = "# Converted from " + source_ + " by vemra-warden --import-clamd-conf.\n";
  if (endpoints_.empty())
    notes_.push_back("no LocalSocket or TCPSocket: the suite's default endpoints are used");
  if (!notes_.empty()) out += "# Not carried over, or carried over differently:\n";
  for (const auto& note : notes_) out += "#   " + note + "\n";
  out += section("Warden", warden_);
  out += section("ClamD", clamd_);
  for (const auto& [tag, socket] : endpoints_)
    out += section(("ClamD.Endpoint." + tag).c_str(), {{"ClamdSocket", socket}});
  return out;
}

}  // namespace

std::string wd_import_clamd_conf(const std::string& text, const std::string& source) {
  converter_t converter(source);
  for (const auto& line : read_lines(text, source)) converter.take(line);
  return converter.finish();
}
