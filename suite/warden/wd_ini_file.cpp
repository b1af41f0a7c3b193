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

// A control character (a NUL above all) would silently cut a path short
// once handed to the system.
bool has_control_character(const std::string& line) {
  for (unsigned char c : line)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  return false;
}

}  // namespace

wd_ini_file_t wd_ini_file_t::parse(const std::string& text, const std::string& name) {
  if (text.size() > max_size)
    throw wd_config_error_t({{name, 0, "", "file is larger than " + std::to_string(max_size) + " bytes"}});
  wd_ini_file_t file;
  file.name_ = name;
  issues_t issues;
  std::size_t pos = 0;
  unsigned number = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    if (has_control_character(raw)) {
      issues.push_back({name, number, "", "control character in line"});
      continue;
    }
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') file.read_header(line, number, issues);
    else file.read_entry(line, number, issues);
  }
  if (!issues.empty()) throw wd_config_error_t(std::move(issues));
  return file;
}

void wd_ini_file_t::read_header(const std::string& line, unsigned number, issues_t& issues) {
  auto refuse = [&](const std::string& message) {
    issues.push_back({name_, number, "", message});
    // Keys up to the next header must not land in the previous section:
    // they go to a nameless one, which is dropped.
    sections_.push_back({"", number, {}});
  };
  const auto close = line.find(']');
  if (close == std::string::npos) return refuse("missing ']' after section name");
  const std::string rest = trim(line.substr(close + 1));
  if (!rest.empty() && rest[0] != '#' && rest[0] != ';')
    return refuse("unexpected text after section name: '" + rest + "'");
  const std::string section = trim(line.substr(1, close - 1));
  if (!valid_section_name(section))
    return refuse("bad section name '[" + section + "]' (letters, digits, '_', '-', separated by dots)");
  sections_.push_back({section, number, {}});
}

void wd_ini_file_t::read_entry(const std::string& line, unsigned number, issues_t& issues) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) {
    issues.push_back({name_, number, "", "expected 'Key = Value' or '[Section]', got '" + line + "'"});
    return;
  }
  const std::string key = trim(line.substr(0, eq));
  if (!valid_key(key)) {
    issues.push_back({name_, number, "", "bad key '" + key + "' (letters, digits, '_', '-')"});
    return;
  }
  if (sections_.empty()) {
    issues.push_back({name_, number, key, "key outside any section"});
    return;
  }
  // Under a bad header: that header was reported already.
  if (sections_.back().name.empty()) return;
  sections_.back().entries.push_back({key, trim(line.substr(eq + 1)), number});
}

wd_ini_file_t wd_ini_file_t::load(const std::string& path) {
  auto fail = [&path](const std::string& what) -> wd_config_error_t {
    return wd_config_error_t({{path, 0, "", what}});
  };
  // A FIFO or a device would block the opening (and the reading) until some
  // writer came along, holding up the reload and every signal after it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
