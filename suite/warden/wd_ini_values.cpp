#include "wd_ini_values.h"

#include <sys/un.h>

#include <cctype>
#include <limits>

#include <boost/asio/ip/address.hpp>
#include <google/protobuf/descriptor.h>

#include "proto_error_category.h"

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Splits "30 s" into digits and unit; throws when no digits lead.
std::uint64_t leading_number(const std::string& text, std::string& unit, const std::string& what) {
  std::size_t i = 0;
  std::uint64_t value = 0;
  bool overflow = false;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) overflow = true;
    else value = value * 10 + digit;
    ++i;
  }
  if (i == 0) throw wd_value_error_t("bad " + what + " '" + text + "'");
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  unit = lower(text.substr(i));
  if (overflow) value = std::numeric_limits<std::uint64_t>::max();
  return value;
}

std::uint64_t scaled(std::uint64_t value, std::uint64_t factor, std::uint64_t max, const std::string& text,
                     const char* unit) {
  if (value > max / factor)
    throw wd_value_error_t("'" + text + "' is too large (at most " + std::to_string(max) + (*unit ? " " : "") + unit +
                           ")");
  return value * factor;
}

// "Debug, Info, Notice, Warning, Error": the display texts of an enumeration.
std::string choices(const google::protobuf::EnumDescriptor& type) {
  std::string out;
  for (int i = 0; i < type.value_count(); ++i) out += (i ? ", " : "") + cf_lex_text(*type.value(i));
  return out;
}

}  // namespace

std::uint64_t wd_parse_time(const std::string& text, std::uint64_t max) {
  static const char usage[] = ": use a whole number with ms, s, m or h (a bare number is milliseconds)";
  std::string unit;
  std::uint64_t value;
  try {
    value = leading_number(text, unit, "time");
  } catch (const wd_value_error_t& e) {
    throw wd_value_error_t(e.what() + std::string(usage));
  }
  std::uint64_t factor;
  if (unit.empty() || unit == "ms") factor = 1;
  else if (unit == "s") factor = 1000;
  else if (unit == "m") factor = 60 * 1000;
  else if (unit == "h") factor = 60 * 60 * 1000;
  else throw wd_value_error_t("bad time unit '" + unit + "' in '" + text + "'" + usage);
  return scaled(value, factor, max, text, "ms");
}

std::uint64_t wd_parse_size(const std::string& text, std::uint64_t max) {
  static const char usage[] = ": use a whole number with b, kb, mb or gb (a bare number is bytes)";
  std::string unit;
  std::uint64_t value;
  try {
    value = leading_number(text, unit, "size");
  } catch (const wd_value_error_t& e) {
    throw wd_value_error_t(e.what() + std::string(usage));
  }
  std::uint64_t factor;
  if (unit.empty() || unit == "b") factor = 1;
  else if (unit == "k" || unit == "kb" || unit == "kib") factor = 1 << 10;
  else if (unit == "m" || unit == "mb" || unit == "mib") factor = 1 << 20;
  else if (unit == "g" || unit == "gb" || unit == "gib") factor = 1 << 30;
  else throw wd_value_error_t("bad size unit '" + unit + "' in '" + text + "'" + usage);
  return scaled(value, factor, max, text, "bytes");
}

std::uint64_t wd_parse_count(const std::string& text, std::uint64_t max) {
  std::string unit;
  std::uint64_t value = 0;
  try {
    value = leading_number(text, unit, "number");
  } catch (const wd_value_error_t&) {
    unit = "x";
  }
  if (!unit.empty()) throw wd_value_error_t("bad number '" + text + "': use a whole decimal number");
  return scaled(value, 1, max, text, "");
}

bool wd_parse_switch(const std::string& text) {
  const std::string v = lower(text);
  if (v == "yes" || v == "on" || v == "true" || v == "1") return true;
  if (v == "no" || v == "off" || v == "false" || v == "0") return false;
  throw wd_value_error_t("bad switch '" + text + "': use yes or no (on/off, true/false)");
}

const google::protobuf::EnumValueDescriptor& wd_parse_enum(const std::string& text,
                                                           const google::protobuf::EnumDescriptor& type) {
  for (int i = 0; i < type.value_count(); ++i) {
    const auto& value = *type.value(i);
    if (wd_iequals(text, cf_lex_text(value)) || wd_iequals(text, value.name())) return value;
  }
  throw wd_value_error_t("bad value '" + text + "': use one of " + choices(type));
}

