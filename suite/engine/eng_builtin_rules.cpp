#include "eng_builtin_rules.h"

// The test file is written in hex so that this source and the binaries built
// from it do not themselves look like the test file to other scanners.
// It is detected as the standard defines it: the 68 characters at the start,
// followed by nothing but white space (space, tab, CR, LF, ^Z) up to 128
// bytes in all. Quoting it inside other text is not a detection.
//
// Each test signature is a marker at the very start of an object, so that
// documents and sources that mention the markers stay clean.

const char* eng_builtin_rules() {
  return R"yara(
rule eicar_test_file
{
  meta:
    threat_type = "known"
    threat_name = "EICAR-Test-File"
  strings:
    $file = { 58 35 4F 21 50 25 40 41 50 5B 34 5C 50 5A 58 35 34 28 50 5E
              29 37 43 43 29 37 7D 24 45 49 43 41 52 2D 53 54 41 4E 44 41
              52 44 2D 41 4E 54 49 56 49 52 55 53 2D 54 45 53 54 2D 46 49
              4C 45 21 24 48 2B 48 2A }
  condition:
    $file at 0 and filesize <= 128 and
    (filesize == 68 or
     for all i in (68 .. filesize - 1) :
       (uint8(i) == 0x20 or uint8(i) == 0x09 or uint8(i) == 0x0A or
        uint8(i) == 0x0D or uint8(i) == 0x1A))
}

rule vemra_test_known_virus
{
  meta:
    threat_type = "known"
    threat_name = "Vemra-Test-Known-Virus"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-KNOWN-VIRUS"
  condition:
    $marker at 0
}

rule vemra_test_virus_modification
{
  meta:
    threat_type = "modification"
    threat_name = "Vemra-Test-Virus-Modification"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-VIRUS-MODIFICATION"
  condition:
    $marker at 0
}

rule vemra_test_suspicious
{
  meta:
    threat_type = "suspicious"
    threat_name = "Vemra-Test-Suspicious"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-SUSPICIOUS"
  condition:
    $marker at 0
}

rule vemra_test_adware
{
  meta:
    threat_type = "adware"
    threat_name = "Vemra-Test-Adware"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-ADWARE"
  condition:
    $marker at 0
}

rule vemra_test_dialer
{
  meta:
    threat_type = "dialer"
    threat_name = "Vemra-Test-Dialer"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-DIALER"
  condition:
    $marker at 0
}

rule vemra_test_joke
{
  meta:
    threat_type = "joke"
    threat_name = "Vemra-Test-Joke"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-JOKE"
  condition:
    $marker at 0
}

rule vemra_test_riskware
{
  meta:
    threat_type = "riskware"
    threat_name = "Vemra-Test-Riskware"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-RISKWARE"
  condition:
    $marker at 0
}

rule vemra_test_hacktool
{
  meta:
    threat_type = "hacktool"
    threat_name = "Vemra-Test-Hacktool"
  strings:
    $marker = "VEMRA-TEST-SIGNATURE-HACKTOOL"
  condition:
    $marker at 0
}
)yara";
}
