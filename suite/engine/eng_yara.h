#pragma once

// Holds libyara initialised for as long as it lives. Any number may exist
// at once, on any thread; the library is finalised with the last one.
class eng_yara_t {
public:
  // Throws std::runtime_error when the library cannot be initialised.
  eng_yara_t();
  ~eng_yara_t();
  eng_yara_t(const eng_yara_t&) = delete;
  eng_yara_t& operator=(const eng_yara_t&) = delete;
};
