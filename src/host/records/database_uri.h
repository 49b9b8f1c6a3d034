// Database URIs as they may be shown: a command line is visible to every user of the machine, but
// nothing the tool prints, emits or records carries a password.
#pragma once

#include <string>

namespace host {

// TEXT with the password of every postgresql:// or postgres:// URI in it replaced by "***": the
// one after "user:" in the authority and any password= parameter. Works on malformed URIs too.
std::string mask_passwords(const std::string &text);

}  // namespace host
