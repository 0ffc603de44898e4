// SHA-256 (FIPS 180-4) of bytes in memory: what a report names a file by, so
// that a reader can tell later whether the file it has is the one that ran.
//
// In: any bytes. Out: the digest as 64 lower-case hexadecimal digits.
// Failure: none.
#pragma once

#include <string>
#include <string_view>

std::string sha256(std::string_view bytes);
