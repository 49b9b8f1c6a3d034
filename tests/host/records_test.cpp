// The SHA-256 the records carry of each input file, around the padding's block boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/sha256.h"

namespace {

std::string sha_of(const std::string &text) {
    return formats::sha256_hex(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

}  // namespace

// The published vectors, and lengths around the padding's block boundary (55, 56, 64 bytes).
TEST(Sha256, PublishedVectorsAndBlockBoundaries) {
    EXPECT_EQ(sha_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha_of(std::string(55, 'a')),
              "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(sha_of(std::string(64, 'a')),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(sha_of(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
