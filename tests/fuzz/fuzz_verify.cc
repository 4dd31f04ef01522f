// The verifier's reading of a query on any bytes: the first line is the
// shop's KWT_RETOUR, the rest the query string as received, also read as a
// request target. Whatever the bytes, a verdict comes with its reason, a
// valid one gives exactly the list's variables, and nothing but a genuine
// signature by the test key passes.
#include <string>

#include "tests/fuzz/fuzz_support.h"
#include "signing/signing.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
  using namespace revozi::signing;
  static const bool started = start();
  FUZZ_CHECK(started);
  // The test vectors' key: their genuine cases, in the seeds, verify.
  static const PublicKey key = [] {
    Seed seed;
    for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<unsigned char>(i);
    return publicKeyOf(seed);
  }();
  const std::string_view input = revozi::fuzzing::asText(data, size);
  const std::size_t eol = input.find('\n');
  const std::string_view list = eol == std::string_view::npos ? std::string_view() : input.substr(0, eol);
  const std::string query(eol == std::string_view::npos ? input : input.substr(eol + 1));
  const ReturnList expected = parseReturnList(list);
  const Verified v = verifyReturn(query, expected, {key});
  FUZZ_CHECK(v.ok == (v.failure == Failure::kNone));
  FUZZ_CHECK(v.ok == v.reason.empty());
  if (v.ok) {
    FUZZ_CHECK(v.variables.size() <= expected.items.size());
    for (std::size_t i = 0; i < v.variables.size(); ++i) FUZZ_CHECK(v.variables[i].name == expected.items[i].name);
  } else {
    FUZZ_CHECK(v.variables.empty() && v.urlVariables.empty());
  }
  // Encoding then decoding gives the text back.
  FUZZ_CHECK(queryDecode(queryEncode(query)) == query);
  // The query of a request target ends before any '#'.
  const auto target = requestQuery(query.c_str(), nullptr);
  FUZZ_CHECK(target && target->query.find('#') == std::string_view::npos && target->query.size() <= query.size());
  return 0;
}
