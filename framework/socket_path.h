#pragma once

#include <string>

// One Unix socket file however its path is spelled: the directory resolved
// (doubled slashes, ".", "..", symbolic links) and the name appended, so
// that two endpoints naming one file can be told apart from two files. A
// directory that does not exist yet is compared by its spelling alone.
std::string cf_socket_path_identity(const std::string& path);
