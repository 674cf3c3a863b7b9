// SHA-256 in hexadecimal, whole or in parts, against the published values.
#include <gtest/gtest.h>

#include <string>

#include "machine/sha256.h"

namespace {

TEST(Sha256, IsTheDigestOfTheTextWholeOrInParts) {
    struct Case {
        std::string text, hex;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(report::sha256_hex(c.text), c.hex) << c.text.substr(0, 20);
        report::Sha256 parts;
        for (std::size_t at = 0; at < c.text.size(); at += 65536)
            parts.add(std::string_view(c.text).substr(at, 65536));
        EXPECT_EQ(parts.hex(), c.hex);
    }
}

}  // namespace
