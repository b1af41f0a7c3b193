#pragma once

#include <string>

// A private directory, removed with everything in it when the object goes
// (permissions a test took away are given back first).
class temp_dir_t {
public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file (creating parent directories) and returns its path.
  std::string write(const std::string& name, const std::string& data) const;

private:
  std::string path_;
};
