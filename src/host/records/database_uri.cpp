#include "host/records/database_uri.h"

#include <algorithm>
#include <cctype>

namespace host {

namespace {

constexpr const char *kMask = "***";

bool uri_starts_at(const std::string &text, size_t at, size_t &scheme_end) {
    for (const char *scheme : {"postgresql://", "postgres://"}) {
        const std::string s(scheme);
        if (text.compare(at, s.size(), s) == 0) {
            scheme_end = at + s.size();
            return true;
        }
    }
    return false;
}

bool ends_uri(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0 || c == '\'' || c == '"';
}

// One URI, from its scheme to the end of TEXT or the first blank or quote.
std::string mask_uri(const std::string &uri, size_t scheme_end) {
    std::string out = uri.substr(0, scheme_end);
    // The user information ends at the last '@' before the path or parameters that follow the
    // first '@', so that a password holding '/' or '?' is masked whole.
    size_t authority_end = uri.find_first_of("/?", scheme_end);
    const size_t first_at = uri.find('@', scheme_end);
    if (first_at != std::string::npos) {
        const size_t limit = uri.find_first_of("/?", first_at);
        const size_t at = uri.rfind('@', limit == std::string::npos ? uri.size() : limit - 1);
        const std::string user_info = uri.substr(scheme_end, at - scheme_end);
        const size_t colon = user_info.find(':');
        out += colon == std::string::npos ? user_info : user_info.substr(0, colon + 1) + kMask;
        authority_end = limit;
        scheme_end = at;
    }
    if (authority_end == std::string::npos) {
        authority_end = uri.size();
    }
    out += uri.substr(scheme_end, authority_end - scheme_end);
    out += uri.substr(authority_end);
    // Parameters: password=... up to the next '&', wherever a '?' or '&' begins one.
    for (size_t at = out.find("password="); at != std::string::npos;
         at = out.find("password=", at + 1)) {
        if (at == 0 || (out[at - 1] != '?' && out[at - 1] != '&')) {
            continue;
        }
        const size_t value = at + 9;
        const size_t end = std::min(out.find('&', value), out.size());
        out.replace(value, end - value, kMask);
    }
    return out;
}

}  // namespace

std::string mask_passwords(const std::string &text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t scheme_end = 0;
        if (!uri_starts_at(text, i, scheme_end)) {
            out += text[i++];
            continue;
        }
        size_t end = scheme_end;
        while (end < text.size() && !ends_uri(text[end])) {
            end++;
        }
        out += mask_uri(text.substr(i, end - i), scheme_end - i);
        i = end;
    }
    return out;
}

}  // namespace host
