// Runs a fuzz target's entry point over files, for builds without
// libFuzzer: the inputs that once made a target fail are replayed by the
// ordinary tests. A file whose name ends in ".hex" holds the input as
// hexadecimal digits (whitespace and lines starting with '#' ignored), so
// that inputs are kept as reviewable text.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The input held by a .hex file; false when it is not well formed.
bool decode_hex(const std::string& text, std::vector<std::uint8_t>& out) {
  int high = -1;
  bool comment = false;
  for (char c : text) {
    if (comment || c == '#') {
      comment = c != '\n';
      continue;
    }
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    const int d = hex_digit(c);
    if (d < 0) return false;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | d));
      high = -1;
    }
  }
  return high < 0;
}

bool replay(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::uint8_t> input;
  if (!in && !in.eof()) return false;
  if (path.extension() == ".hex") {
    if (!decode_hex(text, input)) return false;
  } else {
    input.assign(text.begin(), text.end());
  }
  LLVMFuzzerTestOneInput(input.data(), input.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i]))
        if (entry.is_regular_file()) files.push_back(entry.path());
    } else {
      files.emplace_back(argv[i]);
    }
  }
  // A replay that finds nothing to run has checked nothing.
  if (files.empty()) {
    std::fprintf(stderr, "no input files\n");
    return 2;
  }
  for (const auto& file : files) {
    if (!replay(file)) {
      std::fprintf(stderr, "%s: cannot read the input\n", file.c_str());
      return 2;
    }
  }
  std::printf("%zu inputs replayed\n", files.size());
  return 0;
}
