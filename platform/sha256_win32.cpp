// SHA-256 through the Windows cryptography (BCrypt).
#include <windows.h>
// clang-format off
#include <bcrypt.h>
// clang-format on

#include <new>

#include "platform/sha256.h"

struct Sha256 {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    unsigned char* object;  // the hash's state, which Windows 7 wants from the caller
    bool ok;
};

namespace {

bool done(NTSTATUS status) {
    return status >= 0;
}

void release(Sha256* digest) {
    if (digest->hash != nullptr) BCryptDestroyHash(digest->hash);
    if (digest->algorithm != nullptr) BCryptCloseAlgorithmProvider(digest->algorithm, 0);
    delete[] digest->object;
    delete digest;
}

}  // namespace

Sha256* sha256_begin() {
    Sha256* digest = new (std::nothrow) Sha256{};
    if (digest == nullptr) return nullptr;
    DWORD size = 0;
    DWORD got = 0;
    if (!done(
            BCryptOpenAlgorithmProvider(&digest->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !done(BCryptGetProperty(digest->algorithm, BCRYPT_OBJECT_LENGTH,
                                reinterpret_cast<PUCHAR>(&size), sizeof size, &got, 0)) ||
        (digest->object = new (std::nothrow) unsigned char[size]) == nullptr ||
        !done(BCryptCreateHash(digest->algorithm, &digest->hash, digest->object, size, nullptr, 0,
                               0))) {
        release(digest);
        return nullptr;
    }
    digest->ok = true;
    return digest;
}

void sha256_update(Sha256* digest, const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    // BCrypt takes at most 4 GiB a call.
    while (digest->ok && length > 0) {
        const ULONG piece = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
        digest->ok = done(BCryptHashData(digest->hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        length -= piece;
    }
}

bool sha256_finish(Sha256* digest, uint8_t out[kSha256Size]) {
    const bool ok = digest->ok && done(BCryptFinishHash(digest->hash, out, kSha256Size, 0));
    release(digest);
    return ok;
}
