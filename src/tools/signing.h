// The signatures of the payment sandbox's returns, shared by the sandbox,
// which signs, and `kwtdata verify`, which checks: Ed25519 (libsodium),
// base64url without padding, the key files, and which bytes of a query
// string a signature covers.
//
// A signature is the last variable of a query string, `NAME=SIGNATURE`. It
// signs the exact bytes that precede `&NAME=` (nothing when it is the only
// variable): the variables as %-encoded and sent, the return URL's own query
// included.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace revozi::signing {

constexpr std::size_t kSeedBytes = 32;
constexpr std::size_t kPublicKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;
// Their lengths in base64url without padding.
constexpr std::size_t kKeyChars = 43;
constexpr std::size_t kSignatureChars = 86;

// The letter of the signature item in KWT_RETOUR, and the name that
// `kwtdata verify` looks for when it is not told another.
constexpr char kSignatureLetter = 'S';
constexpr std::string_view kDefaultName = "Sig";

using Seed = std::array<unsigned char, kSeedBytes>;
using PublicKey = std::array<unsigned char, kPublicKeyBytes>;

// Starts libsodium; false when it cannot (no source of randomness).
bool start();

// `size` bytes in base64url without padding.
std::string base64url(const unsigned char* bytes, std::size_t size);
// Decodes `text` into `out` when it is exactly `size` bytes in base64url
// without padding, written the one way they can be (unused low bits zero).
bool fromBase64url(std::string_view text, unsigned char* out, std::size_t size);

// A key file: one line, the key in base64url and a line feed (a line end of
// CR LF, or none, is accepted on reading). "" when `out` (of `size` bytes)
// was read, else why not.
std::string readKeyFile(const std::string& path, unsigned char* out, std::size_t size);
std::string keyFileText(const unsigned char* key, std::size_t size);

// Overwrites a private key that is no longer needed.
void wipe(Seed& seed);

// A fresh private key, and the public key that goes with one.
Seed newSeed();
PublicKey publicKeyOf(const Seed& seed);

// Signs with the key pair of one seed; wipes its secret when it goes.
class Signer {
 public:
  explicit Signer(const Seed& seed);
  ~Signer();
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;
  // The signature of `message` in base64url (kSignatureChars characters).
  std::string sign(std::string_view message) const;

 private:
  std::array<unsigned char, 64> secret_{};
};

// `count` decimal digits drawn from the system's random source.
std::string randomDigits(std::size_t count);

struct Variable {
  std::string name;
  std::string value;
};

struct Verified {
  bool ok = false;
  std::string reason;               // why not, when not ok
  std::vector<Variable> variables;  // %-decoded, the signature left out
};

// Checks the query string `query`, exactly as received, signed in its last
// variable `name` by one of `keys`.
Verified verifyQuery(std::string_view query, std::string_view name, const std::vector<PublicKey>& keys);

// The text of a query variable as a shop reads it: '+' a blank, %XX its
// byte (a '%' without two hexadecimal digits stays as it is).
std::string queryDecode(std::string_view text);

}  // namespace revozi::signing
