// The clamd byte stream cut into units however a client's bytes arrive:
// whole, split at every byte position, and byte by byte.
#include <gtest/gtest.h>

#include "clamd_framing.h"

using namespace cl_clamd_framing;
using namespace std::string_literals;

namespace {

// Feeds the reads as the connection does: after "ARGS" the argument text,
// after "BLOCK" 4 bytes, else the next command word. Units are noted as
// "<n|z|u>:<word>[+ when arguments follow]", "arg:", "block:", "too long".
std::string units_of(const std::vector<std::string>& reads) {
  enum { command, arguments, block } want = command;
  terminator_t terminator = unprefixed;
  std::string input, units;
  auto note = [&units](const std::string& unit) { units += (units.empty() ? "" : "|") + unit; };
  for (const auto& bytes : reads) {
    input += bytes;
    for (;;) {
      const cut_t cut = want == command     ? cut_command(input.data(), input.size())
                        : want == arguments ? cut_arguments(input.data(), input.size(), terminator)
                                            : cut_block(input.size(), 4);
      if (cut.status == too_long) return units + (units.empty() ? "" : "|") + "too long";
      if (cut.status != complete) break;
      if (want == command) {
        terminator = cut.terminator;
        note("nzu"[terminator] + (":" + cut.text) + (cut.has_arguments ? "+" : ""));
      } else {
        note(want == arguments ? "arg:" + cut.text : "block:" + input.substr(0, cut.used));
      }
      want = want != command ? command : cut.text == "ARGS" ? arguments : cut.text == "BLOCK" ? block : command;
      input.erase(0, cut.used);
    }
  }
  return units;
}

const std::string longest(max_argument_length, 'p');

const struct {
  std::vector<std::string> reads;
  std::string units;
  // Prefixed commands come out the same however the bytes are cut; an
  // unprefixed command is what has arrived.
  bool any_cut;
} cases[] = {
    {{"nPING\r\r\n"}, "n:PING", true},
    {{"zPING\r\n\0"s}, "z:PING\r\n", true},
    {{"nPI\0NG\n"s}, "n:PI\0NG"s, true},
    {{"nPING \n"}, "n:PING+|u:", true},
    {{"zIDSESSION\0zPING\0nVERSION\n"s}, "z:IDSESSION|z:PING|n:VERSION", true},
    {{"nARGS /tmp/x y\n"}, "n:ARGS+|arg:/tmp/x y", true},
    {{"zARGS a\nb\0nPING\n"s}, "z:ARGS+|arg:a\nb|n:PING", true},
    {{"nBLOCK\nab\ncnPING\n"}, "n:BLOCK|block:ab\nc|n:PING", true},
    {{"zARGS " + longest + "\0"s}, "z:ARGS+|arg:" + longest, true},
    {{"zARGS " + longest + "p"}, "z:ARGS+|too long", true},
    {{"nARGS " + longest + "p\n"}, "n:ARGS+|too long", true},
    {{"nVERSIONCOMMANDS\r\n"}, "n:VERSIONCOMMANDS", true},
    {{"zALLMATCHSCAN "}, "z:ALLMATCHSCAN+", true},
    {{"nVERSIONCOMMANDS\r\r"}, "too long", true},
    {{"PING\r\n"}, "u:PING", false},
    {{"PI", "NG\n"}, "u:PI|u:NG", false},
    {{"PING\nnPING\n"}, "u:PING|n:PING", false},
    {{"ARGS /a/b\r\n"}, "u:ARGS+|arg:/a/b", false},
    {{"ARGS /a", "/b\n"}, "u:ARGS+|arg:/a|u:/b", false},
};

}  // namespace

TEST(Framing, UnitsComeOutTheSameHoweverTheBytesArrive) {
  for (const auto& c : cases) {
    EXPECT_EQ(c.units, units_of(c.reads)) << ::testing::PrintToString(c.reads);
    const std::string& bytes = c.reads[0];
    std::vector<std::string> one_by_one;
    for (char b : bytes) one_by_one.emplace_back(1, b);
    if (!c.any_cut) continue;
    EXPECT_EQ(c.units, units_of(one_by_one)) << "byte by byte: " << ::testing::PrintToString(bytes);
    for (std::size_t at = 1; at < bytes.size(); ++at)
      if (units_of({bytes.substr(0, at), bytes.substr(at)}) != c.units) {
        ADD_FAILURE() << "split at " << at << ": " << ::testing::PrintToString(bytes);
        break;
      }
  }
}
