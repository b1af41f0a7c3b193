#pragma once

#include <ostream>
#include <string>

#include <google/protobuf/message.h>

#include "application.pb.h"

// Describes the executable named by argv[0] (resolved against the current
// directory, not PATH): version, ctime, mtime, size, MD5 and owner.
vx::AppExeInfo collect_exe_info(const std::string& version, int argc, char** argv);

// The raw 16-byte MD5 digest of a file's contents; throws
// cf_proto_exception_t "MD5: ...: path" on failure.
std::string exe_md5(const std::string& path);

// Writes a message in protobuf's compact JSON form.
void print_json(std::ostream& out, const google::protobuf::Message& message);

// Prints the executable's description as one JSON line; "{}" when it
// cannot be collected.
void dump_app_info(std::ostream& out, const std::string& version, int argc, char** argv);
