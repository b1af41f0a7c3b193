#pragma once

#include <string>

// The command line of a program started without a supervisor: --help,
// --version and the unlisted --dump-app-info; anything else points to the
// manual page. Always exits; a bad command line throws the option
// library's exception.
[[noreturn]] void run_standalone(const std::string& program, const std::string& version, int argc, char** argv);
