#include "clamd_framing.h"

#include <algorithm>

namespace cl_clamd_framing {

namespace {

void trim_trailing(std::string& s, const char* bytes) {
  const auto last = s.find_last_not_of(bytes);
  s.erase(last == std::string::npos ? 0 : last + 1);
}

cut_t completed(std::size_t used, std::string text) {
  cut_t cut;
  cut.status = complete;
  cut.used = used;
  cut.text = std::move(text);
  return cut;
}

}  // namespace

char terminator_byte(terminator_t t) { return t == nul ? '\0' : '\n'; }

cut_t cut_command(const char* data, std::size_t size) {
  cut_t cut;
  if (size == 0) return cut;
  const terminator_t t = data[0] == 'n' ? newline : data[0] == 'z' ? nul : unprefixed;
  const char* const end = data + size;
  const char* found = std::find_if(data, end, [t](char c) { return c == ' ' || (t != unprefixed && c == terminator_byte(t)); });
  if (found != end) {
    std::string word(data, found);
    if (t == newline) trim_trailing(word, "\r");
    // The prefix is the first byte, never a delimiter nor a carriage return.
    if (t != unprefixed) word.erase(0, 1);
    cut = completed(static_cast<std::size_t>(found - data) + 1, std::move(word));
    cut.has_arguments = *found == ' ';
  } else if (t == unprefixed) {
    found = std::find(data, end, '\n');
    std::string word(data, found);
    trim_trailing(word, "\r\n");
    cut = completed(found == end ? size : static_cast<std::size_t>(found - data) + 1, std::move(word));
  } else if (size > max_incomplete_command) {
    cut.status = too_long;
  }
  cut.terminator = t;
  return cut;
}

cut_t cut_arguments(const char* data, std::size_t size, terminator_t t) {
  cut_t cut;
  if (t == unprefixed) {
    std::string text(data, size);
    trim_trailing(text, "\r\n");
    cut = completed(size, std::move(text));
  } else {
    const char* const end = data + size;
    const char* found = std::find(data, end, terminator_byte(t));
    if (found == end) {
      // Without a bound, a client that never sends the terminator could
      // grow our memory for as long as it likes.
      if (size > max_argument_length) cut.status = too_long;
      return cut;
    }
    cut = completed(static_cast<std::size_t>(found - data) + 1, std::string(data, found));
  }
  if (cut.text.size() > max_argument_length) cut.status = too_long;
  return cut;
}

cut_t cut_block(std::size_t size, std::uint32_t count) {
  cut_t cut;
  if (size >= count) {
    cut.status = complete;
    cut.used = count;
  }
  return cut;
}

}  // namespace cl_clamd_framing
