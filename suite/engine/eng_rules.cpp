#include "eng_rules.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include <yara.h>

#include "eng_builtin_rules.h"
#include "log.h"

namespace {

namespace fs = std::filesystem;

const char builtin_namespace[] = "vemra";
const char builtin_file[] = "<built-in>";
const std::size_t max_threat_name = 200;

struct threat_type_name_t {
  const char* text;
  vx::VirusType type;
};

const threat_type_name_t threat_types[] = {
    {"known", vx::SE_KNOWN_VIRUS},   {"modification", vx::SE_VIRUS_MODIFICATION},
    {"suspicious", vx::SE_UNKNOWN_VIRUS}, {"adware", vx::SE_ADWARE},
    {"dialer", vx::SE_DIALER},       {"joke", vx::SE_JOKE},
    {"riskware", vx::SE_RISKWARE},   {"hacktool", vx::SE_HACKTOOL},
};

void on_compiler_message(int level, const char* file, int line, const YR_RULE*, const char* message,
                         void* user_data) {
  eng_rule_error_t error;
  error.file = file ? file : builtin_file;
  error.line = line;
  error.message = message ? message : "";
  if (level == YARA_ERROR_LEVEL_WARNING) {
    CF_WARNING("Rules: " << error.to_string());
    return;
  }
  static_cast<std::vector<eng_rule_error_t>*>(user_data)->push_back(error);
}

bool is_rule_file(const fs::path& path) {
  const std::string ext = path.extension().string();
  const std::string name = path.filename().string();
  return (ext == ".yar" || ext == ".yara") && !name.empty() && name[0] != '.';
}

// Expands the configured paths into the rule files to compile.
void list_rule_files(const std::vector<std::string>& paths, std::vector<std::string>& files,
                     std::vector<eng_rule_error_t>& errors) {
  for (const auto& path : paths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      // A missing file is reported by the open that follows.
      files.push_back(path);
      continue;
    }
    std::vector<std::string> found;
    fs::directory_iterator it(path, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code type_ec;
      if (is_rule_file(it->path()) && it->is_regular_file(type_ec)) found.push_back(it->path().string());
    }
    if (ec) {
      errors.push_back({path, 0, ec.message()});
      continue;
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
}

std::string meta_problem(const YR_RULE* rule, eng_rules_t::threat_t& threat) {
  threat.type = vx::SE_KNOWN_VIRUS;
  threat.name = rule->identifier;
  const YR_META* meta;
  yr_rule_metas_foreach(rule, meta) {
    const std::string key = meta->identifier;
    if (key != "threat_type" && key != "threat_name") continue;
    if (meta->type != META_TYPE_STRING) return key + " must be a string";
    const std::string value = meta->string;
    if (key == "threat_name") {
      const bool printable = std::all_of(value.begin(), value.end(), [](char c) { return c > ' ' && c < 0x7f; });
      if (value.empty() || value.size() > max_threat_name || !printable)
        return "threat_name must be 1 to 200 printable characters without spaces";
      threat.name = value;
      continue;
    }
    const auto* found = std::find_if(std::begin(threat_types), std::end(threat_types),
                                     [&](const threat_type_name_t& t) { return value == t.text; });
    if (found == std::end(threat_types)) return "unknown threat_type '" + value + "'";
    threat.type = found->type;
  }
  return std::string();
}

}  // namespace

std::string eng_rule_error_t::to_string() const {
  if (line > 0) return file + ":" + std::to_string(line) + ": " + message;
  return file + ": " + message;
}

std::shared_ptr<const eng_rules_t> eng_rules_t::compile(const std::vector<std::string>& paths,
                                                        std::vector<eng_rule_error_t>& errors) {
  std::shared_ptr<eng_rules_t> set(new eng_rules_t);
  list_rule_files(paths, set->files_, errors);
  if (!errors.empty()) return nullptr;

  YR_COMPILER* compiler = nullptr;
  if (yr_compiler_create(&compiler) != ERROR_SUCCESS) {
    errors.push_back({builtin_file, 0, "Cannot create the rule compiler"});
    return nullptr;
  }
  std::unique_ptr<YR_COMPILER, void (*)(YR_COMPILER*)> compiler_guard(compiler, &yr_compiler_destroy);
  yr_compiler_set_callback(compiler, &on_compiler_message, &errors);

  // After a failed add the compiler is unusable, so compilation ends at the
  // first file with errors (all of that file's errors are reported).
  if (yr_compiler_add_string(compiler, eng_builtin_rules(), builtin_namespace) != 0) return nullptr;
  for (const auto& file : set->files_) {
    FILE* f = fopen(file.c_str(), "re");
    if (!f) {
      errors.push_back({file, 0, strerror(errno)});
      return nullptr;
    }
    const int failed = yr_compiler_add_file(compiler, f, file.c_str(), file.c_str());
    fclose(f);
    if (failed) return nullptr;
  }

  if (yr_compiler_get_rules(compiler, &set->rules_) != ERROR_SUCCESS) {
    errors.push_back({builtin_file, 0, "Not enough memory to build the rules"});
    return nullptr;
  }

  const YR_RULE* rule;
  yr_rules_foreach(set->rules_, rule) {
    if (RULE_IS_PRIVATE(rule)) continue;
    threat_t threat;
    const std::string problem = meta_problem(rule, threat);
    if (!problem.empty()) {
      errors.push_back({rule->ns->name, 0, "rule " + std::string(rule->identifier) + ": " + problem});
      continue;
    }
    set->threats_.emplace(rule, std::move(threat));
  }
  if (!errors.empty()) return nullptr;

  set->stamp_ = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  return set;
}

eng_rules_t::~eng_rules_t() {
  if (rules_) yr_rules_destroy(rules_);
}

const eng_rules_t::threat_t* eng_rules_t::threat(const YR_RULE* rule) const {
  auto it = threats_.find(rule);
  return it == threats_.end() ? nullptr : &it->second;
}
