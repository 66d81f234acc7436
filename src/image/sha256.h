// SHA-256 (FIPS 180-4), for the image's fingerprint in the JSON record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
  public:
    Sha256();
    void update(const void* data, std::size_t size);
    // The digest as 64 lowercase hexadecimal digits; the object is spent.
    std::string hex_digest();

  private:
    void block(const std::uint8_t* p);
    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};
