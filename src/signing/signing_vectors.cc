#include "signing/signing_vectors.h"

#include <sodium.h>

#include <utility>

namespace revozi::signing {
namespace {

constexpr std::string_view kRetour = "Mt:M;Ref:R;Auto:A;Erreur:E;Trans:T;Sig:S";

// The test keys: seeds of consecutive bytes, from 0 and from 32.
Seed testSeed(unsigned char first) {
  Seed seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(first + i);
  return seed;
}

struct Return {
  std::string letters;  // what the server was asked for
  std::vector<std::pair<std::string, std::string>> variables;
};

// The accept of `ref` for 15,00, as a server asked for the shop's list.
Return acceptOf(const std::string& ref) {
  return {"MRAET", {{"Mt", "1500"}, {"Ref", ref}, {"Auto", "123456"}, {"Erreur", "00000"}, {"Trans", "48150240"}}};
}

std::string joined(const Return& r) {
  std::string out;
  for (const auto& [name, value] : r.variables) out += (out.empty() ? "" : "&") + queryEncode(name) + "=" + queryEncode(value);
  return out;
}

std::string signatureOf(const Return& r, const Seed& seed) {
  ReturnList list;
  for (char letter : r.letters) list.items.push_back({"", letter});
  return Signer(seed).sign(signedMessage(list, joined(r)));
}

// `url` (the return URL's own query, or "") with `r` appended and signed.
std::string signedQuery(const std::string& url, const Return& r, const Seed& seed) {
  return url + (url.empty() ? "" : "&") + joined(r) + "&Sig=" + signatureOf(r, seed);
}

struct Made {
  std::string name;
  std::string query;
  Failure failure;
  const Return* genuine = nullptr;  // what was signed, for a valid case
};

}  // namespace

std::string vectorsText() {
  const Seed key = testSeed(0), other = testSeed(32);
  const std::string paid = "order=VEC0001&step=paid";
  const Return accept = acceptOf("VEC0001");
  const Return refuse = {"MRAET", {{"Mt", "1500"}, {"Ref", "VEC0001"}, {"Auto", ""}, {"Erreur", "00100"}, {"Trans", "77001234"}}};
  const Return awkward = acceptOf("R\xC3\xA9" "f <1>&2");
  const std::string good = signedQuery(paid, accept, key);
  const std::string signature = good.substr(good.rfind("&Sig=") + 5);
  const std::string altered = [&] {
    std::string q = good;
    q[q.find("Mt=1500") + 6] = '1';
    return q;
  }();
  const std::string padded = [&] {
    std::string q = good;
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    q.back() = alphabet[alphabet.find(q.back()) | 1];
    return q;
  }();
  // Finding the server's variables in a URL that a shopper wrote: the
  // server was asked for the transaction number only.
  const Return injected = {"T", {{"Trans", "84760663"}}};
  const std::string injectedUrl = paid + "&Mt=1500&Ref=VEC0001&Auto=123456&Erreur=00000";
  Return swapped = acceptOf("VEC0001");
  swapped.letters = "MRAMT";
  swapped.variables[3].second = "1500";
  Return twice = acceptOf("VEC0001");
  twice.letters = "MRAAT";
  twice.variables[3].second = "123456";
  Return missing = acceptOf("VEC0001");
  missing.letters = "MRET";
  missing.variables.erase(missing.variables.begin() + 2);
  const std::string awkwardQuery = signedQuery(paid, awkward, key);
  std::string plus = awkwardQuery;
  plus.replace(plus.find("%20"), 3, "+");
  const std::string reordered = "order=VEC0001&step=paid&Ref=VEC0001&Mt=1500&Auto=123456&Erreur=00000&Trans=48150240&Sig=" + signature;

  const Made cases[] = {
      {"accept", good, Failure::kNone, &accept},
      {"refuse", signedQuery("order=VEC0001&step=refused", refuse, key), Failure::kNone, &refuse},
      {"notification", signedQuery("order=VEC0001&step=notify", accept, key), Failure::kNone, &accept},
      {"awkward reference", awkwardQuery, Failure::kNone, &awkward},
      {"return URL rewritten by a web server", signedQuery(paid + "&x=%c3%a9&y=~&z=%7E", accept, key), Failure::kNone,
       &accept},
      {"no query of the return URL", signedQuery("", accept, key), Failure::kNone, &accept},
      {"one byte changed", altered, Failure::kNoMatch},
      {"another key", signedQuery(paid, accept, other), Failure::kNoMatch},
      {"another order's signature", paid + "&" + joined(acceptOf("VEC0002")) + "&Sig=" + signature, Failure::kNoMatch},
      {"'+' for %20", plus, Failure::kNoMatch},
      {"return URL injection", signedQuery(injectedUrl, injected, key), Failure::kNoMatch},
      {"letters swapped", signedQuery(paid, swapped, key), Failure::kNoMatch},
      {"one letter twice", signedQuery(paid, twice, key), Failure::kNoMatch},
      {"unsigned", paid + "&" + joined(accept), Failure::kUnsigned},
      {"not last", good + "&x=1", Failure::kNotLast},
      {"moved to the front", "Sig=" + signature + "&" + paid + "&" + joined(accept), Failure::kNotLast},
      {"two signatures", good + "&Sig=" + signature, Failure::kNotLast},
      {"a variable missing", signedQuery(paid, missing, key), Failure::kNotReturnList},
      {"re-ordered", reordered, Failure::kNotReturnList},
      {"not base64url", good.substr(0, good.size() - 1) + "+", Failure::kNotBase64url},
      {"padding bits set", padded, Failure::kNotBase64url},
      {"cut short", good.substr(0, good.size() - 1), Failure::kNotBase64url},
  };
  const PublicKey publicKey = publicKeyOf(key);
  std::string text =
      "# Signature test vectors of the payment sandbox's returns (korven-sandbox.cgi --vectors).\n"
      "# A return is valid when its last variables are those of `retour` (the shop's KWT_RETOUR),\n"
      "# in order, then Sig: the Ed25519 signature, base64url without padding, by `key` of the\n"
      "# letters of `retour` before S, a line feed, and the bytes of those variables as received\n"
      "# (`letters` and `signed` below each valid case). `test-seed` is the private seed of\n"
      "# this published test key: never trust it in a shop.\n";
  text += "key: " + base64url(publicKey.data(), publicKey.size()) + "\n";
  text += "test-seed: " + base64url(key.data(), key.size()) + "\n";
  text += "retour: " + std::string(kRetour) + "\n";
  for (const Made& c : cases) {
    text += "\ncase: " + c.name + "\nquery: " + c.query + "\nverdict: " +
            (c.failure == Failure::kNone ? "valid" : "invalid") + "\nreason: " + std::string(failureToken(c.failure)) +
            "\n";
    if (c.genuine != nullptr) text += "letters: " + c.genuine->letters + "\nsigned: " + joined(*c.genuine) + "\n";
  }
  return text;
}

std::optional<Vectors> readVectors(std::string_view text) {
  Vectors vectors;
  bool haveKey = false;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view field = line.substr(0, colon), value = line.substr(colon + 2);
    if (field == "case") {
      vectors.cases.push_back({std::string(value), {}, false, {}});
    } else if (field == "key") {
      haveKey = fromBase64url(value, vectors.key.data(), vectors.key.size());
    } else if (field == "retour") {
      vectors.retour = value;
    } else if (!vectors.cases.empty() && field == "query") {
      vectors.cases.back().query = value;
    } else if (!vectors.cases.empty() && field == "verdict") {
      vectors.cases.back().valid = value == "valid";
    } else if (!vectors.cases.empty() && field == "reason") {
      vectors.cases.back().reason = value;
    }
  }
  if (!haveKey || vectors.retour.empty() || vectors.cases.empty()) return std::nullopt;
  return vectors;
}

}  // namespace revozi::signing
