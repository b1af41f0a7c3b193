// Report trees to clamd result lines.
#include <gtest/gtest.h>

#include "scan_result_lines.h"
#include "text_message.h"

namespace {

vx::ScanReport report_of(const std::string& text) { return parse_text<vx::ScanReport>(text); }

std::string joined(const std::vector<cf_result_line_t>& lines) {
  std::string s;
  for (const auto& line : lines) s += (s.empty() ? "" : "|") + line.text;
  return s;
}

TEST(ResultLines, FirstThreatThenFirstErrorThenOk) {
  const std::string two_viruses_and_error =
      "object: 'a' virus { type: SE_KNOWN_VIRUS name: 'One' } "
      "item { object: 'a/m' error: SE_READ_ERROR virus { type: SE_ADWARE name: 'Two' } }";
  const struct {
    std::string report;
    bool all_match;
    std::string lines;
  } cases[] = {
      {"object: 'a'", false, "OK"},
      {"object: 'a'", true, "OK"},
      // A member's threat is reported on the container's line.
      {"object: 'a' item { object: 'a/x' } item { object: 'a/y' virus { type: SE_KNOWN_VIRUS name: 'Eicar' } }",
       false, "Eicar FOUND"},
      {two_viruses_and_error, false, "One FOUND"},
      {two_viruses_and_error, true, "One FOUND|Two FOUND|Read error. ERROR"},
      {"object: 'a' error: SE_FILE_NOT_FOUND", false, "File not found. ERROR"},
      {"object: 'a' item { object: 'x' error: SE_ARCH_CRC_ERROR } item { object: 'y' error: SE_READ_ERROR }", false,
       "Archive CRC error. ERROR"},
      {"object: 'a' item { object: 'x' error: SE_ARCH_CRC_ERROR } item { object: 'y' error: SE_READ_ERROR }", true,
       "Archive CRC error. ERROR|Read error. ERROR"},
      // Password protection is not an error.
      {"object: 'a' error: SE_PASSWORD_PROTECTED", false, "OK"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(joined(cf_result_lines(report_of(c.report), c.all_match)), c.lines) << c.report;
}

TEST(ResultLines, SwitchedOffTypesCountAsAbsent) {
  const auto report = report_of(
      "object: 'a' virus { type: SE_ADWARE name: 'Ad' } item { object: 'm' virus { type: SE_JOKE name: 'Joke' } }");
  auto no_adware = [](vx::VirusType t) { return t != vx::SE_ADWARE; };
  EXPECT_EQ(joined(cf_result_lines(report, false, no_adware)), "Joke FOUND");
  EXPECT_EQ(joined(cf_result_lines(report, true, [](vx::VirusType) { return false; })), "OK");
  const auto lines = cf_result_lines(report, false, no_adware);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].kind, cf_result_line_t::found);
}

TEST(ResultLines, ProtectedObjectsAreNotedNotReported) {
  const auto report = report_of(
      "object: 'a' item { object: 'p1' error: SE_PASSWORD_PROTECTED } "
      "item { object: 'p2' error: SE_PASSWORD_PROTECTED }");
  std::vector<std::string> noted;
  const auto lines = cf_result_lines(report, false, {}, [&](const vx::ScanReport& r) { noted.push_back(r.object()); });
  EXPECT_EQ(joined(lines), "OK");
  EXPECT_EQ(lines[0].kind, cf_result_line_t::clean);
  EXPECT_EQ(noted, (std::vector<std::string>{"p1", "p2"}));
  EXPECT_EQ(cf_scan_error_text(999), "999");
}

}  // namespace
