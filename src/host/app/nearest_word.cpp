#include "host/app/nearest_word.h"

#include <algorithm>

namespace host {

namespace {

// Edits from a to b: a letter replaced, inserted, deleted, or two neighbours swapped.
size_t slips_between(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); i++) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); j++) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        for (size_t j = 1; j <= b.size(); j++) {
            const size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string nearest_word(const std::string &typed, const std::vector<std::string> &candidates) {
    const std::string bare = typed.substr(std::min(typed.find_first_not_of('-'), typed.size()));
    const size_t allowed = bare.size() <= 4 ? 1 : 2;
    std::string best;
    size_t best_slips = allowed + 1;
    std::vector<std::string> begun;
    for (const std::string &c : candidates) {
        const size_t slips = slips_between(typed, c);
        if (slips < best_slips) {
            best = c;
            best_slips = slips;
        }
        if (bare.size() >= 2 && c.size() > typed.size() && c.compare(0, typed.size(), typed) == 0) {
            begun.push_back(c);
        }
    }
    if (!best.empty()) {
        return best;
    }
    return begun.size() == 1 ? begun.front() : "";
}

}  // namespace host
