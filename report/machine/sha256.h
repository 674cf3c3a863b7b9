// SHA-256 in lower-case hexadecimal, as machine.json records a program file's
// and the store keeps a stored file's: computed by OpenSSL's libcrypto.
#pragma once

#include <optional>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace report {

// A digest of text given in parts (a file read a block at a time).
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void add(std::string_view part);
    // The digest of every part added; absent when libcrypto failed on any.
    std::optional<std::string> hex();

private:
    EVP_MD_CTX* context_;
    bool ok_;
};

// The SHA-256 of `text`.
std::string sha256_hex(std::string_view text);

}  // namespace report
