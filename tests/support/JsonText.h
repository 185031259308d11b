// JSON strings as the test tools print them and the tests expect them: ASCII
// only, everything else as \uXXXX, so no code page conversion on the way can
// cut a line. Header-only and free of the support library, so the tools
// (which do not link it) and the tests share one spelling.
#pragma once

#include <cstdio>
#include <string>

namespace kavri_test {

// The contents of a JSON string for w, without the quotes.
inline std::string JsonEscaped(const std::wstring& w) {
    std::string out;
    for (wchar_t c : w) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        }
    }
    return out;
}

// A quoted JSON string for w.
inline std::string JsonString(const std::wstring& w) { return "\"" + JsonEscaped(w) + "\""; }

}  // namespace kavri_test
