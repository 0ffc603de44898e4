// The text encodings and line ends spectrum files arrive in, made into the
// one the readers take: UTF-8 (or ASCII) without a byte order mark.
#pragma once

#include <string>

// `bytes` without a leading UTF-8 byte order mark; when they start with a
// UTF-16 one (FF FE little-endian, FE FF big-endian), the text transcoded to
// UTF-8, an unpaired surrogate or a last odd byte becoming U+FFFD. `*note`
// receives what was done ("" when nothing). Other bytes are left as they are.
std::string without_byte_order_mark(std::string bytes, std::string* note);

// `text` with its line ends made LF where it has CR alone (the old line ends
// of one platform), so that it reads by lines. Text holding any LF is left
// as it is: its CRs belong to CR LF pairs, which the readers take, and a
// search for lone ones would cost more than the whole read.
std::string lone_carriage_returns_to_line_feeds(std::string text);
