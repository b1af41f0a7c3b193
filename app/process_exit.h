#pragma once

#include <string>

#include <google/protobuf/stubs/logging.h>

// Logs "Exit with status N (text)" at Notice and exits with N (static
// destructors run, the log is flushed). Installs the console sink first
// when none exists, so the line reaches stderr.
[[noreturn]] void exit_with_status(int status);

// The display text of an exit status: the lex text or name of the suite
// error value, or the number itself when it is not one.
std::string exit_status_text(int status);

// Installed with std::set_terminate: logs what ended the process and
// _exits with its status.
[[noreturn]] void terminate_handler();

// Installed as protobuf's log handler: its messages go to our log.
void protobuf_log_handler(google::protobuf::LogLevel level, const char* filename, int line,
                          const std::string& message);

// Installs the console sink at Notice when no sink exists yet.
void ensure_log_sink();
