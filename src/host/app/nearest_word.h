// The word a user probably meant: for a mistyped option or command, the one to suggest.
#pragma once

#include <string>
#include <vector>

namespace host {

// The candidate nearest to `typed` when it is near enough to be a slip of the keyboard (a
// letter wrong, missing, added or two swapped; two such slips in a longer word), or the one
// candidate it begins; "" when none is.
std::string nearest_word(const std::string &typed, const std::vector<std::string> &candidates);

}  // namespace host
