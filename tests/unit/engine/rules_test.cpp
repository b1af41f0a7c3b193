#include <gtest/gtest.h>

#include "eng_engine.h"
#include "fixtures.h"
#include "temp_dir.h"

namespace {

std::string scan(const eng_engine_t& engine, const std::string& data, bool heuristics = true) {
  eng_options_t options;
  options.heuristic_analysis = heuristics;
  return fixture::tree(engine.scan_buffer("o", data.data(), data.size(), options));
}

TEST(EngineRules, BuiltInRules) {
  const std::string file = fixture::eicar();
  const struct {
    std::string data;
    const char* found;  // "" when clean
    bool heuristics = true;
  } rows[] = {
      // The test file as its standard defines it: alone, or followed by
      // nothing but white space up to 128 bytes in all.
      {file, "KNOWN_VIRUS:EICAR-Test-File"},
      {file + "\r\n \t\x1a", "KNOWN_VIRUS:EICAR-Test-File"},
      {file + std::string(128 - file.size(), ' '), "KNOWN_VIRUS:EICAR-Test-File"},
      {file + std::string(129 - file.size(), ' '), ""},
      {file + " trailing", ""},
      {"see: " + file, ""},
      {file.substr(0, 67), ""},
      // The test signatures are markers at the start, so documents that name
      // them stay clean.
      {"VEMRA-TEST-SIGNATURE-KNOWN-VIRUS\nmore", "KNOWN_VIRUS:Vemra-Test-Known-Virus"},
      {"VEMRA-TEST-SIGNATURE-SUSPICIOUS", "UNKNOWN_VIRUS:Vemra-Test-Suspicious"},
      {"x VEMRA-TEST-SIGNATURE-HACKTOOL", ""},
      // Only the suspicious type is a heuristic.
      {"VEMRA-TEST-SIGNATURE-SUSPICIOUS", "", false},
      {"VEMRA-TEST-SIGNATURE-JOKE", "JOKE:Vemra-Test-Joke", false},
  };
  eng_engine_t engine;
  for (const auto& row : rows)
    EXPECT_EQ(scan(engine, row.data, row.heuristics), *row.found ? std::string("o ") + row.found : "o")
        << row.data;
}

TEST(EngineRules, AdministratorRulesAddDetections) {
  temp_dir_t dir;
  dir.write("typed.yar",
            "rule local_typed { meta: threat_type = \"riskware\" threat_name = \"Local-Riskware\"\n"
            "  strings: $a = \"local riskware\" condition: $a }\n"
            "private rule helper { strings: $h = \"helper only\" condition: $h }\n");
  dir.write("plain.yara", "rule local_plain { strings: $a = \"local plain\" condition: $a }\n");
  // Not a rule file by its name: never compiled.
  dir.write("notes.txt", "this is not YARA at all {");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({dir.path()}).empty());
  EXPECT_EQ(scan(engine, "... local riskware ..."), "o RISKWARE:Local-Riskware");
  // Without metadata: a known virus named after the rule.
  EXPECT_EQ(scan(engine, "local plain"), "o KNOWN_VIRUS:local_plain");
  EXPECT_EQ(scan(engine, "helper only"), "o");
  EXPECT_EQ(engine.rules()->files().size(), 2u);
  // Reloading without the directory drops its rules.
  ASSERT_TRUE(engine.load_rules({}).empty());
  EXPECT_EQ(scan(engine, "local plain"), "o");
}

TEST(EngineRules, BrokenRuleFilesLeaveTheRulesInForce) {
  temp_dir_t dir;
  const std::string good = dir.write("good.yar", "rule good_one { strings: $a = \"good rule\" condition: $a }\n");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({good}).empty());
  const auto before = engine.rules();

  // "rule fine { condition: true }" would match everything if it got in.
  const struct {
    std::string name, text, error;
  } broken[] = {
      {"syntax.yar", "rule fine { condition: true }\n\nrule broken { strings: $a = \"x\" condition: $a and }\n",
       ":3: syntax error"},
      {"meta.yar", "rule typo { meta: threat_type = \"adwre\" condition: true }\n",
       ": rule typo: unknown threat_type 'adwre'"},
      {"name.yar", "rule spaced { meta: threat_name = \"two words\" condition: true }\n",
       ": rule spaced: threat_name must be 1 to 200 printable characters without spaces"},
      {"missing.yar", "", ": No such file or directory"},  // not written
  };
  for (const auto& row : broken) {
    const std::string path = row.text.empty() ? dir.path() + "/" + row.name : dir.write(row.name, row.text);
    const auto errors = engine.load_rules({good, path});
    ASSERT_EQ(errors.size(), 1u) << row.name;
    EXPECT_EQ(errors[0].to_string(), path + row.error);
  }

  EXPECT_EQ(engine.rules(), before);
  EXPECT_EQ(scan(engine, "good rule"), "o KNOWN_VIRUS:good_one");
  EXPECT_EQ(scan(engine, "anything"), "o");
}

}  // namespace
