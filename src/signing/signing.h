// The signatures of the payment sandbox's returns, shared by the sandbox,
// which signs, and `kwtdata verify`, which checks: Ed25519 (libsodium),
// base64url without padding, the key files, and which bytes of a query
// string a signature covers.
//
// A return's signature is the last variable of its query string,
// `NAME=SIGNATURE`, and covers only what the payment server wrote: the
// letters of the variables it appended, in order (the KWT_RETOUR items
// before the signature, say "MRAET"), a line feed, then the bytes of those
// variables exactly as %-encoded and sent, from the first to the last before
// `&NAME=`. The return URL's own query (the shop's, or a shopper's) is never
// signed: a verifier takes the variables that its own KWT_RETOUR asks for
// from the end of the query, so nobody can move the boundary, and the
// letters fix which of the server's values each name carries.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
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
// Why the private key file `path` must not be used as it is: other users
// may read or write it. "" when its mode is private (or it cannot be seen:
// reading it then says why).
std::string looseKeyMode(const std::string& path);

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

// The letters of the values a return can carry: amount, reference,
// authorisation, outcome code, transaction number.
constexpr std::string_view kValueLetters = "MRAET";

// A KWT_RETOUR list, `NAME:LETTER` items separated by ';', as the payment
// server applies it.
struct ReturnItem {
  std::string name;
  char letter = 0;
};
struct ReturnList {
  std::vector<ReturnItem> items;     // the variables to append, in order
  std::string signatureName;         // the signature's variable; empty when unsigned
  std::vector<std::string> ignored;  // items of another shape or letter, left out
  bool misplacedSignature = false;   // an S item not in last place: unsigned
};
ReturnList parseReturnList(std::string_view list);

// What the signature of a return with the variables of `list` signs, when
// those variables were sent as `appended` (joined by '&').
std::string signedMessage(const ReturnList& list, std::string_view appended);

struct Variable {
  std::string name;
  std::string value;
};

// Why a return is refused, as the test vectors name it.
enum class Failure { kNone, kUnsigned, kNotLast, kNotReturnList, kNotBase64url, kNoMatch };
// "valid", "unsigned", "not-last", "not-retour", "not-base64url", "no-match".
std::string_view failureToken(Failure failure);

struct Verified {
  bool ok = false;
  Failure failure = Failure::kNone;
  std::string reason;                  // why not, when not ok
  std::vector<Variable> variables;     // the signed ones, %-decoded, the signature left out
  std::vector<Variable> urlVariables;  // the return URL's own, before them: not signed
};

// Checks the query string `query`, exactly as received, against the return
// list `expected` (the shop's own KWT_RETOUR, signature item last): its last
// variables must be the list's names in order, then the signature, by one
// of `keys`, of those variables.
Verified verifyReturn(std::string_view query, const ReturnList& expected, const std::vector<PublicKey>& keys);

// The query of a request as sent: `REQUEST_URI` after its first '?' (up to a
// '#'), or `QUERY_STRING` where the server gives no `REQUEST_URI`. `source`
// names which; nullopt when neither is set.
struct RequestQuery {
  std::string_view query;
  const char* source = nullptr;
};
std::optional<RequestQuery> requestQuery(const char* requestUri, const char* queryString);

// `text` as a name or value of a query: every byte but letters, digits and
// "-._~" as %XX (upper-case digits).
std::string queryEncode(std::string_view text);

// The text of a query variable as a shop reads it: '+' a blank, %XX its
// byte (a '%' without two hexadecimal digits stays as it is).
std::string queryDecode(std::string_view text);

}  // namespace revozi::signing
