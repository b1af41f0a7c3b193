#include <gtest/gtest.h>

#include "eng_engine.h"
#include "fixtures.h"

namespace {

vx::ScanReport scan(const eng_engine_t& engine, const std::string& data, eng_options_t options = eng_options_t()) {
  return engine.scan_buffer("object", data.data(), data.size(), options);
}

std::string found(const char* type, const char* name) {
  return std::string("object: \"object\" virus { type: ") + type + " name: \"" + name + "\" }";
}

TEST(EngineRules, BuiltInTestFileFollowsItsStandard) {
  eng_engine_t engine;
  const std::string file = fixture::eicar();
  const std::string hit = found("SE_KNOWN_VIRUS", "EICAR-Test-File");
  EXPECT_TREE(scan(engine, file), hit);
  EXPECT_TREE(scan(engine, file + "\r\n \t\x1a"), hit);
  EXPECT_TREE(scan(engine, file + std::string(128 - file.size(), ' ')), hit);
  // Quoted inside other text, followed by more than white space, or padded
  // past 128 bytes, it is not the test file.
  EXPECT_TREE(scan(engine, "see: " + file), "object: \"object\"");
  EXPECT_TREE(scan(engine, file + " trailing"), "object: \"object\"");
  EXPECT_TREE(scan(engine, file + std::string(129 - file.size(), ' ')), "object: \"object\"");
  EXPECT_TREE(scan(engine, file.substr(0, 67)), "object: \"object\"");
}

TEST(EngineRules, EveryThreatTypeHasATestSignature) {
  struct row_t {
    const char* marker;
    const char* type;
    const char* name;
  };
  const row_t rows[] = {
      {"VEMRA-TEST-SIGNATURE-KNOWN-VIRUS", "SE_KNOWN_VIRUS", "Vemra-Test-Known-Virus"},
      {"VEMRA-TEST-SIGNATURE-VIRUS-MODIFICATION", "SE_VIRUS_MODIFICATION", "Vemra-Test-Virus-Modification"},
      {"VEMRA-TEST-SIGNATURE-SUSPICIOUS", "SE_UNKNOWN_VIRUS", "Vemra-Test-Suspicious"},
      {"VEMRA-TEST-SIGNATURE-ADWARE", "SE_ADWARE", "Vemra-Test-Adware"},
      {"VEMRA-TEST-SIGNATURE-DIALER", "SE_DIALER", "Vemra-Test-Dialer"},
      {"VEMRA-TEST-SIGNATURE-JOKE", "SE_JOKE", "Vemra-Test-Joke"},
      {"VEMRA-TEST-SIGNATURE-RISKWARE", "SE_RISKWARE", "Vemra-Test-Riskware"},
      {"VEMRA-TEST-SIGNATURE-HACKTOOL", "SE_HACKTOOL", "Vemra-Test-Hacktool"},
  };
  eng_engine_t engine;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.marker);
    EXPECT_TREE(scan(engine, std::string(row.marker) + "\nanything after the marker"), found(row.type, row.name));
    // Only at the start: documents that name the marker stay clean.
    EXPECT_TREE(scan(engine, std::string("x") + row.marker), "object: \"object\"");
  }
}

TEST(EngineRules, SuspiciousRulesReportOnlyWithHeuristics) {
  eng_engine_t engine;
  eng_options_t options;
  options.heuristic_analysis = false;
  const std::string data = "VEMRA-TEST-SIGNATURE-SUSPICIOUS";
  EXPECT_TREE(scan(engine, data, options), "object: \"object\"");
  // Other types are not heuristics.
  EXPECT_TREE(scan(engine, "VEMRA-TEST-SIGNATURE-JOKE", options), found("SE_JOKE", "Vemra-Test-Joke"));
  options.heuristic_analysis = true;
  EXPECT_TREE(scan(engine, data, options), found("SE_UNKNOWN_VIRUS", "Vemra-Test-Suspicious"));
}

TEST(EngineRules, AdministratorRulesAddDetections) {
  fixture::temp_dir_t dir;
  dir.write("typed.yar",
            "rule local_typed { meta: threat_type = \"riskware\" threat_name = \"Local-Riskware\"\n"
            "  strings: $a = \"local riskware\" condition: $a }\n"
            "private rule helper { strings: $h = \"helper only\" condition: $h }\n");
  dir.write("plain.yara", "rule local_plain { strings: $a = \"local plain\" condition: $a }\n");
  // Not a rule file by its name: never compiled.
  dir.write("notes.txt", "this is not YARA at all {");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({dir.path()}).empty());
  EXPECT_TREE(scan(engine, "... local riskware ..."), found("SE_RISKWARE", "Local-Riskware"));
  // Without metadata: a known virus named after the rule.
  EXPECT_TREE(scan(engine, "local plain"), found("SE_KNOWN_VIRUS", "local_plain"));
  EXPECT_TREE(scan(engine, "helper only"), "object: \"object\"");
  EXPECT_TREE(scan(engine, fixture::eicar()), found("SE_KNOWN_VIRUS", "EICAR-Test-File"));
  EXPECT_EQ(engine.rules()->files().size(), 2u);

  // Reloading without the directory drops its rules.
  ASSERT_TRUE(engine.load_rules({}).empty());
  EXPECT_TREE(scan(engine, "local plain"), "object: \"object\"");
}

TEST(EngineRules, BrokenRuleFilesLeaveTheRulesInForce) {
  fixture::temp_dir_t dir;
  const std::string good = dir.write("good.yar", "rule good_one { strings: $a = \"good rule\" condition: $a }\n");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({good}).empty());
  const auto before = engine.rules();

  const std::string syntax = dir.write("syntax.yar",
                                       "rule fine { condition: true }\n"
                                       "\n"
                                       "rule broken { strings: $a = \"x\" condition: $a and }\n");
  auto errors = engine.load_rules({good, syntax});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].file, syntax);
  EXPECT_EQ(errors[0].line, 3);
  EXPECT_NE(errors[0].message.find("syntax error"), std::string::npos) << errors[0].message;
  EXPECT_EQ(errors[0].to_string().rfind(syntax + ":3: ", 0), 0u) << errors[0].to_string();

  const std::string bad_meta =
      dir.write("meta.yar", "rule typo { meta: threat_type = \"adwre\" condition: true }\n");
  errors = engine.load_rules({bad_meta});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].file, bad_meta);
  EXPECT_NE(errors[0].message.find("typo"), std::string::npos);
  EXPECT_NE(errors[0].message.find("adwre"), std::string::npos);

  const std::string bad_name =
      dir.write("name.yar", "rule spaced { meta: threat_name = \"two words\" condition: true }\n");
  EXPECT_EQ(engine.load_rules({bad_name}).size(), 1u);
  EXPECT_EQ(engine.load_rules({dir.path() + "/missing.yar"}).size(), 1u);

  // Nothing above replaced the set: "rule fine { condition: true }" would
  // have matched everything.
  EXPECT_EQ(engine.rules(), before);
  EXPECT_TREE(scan(engine, "good rule"), found("SE_KNOWN_VIRUS", "good_one"));
  EXPECT_TREE(scan(engine, "anything"), "object: \"object\"");
}

}  // namespace
