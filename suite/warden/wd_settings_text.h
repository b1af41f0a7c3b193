#pragma once

#include <string>

#include "wd_settings.h"

// The settings as a configuration file that reads back to the same
// settings (what --check prints).
std::string wd_settings_text(const wd_settings_t& settings);
