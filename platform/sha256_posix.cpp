// SHA-256 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include "platform/sha256.h"

struct Sha256 {
    EVP_MD_CTX* context;
    bool ok;
};

Sha256* sha256_begin() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) return nullptr;
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return nullptr;
    }
    return new Sha256{context, true};
}

void sha256_update(Sha256* digest, const void* data, size_t length) {
    if (digest->ok && EVP_DigestUpdate(digest->context, data, length) != 1) digest->ok = false;
}

bool sha256_finish(Sha256* digest, uint8_t out[kSha256Size]) {
    unsigned int length = 0;
    const bool ok = digest->ok && EVP_DigestFinal_ex(digest->context, out, &length) == 1 &&
                    length == kSha256Size;
    EVP_MD_CTX_free(digest->context);
    delete digest;
    return ok;
}
