// Text from outside the program (paths, host names) made safe to print.
#pragma once

#include <string>

// Control characters and the backslash written as C escapes (\n, \t, \\,
// \033), as vis(3) does, so that a crafted name can neither forge a line of
// the report nor reach the terminal as an escape sequence.
std::string visible(const std::string& text);
