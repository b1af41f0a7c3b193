#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts a program of the suite: argv {program, args...}, the given
// environment, standard input from /dev/null, standard output and error
// inherited, the descriptors in pass renumbered 3, 4, ... and every other
// descriptor closed, default signal dispositions, and a process group of
// its own (so a Ctrl-C on Warden's terminal reaches Warden only, which
// then stops its children in order). Returns the process id once the
// program runs; a program that cannot be executed throws
// cf_system_error_t with the prefix "execute <program>".
pid_t wd_spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& pass,
               const std::vector<std::string>& environment);

// Warden's environment without the variables that tell a program of the
// suite how it was started (COM_VEMRA_*), plus the given ones.
std::vector<std::string> wd_child_environment(const std::vector<std::string>& add);
