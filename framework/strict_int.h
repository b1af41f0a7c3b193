#pragma once

#include <string>

#include <boost/lexical_cast.hpp>

// Converts decimal text to an int: an optional sign, then digits only, in
// range. Anything else (empty text, spaces, letters, overflow) throws
// boost::bad_lexical_cast.
inline int cf_strict_int(const std::string& text) { return boost::lexical_cast<int>(text); }
