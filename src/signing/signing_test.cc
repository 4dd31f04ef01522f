// The pieces of the return signatures: base64url, key files, and Ed25519 as
// every other implementation computes it (a shop may verify in any language).
#include "signing/signing.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace revozi::signing {
namespace {

std::string fromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

const unsigned char* bytesOf(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

TEST(Signing, Base64urlWithoutPadding) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {{"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"},
                        {"\xFB\xFF", "-_8"}, {std::string("\0\0\0", 3), "AAAA"}};
  for (const Case& c : cases) {
    EXPECT_EQ(base64url(bytesOf(c.bytes), c.bytes.size()), c.text);
    std::string back(c.bytes.size(), '?');
    EXPECT_TRUE(fromBase64url(c.text, reinterpret_cast<unsigned char*>(back.data()), back.size())) << c.text;
    EXPECT_EQ(back, c.bytes);
  }
  // Refused: another length, padding, the other alphabet's letters, blanks,
  // unused bits that are not zero.
  struct Refusal {
    std::string text;
    std::size_t size;
  };
  const Refusal refused[] = {{"Zg", 2}, {"Zg=", 1}, {"Zg==", 1}, {"Z+8", 2}, {"Z/8", 2},
                             {"Zm 9", 3}, {"Zh", 1}, {"Zm9", 2}, {std::string("Z\0", 2), 1}};
  for (const Refusal& r : refused) {
    unsigned char out[8];
    EXPECT_FALSE(fromBase64url(r.text, out, r.size)) << r.text;
  }
}

TEST(Signing, Ed25519AsStandardised) {
  // The first example of the Ed25519 standard: the empty message.
  ASSERT_TRUE(start());
  Seed seed;
  const std::string secret = fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
  std::copy(secret.begin(), secret.end(), seed.begin());
  const PublicKey publicKey = publicKeyOf(seed);
  EXPECT_EQ(std::string(publicKey.begin(), publicKey.end()),
            fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"));
  const std::string signature = fromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe"
      "24655141438e7a100b");
  EXPECT_EQ(Signer(seed).sign(""), base64url(bytesOf(signature), signature.size()));
  EXPECT_EQ(Signer(seed).sign("").size(), kSignatureChars);
  // Transaction numbers: digits, and not the same twice in a row.
  const std::string a = randomDigits(8), b = randomDigits(8);
  EXPECT_EQ(a.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(a.size(), 8u);
  EXPECT_NE(a, b);
}

TEST(Signing, KeyFiles) {
  char dir[] = "/tmp/signing-test.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string key = base64url(bytesOf(std::string(32, 'k')), 32);
  struct Case {
    std::string content;
    bool ok;
  };
  const Case cases[] = {
      {key + "\n", true},          {key + "\r\n", true},       {key, true},
      {key + "\n\n", false},       {key + "A\n", false},       {key.substr(1) + "\n", false},
      {" " + key + "\n", false},   {key + "\n" + key, false},  {std::string(1000, 'A'), false},
      {"", false},
  };
  const std::string path = std::string(dir) + "/key";
  for (const Case& c : cases) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.content;
    PublicKey out{};
    const std::string why = readKeyFile(path, out.data(), out.size());
    EXPECT_EQ(why.empty(), c.ok) << c.content << ": " << why;
    if (c.ok) {
      EXPECT_EQ(std::string(out.begin(), out.end()), std::string(32, 'k'));
    } else {
      EXPECT_EQ(why, path + " is not a key file (one line of 43 base64url characters)");
    }
  }
  PublicKey out{};
  EXPECT_EQ(readKeyFile(std::string(dir) + "/none", out.data(), out.size()),
            "cannot open " + std::string(dir) + "/none: No such file or directory");
  EXPECT_EQ(readKeyFile(dir, out.data(), out.size()), std::string(dir) + " is not a regular file");
  EXPECT_EQ(keyFileText(out.data(), out.size()), std::string(43, 'A') + "\n");
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace revozi::signing
