#pragma once

// YARA source of the rules every engine carries: the standard anti-virus
// test file and one harmless test signature per threat type, so that each
// kind of finding can be produced on purpose.
const char* eng_builtin_rules();
