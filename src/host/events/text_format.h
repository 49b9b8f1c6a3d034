// printf into a std::string, for the outcome's words and the reasons built from the run's facts.
#pragma once

#include <string>

namespace host {

// At most 511 bytes of text; longer text is cut.
std::string text_format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace host
