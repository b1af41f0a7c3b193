#pragma once

#include <string>

// Turns the text of a clamd.conf ("Key value" lines, '#' comments) into the
// text of a vemra.conf that configures the suite the same way, as far as
// the suite has the same settings. Every key that is not carried over is
// kept as a comment saying why. source names the file in the output and in
// errors. Throws wd_config_error_t naming source:line for every line that
// does not read as a clamd setting or holds a value clamd would refuse.
std::string wd_import_clamd_conf(const std::string& text, const std::string& source);
