#pragma once
// ASCII case rules shared by the settings files (section, key and file
// names) and the status page (header names, settings keys). Bytes outside
// A-Z compare as they are: no locale is consulted, so the answer never
// depends on the environment the driver runs in.

#include <cstddef>
#include <string_view>

namespace vorn {

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

}  // namespace vorn
