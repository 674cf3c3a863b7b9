#include "machine/sha256.h"

#include <openssl/evp.h>

namespace report {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ && EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(context_);
}

void Sha256::add(std::string_view part) {
    ok_ = ok_ && EVP_DigestUpdate(context_, part.data(), part.size()) == 1;
}

std::optional<std::string> Sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || EVP_DigestFinal_ex(context_, digest, &length) != 1)
        return std::nullopt;
    ok_ = false;  // a context is finished once
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

std::string sha256_hex(std::string_view text) {
    Sha256 digest;
    digest.add(text);
    return digest.hex().value_or("");
}

}  // namespace report
