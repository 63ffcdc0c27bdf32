// The one lower-casing of the program: Unicode lower case of UTF-8 text. Rule texts are
// stored through it and message fields pass through it before they are compared with
// rules, so a rule matches whatever letter case a header uses.
#pragma once

#include <string>
#include <string_view>

std::string lowerText(std::string_view utf8);
