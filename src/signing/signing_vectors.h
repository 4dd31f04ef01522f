// The signature test vectors: returns signed as the payment sandbox signs
// them with a published test key, each with the verdict a shop must reach.
// Shipped as examples/signature-vectors.txt, written by
// `korven-sandbox.cgi --vectors`, read by the verifier's and the shops' tests
// and by the verification snippets of the merchant's guide.
//
// The file is lines of `FIELD: VALUE`; `#` starts a comment line. A header
// (`key:` the public key in base64url, `test-seed:` its private seed, never
// a real key, `retour:` the shop's KWT_RETOUR) comes first; then one block a
// case, each beginning with `case:`: `query:` the query string as received,
// `verdict:` valid or invalid, `reason:` a token of failureToken(), and for a
// valid one `letters:` and `signed:`, the two parts of what was signed.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signing/signing.h"

namespace revozi::signing {

struct VectorCase {
  std::string name;
  std::string query;
  bool valid = false;
  std::string reason;
};

struct Vectors {
  PublicKey key{};
  std::string retour;
  std::vector<VectorCase> cases;
};

// The text of the vectors file; libsodium started.
std::string vectorsText();

// The vectors of `text`; nullopt when it is not such a file.
std::optional<Vectors> readVectors(std::string_view text);

}  // namespace revozi::signing
