// Text that came from a file (a package's manifest, a member's name, a signature's comment) as
// it may be shown on a terminal: its control characters escaped, so that a file cannot move the
// cursor, recolour or retitle the terminal, or cut a message short with a NUL.
#pragma once

#include <string>
#include <string_view>

namespace formats {

// The text with each control character (C0 but the tab, DEL, and C1 written as UTF-8) as \xNN;
// everything else, UTF-8 included, as it is.
std::string shown(std::string_view text);

}  // namespace formats
