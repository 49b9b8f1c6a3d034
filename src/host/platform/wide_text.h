// The product string arrives as wide characters; the console is narrow (UTF-8).
#pragma once

#include <string>

namespace host {

// UTF-8 for a wide string (UTF-32 where wchar_t is 32 bits, UTF-16 where it is 16). Invalid
// code units become U+FFFD rather than being dropped silently.
std::string to_utf8(const std::wstring &wide);

}  // namespace host
