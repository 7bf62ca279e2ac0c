// ASCII letter-case folding for matching option names: every name an option accepts is
// ASCII, so this is all the case folding the module needs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quelbrin {

// A-Z become a-z; every other byte (including UTF-8 lead and continuation bytes) is kept.
constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `name` equals `lower` (an all-lower-case ASCII word) up to ASCII letter case.
constexpr bool equals_ignoring_ascii_case(std::string_view name, std::string_view lower) noexcept {
    if (name.size() != lower.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (ascii_lower(name[i]) != lower[i]) return false;
    return true;
}

// Every accepted name is ASCII, so lower-casing only has to be exact for the code points
// whose full lower-case mapping is ASCII: A-Z, and U+212A KELVIN SIGN, which maps to "k".
// (U+0130 maps to "i" + U+0307, and U+0307 can never be part of an accepted name.)  Any
// other non-ASCII code point lower-cases to something non-ASCII and cannot match, so the
// name is rejected as soon as one is seen; so is malformed UTF-8.  Returns false then.
inline bool ascii_lower_for_matching(std::string_view name, std::string& out) {
    out.clear();
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out.push_back(ascii_lower(static_cast<char>(c)));
            ++i;
        } else if (name.substr(i, 3) == "\xE2\x84\xAA") {  // U+212A KELVIN SIGN
            out.push_back('k');
            i += 3;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace quelbrin
