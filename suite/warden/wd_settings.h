#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "application.pb.h"
#include "clamd_config.pb.h"
#include "wd_config.pb.h"
#include "wd_ini_file.h"

// What the command line adds to the configuration file.
struct wd_options_t {
  std::string config_path;  // empty: the embedded default configuration
  std::string run_dir;      // replaces [Warden] RunDir when not empty
  unsigned tcp_port = 0;    // replaces the port of every TCP endpoint when not 0
  std::string self_exe;     // vemra-warden's own executable; programs are looked up beside it
  uid_t uid = 0;            // the user Warden runs as; picks the default RunDir
  std::string runtime_dir;  // $XDG_RUNTIME_DIR, if set: a user's default RunDir goes there
  std::string service_run_dir;  // the service manager's RUNTIME_DIRECTORY: the default RunDir when set
  std::string notify_socket;    // the service manager's NOTIFY_SOCKET, told when the suite is ready
};

// The suite's configuration as Warden uses it, every default resolved:
// the daemon's record exactly as it is sent, and Warden's own settings.
struct wd_settings_t {
  std::string source;  // the file read, or "embedded default"
  vx::ClamdConfig clamd;
  vx::WardenConfig warden;

  // The applications installed (enabled) in the suite, Warden first.
  std::vector<vx::Application> installed_apps() const;
};

// Reads the configuration file named by the options (or takes the embedded
// default) and resolves it. Throws wd_config_error_t naming every problem.
wd_settings_t wd_load_settings(const wd_options_t& options);

// Resolves a parsed file (null: the embedded default) with the options:
// defaults for whatever the file leaves out, the default endpoints when it
// names none, the daemon's log destination (Auto: where Warden logs), the
// daemon's program path, and the global Detect* switches copied into every
// endpoint that does not set its own.
wd_settings_t wd_resolve_settings(const wd_ini_file_t* file, const wd_options_t& options);

// Full names of the daemon's fields that Warden fills itself: a file may
// not set them, and the printed configuration leaves them out.
const std::set<std::string>& wd_clamd_hidden_fields();

// The default run directory: /run/vemra for root; for another user
// <runtime_dir>/vemra when the session has a runtime directory (private to
// the user, so nobody can take the name first), else /tmp/vemra-<uid>.
std::string wd_default_run_dir(uid_t uid, const std::string& runtime_dir);

// A program of the suite: beside vemra-warden (the installed layout), else
// where the build tree puts it (<build>/<subdir>/<program>); the first of
// them when neither is executable.
std::string wd_program_path(const std::string& self_exe, const std::string& program, const std::string& subdir);
