#include "wd_ini_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

const char blanks[] = " \t";

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// Section names are dot-separated words: "ClamD", "ClamD.Endpoint.tcp".
bool valid_section_name(const std::string& name) {
  if (name.empty() || name.front() == '.' || name.back() == '.') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '.') {
      if (name[i + 1] == '.') return false;
    } else if (!is_name_char(name[i])) {
      return false;
    }
  }
  return true;
}

bool valid_key(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key)
    if (!is_name_char(c)) return false;
  return true;
}

}  // namespace

wd_ini_file_t wd_ini_file_t::parse(const std::string& text, const std::string& name) {
  wd_ini_file_t file;
  file.name_ = name;
  std::vector<wd_config_issue_t> issues;
  auto issue = [&](unsigned line, const std::string& message) { issues.push_back({name, line, "", message}); };

  if (text.size() > max_size) {
    issue(0, "file is larger than " + std::to_string(max_size) + " bytes");
    throw wd_config_error_t(std::move(issues));
  }

  std::size_t pos = 0;
  unsigned number = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();

    // A control character (a NUL above all) would silently cut a path short
    // once handed to the system.
    bool control = false;
    for (unsigned char c : raw)
      if ((c < 0x20 && c != '\t') || c == 0x7f) control = true;
    if (control) {
      issue(number, "control character in line");
      continue;
    }

    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;

    if (line[0] == '[') {
      const auto close = line.find(']');
      // After a bad header, keys up to the next one must not land in the
      // previous section: they go to a nameless one, which is dropped.
      if (close == std::string::npos) {
        issue(number, "missing ']' after section name");
        file.sections_.push_back({"", number, {}});
        continue;
      }
      const std::string rest = trim(line.substr(close + 1));
      if (!rest.empty() && rest[0] != '#' && rest[0] != ';') {
        issue(number, "unexpected text after section name: '" + rest + "'");
        file.sections_.push_back({"", number, {}});
        continue;
      }
      const std::string section = trim(line.substr(1, close - 1));
      if (!valid_section_name(section)) {
        issue(number, "bad section name '[" + section + "]' (letters, digits, '_', '-', separated by dots)");
        file.sections_.push_back({"", number, {}});
        continue;
      }
      file.sections_.push_back({section, number, {}});
      continue;
    }

    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      issue(number, "expected 'Key = Value' or '[Section]', got '" + line + "'");
      continue;
    }
    const std::string key = trim(line.substr(0, eq));
    if (!valid_key(key)) {
      issue(number, "bad key '" + key + "' (letters, digits, '_', '-')");
      continue;
    }
    if (file.sections_.empty()) {
      issues.push_back({name, number, key, "key outside any section"});
      continue;
    }
    if (file.sections_.back().name.empty()) continue;
    file.sections_.back().entries.push_back({key, trim(line.substr(eq + 1)), number});
  }

  if (!issues.empty()) throw wd_config_error_t(std::move(issues));
  return file;
}

wd_ini_file_t wd_ini_file_t::load(const std::string& path) {
  auto fail = [&path](const std::string& what) -> wd_config_error_t {
    return wd_config_error_t({{path, 0, "", what}});
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fail(std::string("cannot open: ") + strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw fail("not a regular file");
  }
  // The file names the programs Warden runs, with Warden's privileges: it
  // must be as trustworthy as Warden itself.
  if ((st.st_mode & S_IWOTH) || (st.st_uid != 0 && st.st_uid != geteuid())) {
    ::close(fd);
    throw fail("refused: the file must belong to root or to Warden's user and must not be writable by others");
  }
  // One byte over the limit is enough to tell that a file is too large.
  std::string text(max_size + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, &text[got], text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw fail(std::string("cannot read: ") + strerror(error));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(got);
  return parse(text, path);
}
