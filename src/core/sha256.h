// SHA-256 (FIPS 180-4) of bytes fed piece by piece: what tells one set of
// input files from another without keeping the files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

class Sha256 {
public:
    Sha256();
    // Adds `bytes` to the message; any number of calls, of any length.
    void add(std::string_view bytes);
    // The digest of everything added, as 64 lower-case hexadecimal digits.
    // Ends the message: add() after it starts nothing new.
    std::string hex_digest();

private:
    void compress(const uint8_t* block);

    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> block_{};
    size_t block_used_ = 0;
    uint64_t message_bytes_ = 0;
};

// The digest of `bytes` in one call.
std::string sha256_hex(std::string_view bytes);
