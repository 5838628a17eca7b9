// Plain ASCII text helpers every component uses: trimming and case folding. Bytes outside ASCII
// pass through untouched, so UTF-8 text stays valid.
#pragma once

#include <string>
#include <string_view>

namespace velora::core {

// `text` without leading and trailing white space (blank, tab, CR, LF, VT, FF).
std::string_view trim(std::string_view text);

// `text` with A-Z made a-z.
std::string ascii_lower(std::string_view text);

// Equal when A-Z and a-z are taken as the same letters (HTTP header names, say).
bool iequals(std::string_view a, std::string_view b);

// `text` with every control character but tab and line feed written out as "\x1b" (C0, DEL and the
// UTF-8 forms of C1), so text from outside cannot drive a terminal (retitle a window, clear the
// screen). Other bytes, invalid UTF-8 included, pass as they are.
std::string escape_control_characters(std::string_view text);

}  // namespace velora::core
