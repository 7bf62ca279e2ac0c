// ASCII letter-case folding for matching option names.
#pragma once

#include <cstddef>
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

}  // namespace quelbrin
