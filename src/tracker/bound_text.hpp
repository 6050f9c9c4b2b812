// The text of a numeric bound inside an error message.
#pragma once

#include <charconv>
#include <string>
#include <system_error>

namespace kelmora::detail {

// Returns `value` as printf's %g writes it in the "C" locale with the fewest digits that read
// back as `value`: 1e6 as "1e+06", 1e-100 as "1e-100", 2.0 as "2". std::to_chars ignores the
// process's locale, which Python code may change.
inline std::string bound_text(double value) {
    char text[32];
    const std::to_chars_result written = std::to_chars(text, text + sizeof text, value, std::chars_format::general);
    return std::string(text, written.ptr);
}

}  // namespace kelmora::detail
