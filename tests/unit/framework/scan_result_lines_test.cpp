// Report trees to clamd result lines.
#include <gtest/gtest.h>

#include "scan_result_lines.h"
#include "text_message.h"

namespace {

vx::ScanReport report_of(const std::string& text) { return parse_text<vx::ScanReport>(text); }

// Each line as "<c|f|e>:<text>" by its kind (clean, found, error).
std::string joined(const std::vector<cf_result_line_t>& lines) {
  std::string s;
  for (const auto& line : lines) s += (s.empty() ? "" : "|") + std::string(1, "cfe"[line.kind]) + ":" + line.text;
  return s;
}

TEST(ResultLines, FirstThreatThenFirstErrorThenOk) {
  const std::string two_viruses_and_error =
      "object: 'a' virus { type: SE_KNOWN_VIRUS name: 'One' } "
      "item { object: 'a/m' error: SE_READ_ERROR virus { type: SE_ADWARE name: 'Two' } }";
  const std::string two_errors =
      "object: 'a' item { object: 'x' error: SE_ARCH_CRC_ERROR } item { object: 'y' error: SE_READ_ERROR }";
  const std::string adware_and_joke =
      "object: 'a' virus { type: SE_ADWARE name: 'Ad' } item { object: 'm' virus { type: SE_JOKE name: 'Joke' } }";
  const cf_detected_t no_adware = [](vx::VirusType t) { return t != vx::SE_ADWARE; };
  const struct {
    std::string report;
    bool all_match;
    std::string lines;
    cf_detected_t detected = {};
  } cases[] = {
      {"object: 'a'", false, "c:OK"},
      // A member's threat is reported on the container's line.
      {"object: 'a' item { object: 'a/x' } item { object: 'a/y' virus { type: SE_KNOWN_VIRUS name: 'Eicar' } }",
       false, "f:Eicar FOUND"},
      {two_viruses_and_error, false, "f:One FOUND"},
      {two_viruses_and_error, true, "f:One FOUND|f:Two FOUND|e:Read error. ERROR"},
      {"object: 'a' error: SE_FILE_NOT_FOUND", false, "e:File not found. ERROR"},
      {two_errors, false, "e:Archive CRC error. ERROR"},
      {two_errors, true, "e:Archive CRC error. ERROR|e:Read error. ERROR"},
      // Password protection is not an error.
      {"object: 'a' error: SE_PASSWORD_PROTECTED", false, "c:OK"},
      // Types switched off count as absent.
      {adware_and_joke, false, "f:Joke FOUND", no_adware},
      {adware_and_joke, true, "c:OK", [](vx::VirusType) { return false; }},
  };
  for (const auto& c : cases)
    EXPECT_EQ(joined(cf_result_lines(report_of(c.report), c.all_match, c.detected)), c.lines) << c.report;
}

TEST(ResultLines, ProtectedObjectsAreNotedNotReported) {
  const auto report = report_of(
      "object: 'a' item { object: 'p1' error: SE_PASSWORD_PROTECTED } "
      "item { object: 'p2' error: SE_PASSWORD_PROTECTED }");
  std::vector<std::string> noted;
  const auto lines = cf_result_lines(report, false, {}, [&](const vx::ScanReport& r) { noted.push_back(r.object()); });
  EXPECT_EQ(joined(lines), "c:OK");
  EXPECT_EQ(noted, (std::vector<std::string>{"p1", "p2"}));
  EXPECT_EQ(cf_scan_error_text(999), "999");
}

}  // namespace
