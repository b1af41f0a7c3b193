#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "log.pb.h"
#include "socket.pb.h"

namespace google::protobuf {
class EnumDescriptor;
class EnumValueDescriptor;
}  // namespace google::protobuf

// Parsers of single configuration values. Each throws wd_value_error_t
// with a message meant for the administrator (the caller adds file, line
// and key).
class wd_value_error_t : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

// "500ms", "30s", "2m", "1h", or bare milliseconds; at most max ms.
std::uint64_t wd_parse_time(const std::string& text, std::uint64_t max);
// "512b", "64kb", "25mb", "1gb" (powers of 1024), or bare bytes; at most max.
std::uint64_t wd_parse_size(const std::string& text, std::uint64_t max);
// A plain decimal number, at most max.
std::uint64_t wd_parse_count(const std::string& text, std::uint64_t max);
// yes/no, on/off, true/false, 1/0, in any letter case.
bool wd_parse_switch(const std::string& text);
// An enumeration value by its display text or its name, in any letter case.
const google::protobuf::EnumValueDescriptor& wd_parse_enum(const std::string& text,
                                                           const google::protobuf::EnumDescriptor& type);
// Stderr, Syslog, Syslog:<facility>, Auto, or an absolute file path.
vx::Log wd_parse_log(const std::string& text);
// An absolute Unix-socket path, or IPv4-address:port, or [IPv6-address]:port.
vx::AnySocket wd_parse_socket(const std::string& text);
// Where a TCP service of Warden's own listens: IPv4-address:port,
// [IPv6-address]:port, or a bare port, which means the loopback address so
// that turning a service on never exposes it by accident.
vx::IPSocket wd_parse_listen(const std::string& text);

// The configuration key of a field: read_timeout -> ReadTimeout.
std::string wd_camel_case(const std::string& field_name);
// ASCII comparison ignoring letter case.
bool wd_iequals(const std::string& a, const std::string& b);
// "Stderr", "Syslog:Local0", "/var/log/x": the text form of a log record.
std::string wd_log_text(const vx::Log& log);
// "/run/x.sock", "127.0.0.1:3310", "[::1]:3310".
std::string wd_socket_text(const vx::AnySocket& socket);