vx::Log wd_parse_log(const std::string& text) {
  vx::Log log;
  if (!text.empty() && text[0] == '/') {
    log.set_type(vx::Log::FILE);
    log.set_path(text);
    return log;
  }
  const auto colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  if (wd_iequals(kind, "syslog")) {
    log.set_type(vx::Log::SYSLOG);
    log.set_facility(vx::Log::DAEMON);
    if (colon != std::string::npos) {
      const std::string name = text.substr(colon + 1);
      const auto& type = *vx::Log::LogFacility_descriptor();
      try {
        log.set_facility(static_cast<vx::Log::LogFacility>(wd_parse_enum(name, type).number()));
      } catch (const wd_value_error_t&) {
        throw wd_value_error_t("bad syslog facility '" + name + "': use one of " + choices(type));
      }
    }
    return log;
  }
  if (colon == std::string::npos) {
    if (wd_iequals(text, "stderr")) {
      log.set_type(vx::Log::STDERR);
      return log;
    }
    if (wd_iequals(text, "auto")) {
      log.set_type(vx::Log::AUTO);
      return log;
    }
  }
  throw wd_value_error_t("bad log destination '" + text +
                         "': use Stderr, Syslog, Syslog:<facility>, Auto or an absolute file path");
}

vx::AnySocket wd_parse_socket(const std::string& text) {
  static const char usage[] = ": use an absolute Unix-socket path, IPv4-address:port or [IPv6-address]:port";
  vx::AnySocket socket;
  if (!text.empty() && text[0] == '/') {
    // The path must fit a socket address with its terminating NUL.
    const std::size_t limit = sizeof(sockaddr_un::sun_path) - 1;
    if (text.size() > limit)
      throw wd_value_error_t("socket path '" + text + "' is longer than " + std::to_string(limit) + " bytes");
    socket.set_local(text);
    return socket;
  }
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) throw wd_value_error_t("bad socket '" + text + "'" + usage);
  std::string host = text.substr(0, colon);
  const std::string port_text = text.substr(colon + 1);
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);

  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(host, ec);
  if (ec) throw wd_value_error_t("bad socket '" + text + "': '" + host + "' is not an IP address" + usage);
  if (address.is_v6() && !bracketed)
    throw wd_value_error_t("bad socket '" + text + "': write an IPv6 address in brackets, as [" + host + "]:port");
  if (address.is_v4() && bracketed)
    throw wd_value_error_t("bad socket '" + text + "': brackets are for IPv6 addresses only");

  std::uint64_t port;
  try {
    port = wd_parse_count(port_text, 65535);
  } catch (const wd_value_error_t&) {
    throw wd_value_error_t("bad port '" + port_text + "' in '" + text + "': use a number from 1 to 65535");
  }
  if (port == 0) throw wd_value_error_t("bad port '0' in '" + text + "': use a number from 1 to 65535");
  socket.mutable_ip()->set_address(address.to_string());
  socket.mutable_ip()->set_port(static_cast<std::uint32_t>(port));
  return socket;
}

vx::IPSocket wd_parse_listen(const std::string& text) {
  const bool bare_port = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  const vx::AnySocket socket = wd_parse_socket(bare_port ? "127.0.0.1:" + text : text);
  if (!socket.has_ip())
    throw wd_value_error_t("bad address '" + text + "': use a port, IPv4-address:port or [IPv6-address]:port");
  return socket.ip();
}

std::string wd_camel_case(const std::string& field_name) {
  std::string out;
  bool upper = true;
  for (char c : field_name) {
    if (c == '_') {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return out;
}

bool wd_iequals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string wd_log_text(const vx::Log& log) {
  switch (log.type()) {
    case vx::Log::FILE: return log.path();
    case vx::Log::SYSLOG: {
      const auto* facility = vx::Log::LogFacility_descriptor()->FindValueByNumber(log.facility());
      return "Syslog" + (facility && log.facility() != vx::Log::DAEMON ? ":" + cf_lex_text(*facility) : "");
    }
    default: return cf_lex_text(*vx::Log::LogType_descriptor()->FindValueByNumber(log.type()));
  }
}

std::string wd_socket_text(const vx::AnySocket& socket) {
  if (socket.has_local()) return socket.local();
  if (!socket.has_ip()) return "(none)";
  const std::string& address = socket.ip().address();
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(socket.ip().port());
}
