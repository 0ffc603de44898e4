// UTF-8 as the outputs read it: names and entries come from files and may
// hold any byte, so each output decides per sequence whether it is valid.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The well-formed UTF-8 sequence at the start of `bytes` (shortest form, no
// surrogate, at most U+10FFFF): its code point and length; length 0 when the
// bytes there are not one.
struct Utf8Sequence {
    char32_t code = 0;
    size_t length = 0;
};
Utf8Sequence utf8_sequence(std::string_view bytes);

// Appends the UTF-8 form of `c` to `out`.
void append_utf8(std::string& out, char32_t c);
