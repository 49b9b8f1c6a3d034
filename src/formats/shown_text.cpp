#include "formats/shown_text.h"

#include "base/text.h"

namespace formats {

std::string shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        const auto c = static_cast<unsigned char>(text[i]);
        // U+0080 to U+009F arrive as C2 80 to C2 9F; some terminals act on them as on ESC [.
        if (c == 0xC2 && i + 1 < text.size()) {
            const auto next = static_cast<unsigned char>(text[i + 1]);
            if (next >= 0x80 && next <= 0x9F) {
                out += base::format("\\x%02X\\x%02X", c, next);
                i++;
                continue;
            }
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            out += base::format("\\x%02X", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace formats
