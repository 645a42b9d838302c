// SHA-256 of a stream of bytes, from the platform's own cryptography
// (OpenSSL's libcrypto on POSIX, BCrypt on Windows). Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>

struct Sha256;

constexpr size_t kSha256Size = 32;

// A new digest; null when the platform refuses one.
Sha256* sha256_begin();
void sha256_update(Sha256* digest, const void* data, size_t length);
// The digest of everything given; frees it. False when the platform failed.
bool sha256_finish(Sha256* digest, uint8_t out[kSha256Size]);
