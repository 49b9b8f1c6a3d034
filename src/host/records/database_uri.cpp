#include "host/records/database_uri.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>

namespace host {

namespace {

constexpr const char *kMask = "***";
constexpr const char *kSecretKeys[] = {"password", "sslpassword"};

bool starts_with_nocase(const std::string &text, size_t at, const std::string &prefix) {
    if (text.size() - std::min(at, text.size()) < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); i++) {
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The length of the scheme and "//" when a URI starts at AT; 0 otherwise.
size_t scheme_length_at(const std::string &text, size_t at) {
    for (const char *scheme : {"postgresql://", "postgres://"}) {
        if (starts_with_nocase(text, at, scheme)) {
            return std::char_traits<char>::length(scheme);
        }
    }
    return 0;
}

bool ends_uri(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '\'' || c == '"';
}

// Where the user information of the URI starting at 0 ends (its '@'), with SCHEME_END where it
// begins: the last '@' before the path or parameters that follow the first '@', so that a
// password holding '@', '/' or '?' is taken whole. npos when there is no '@'.
size_t user_info_end(const std::string &uri, size_t scheme_end) {
    const size_t first_at = uri.find('@', scheme_end);
    if (first_at == std::string::npos) {
        return std::string::npos;
    }
    const size_t limit = uri.find_first_of("/?", first_at);
    return uri.rfind('@', limit == std::string::npos ? uri.size() : limit - 1);
}

// Masks the values of password= and sslpassword= parameters, each up to the next '&'.
void mask_parameters(std::string &uri, size_t from) {
    for (size_t at = uri.find_first_of("?&", from); at != std::string::npos;
         at = uri.find_first_of("?&", at + 1)) {
        for (const char *key : kSecretKeys) {
            const std::string named = std::string(key) + "=";
            if (starts_with_nocase(uri, at + 1, named)) {
                const size_t value = at + 1 + named.size();
                const size_t end = std::min(uri.find('&', value), uri.size());
                uri.replace(value, end - value, kMask);
                break;
            }
        }
    }
}

// One URI, from its scheme to the end of TEXT or the first blank or quote.
std::string mask_uri(const std::string &uri, size_t scheme_end) {
    std::string out = uri;
    const size_t at = user_info_end(uri, scheme_end);
    const size_t colon = uri.find(':', scheme_end);
    if (at != std::string::npos && colon < at) {
        out = uri.substr(0, colon + 1) + kMask + uri.substr(at);
    }
    mask_parameters(out, scheme_end);
    return out;
}

// A key=value connection string's secret at AT ("password = 'a b'"): where its value begins and
// ends; false when no secret key begins there.
bool secret_value_at(const std::string &text, size_t at, size_t &value, size_t &end) {
    if (at > 0 && std::isspace(static_cast<unsigned char>(text[at - 1])) == 0 &&
        text[at - 1] != '\'' && text[at - 1] != '"') {
        return false;
    }
    for (const char *key : kSecretKeys) {
        const size_t length = std::char_traits<char>::length(key);
        if (!starts_with_nocase(text, at, key)) {
            continue;
        }
        size_t p = at + length;
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])) != 0) {
            p++;
        }
        if (p >= text.size() || text[p] != '=') {
            continue;
        }
        p++;
        while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p])) != 0) {
            p++;
        }
        value = p;
        // libpq's rules: a quoted value ends at its closing quote, an unquoted one at a blank;
        // a backslash escapes the character after it in both.
        const bool quoted = p < text.size() && text[p] == '\'';
        for (p += quoted ? 1 : 0; p < text.size(); p++) {
            if (text[p] == '\\') {
                p++;
            } else if (quoted ? text[p] == '\''
                              : std::isspace(static_cast<unsigned char>(text[p])) != 0) {
                break;
            }
        }
        end = std::min(text.size(), p + (quoted ? 1 : 0));
        return true;
    }
    return false;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::string percent_decoded(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
            hex_digit(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

const char *const kConnectionStringRefusal =
    "it is a libpq connection string: give the database as a postgresql:// URI "
    "(postgresql://USER@HOST:PORT/DATABASE, with the password in ~/.pgpass)";

bool is_postgres_uri(const std::string &target) {
    return scheme_length_at(target, 0) != 0;
}

bool is_connection_string(const std::string &target) {
    if (is_postgres_uri(target) || target.find('=') == std::string::npos) {
        return false;
    }
    char *message = nullptr;
    PQconninfoOption *options = PQconninfoParse(target.c_str(), &message);
    PQfreemem(message);
    if (options == nullptr) {
        return false;
    }
    PQconninfoFree(options);
    return true;
}

std::string normalised_uri(const std::string &uri) {
    std::string out = uri;
    const size_t length = scheme_length_at(uri, 0);
    std::transform(out.begin(), out.begin() + static_cast<long>(length), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::optional<std::string> uri_password(const std::string &uri) {
    const size_t scheme_end = scheme_length_at(uri, 0);
    if (scheme_end == 0) {
        return std::nullopt;
    }
    const size_t at = user_info_end(uri, scheme_end);
    const size_t colon = uri.find(':', scheme_end);
    if (at == std::string::npos || colon >= at) {
        return std::nullopt;
    }
    return percent_decoded(uri.substr(colon + 1, at - colon - 1));
}

std::string mask_passwords(const std::string &text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t value = 0;
        size_t end = 0;
        if (const size_t scheme = scheme_length_at(text, i); scheme != 0) {
            end = i + scheme;
            while (end < text.size() && !ends_uri(text[end])) {
                end++;
            }
            out += mask_uri(text.substr(i, end - i), scheme);
            i = end;
        } else if (secret_value_at(text, i, value, end)) {
            out += text.substr(i, value - i) + kMask;
            i = end;
        } else {
            out += text[i++];
        }
    }
    return out;
}

}  // namespace host
