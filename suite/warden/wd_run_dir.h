#pragma once

#include <memory>
#include <string>

// The suite's run directory, held while Warden uses it: created with mode
// 0700 when missing; when present it must be a real directory (not a
// symbolic link) owned by Warden's user, and its mode is narrowed to 0700,
// so no other user can reach the suite's private sockets. A lock file in
// it keeps a second Warden from using the same directory.
class wd_run_dir_t {
public:
  // Prepares and locks the directory. Throws cf_system_error_t or
  // cf_proto_exception_t saying what is wrong.
  static std::unique_ptr<wd_run_dir_t> open(const std::string& path);
  ~wd_run_dir_t();
  wd_run_dir_t(const wd_run_dir_t&) = delete;
  wd_run_dir_t& operator=(const wd_run_dir_t&) = delete;

  const std::string& path() const { return path_; }

private:
  wd_run_dir_t(std::string path, int lock_fd) : path_(std::move(path)), lock_fd_(lock_fd) {}

  std::string path_;
  int lock_fd_;
};
