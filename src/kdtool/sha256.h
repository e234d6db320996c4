// SHA-256 (FIPS 180-4), for naming the exact bytes of a file received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class sha256 {
public:
    sha256();
    void update(const void* data, size_t size);
    // The digest as 64 lower-case hexadecimal digits; the object is then spent.
    std::string hex_digest();

private:
    void block(const uint8_t* data);

    uint32_t state_[8];
    uint8_t buffer_[64];
    size_t used_ = 0;
    uint64_t length_ = 0;  // bytes
};

// The digest of everything f gives from its current position; empty when
// reading fails.
std::string sha256_of_stream(FILE* f);
