// Database URIs: which --record targets name a PostgreSQL database, and how they may be shown. A
// command line is visible to every user of the machine, but nothing the tool prints, emits or
// records carries a password.
#pragma once

#include <optional>
#include <string>

#include "base/result.h"

namespace host {

// Whether TARGET names a PostgreSQL database: a postgresql:// or postgres:// URI, the scheme in
// any case (as URI schemes are).
bool is_postgres_uri(const std::string &target);

// Whether TARGET is a libpq key=value connection string ("host=db port=5432 dbname=line"). hidiap
// takes its databases as URIs only (one form to mask, show and document), and never makes a file
// named after one of these: kConnectionStringRefusal says so.
bool is_connection_string(const std::string &target);
extern const char *const kConnectionStringRefusal;

// The URI as libpq reads it: the scheme in lower case.
std::string normalised_uri(const std::string &uri);

// The password of URI as hidiap reads it (percent-decoded): everything between "user:" and the
// last '@' before the host, which is what mask_passwords hides; nullopt when it names none.
std::optional<std::string> uri_password(const std::string &uri);

// TEXT with every password in it replaced by "***": the one after "user:" in the authority of
// each postgresql:// or postgres:// URI, any password= or sslpassword= parameter of one, and the
// value of a password or sslpassword key of a key=value connection string. Works on malformed
// URIs too, and errs towards hiding more.
std::string mask_passwords(const std::string &text);

}  // namespace host
