// `korven-sandbox.cgi --conformance PAGE [BODY]`: plays the payment server's
// answers and their forgeries against a shop's own return and notification
// URLs, signed with the sandbox's key, and judges what the shop answers over
// HTTP (docs/merchant.md, "Testing a shop of your own").
#pragma once

#include "datablock/decode.h"
#include "signing/signing.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace revozi::sandbox {

struct PageForm {
  std::string action;                                      // as written, entities decoded
  std::vector<std::pair<std::string, std::string>> fields;  // named inputs, in order
};

// The first form of an HTML page: its action and its inputs' names and
// values, character references decoded. Bounded by the page's size.
PageForm firstForm(std::string_view html);

// `action` of a form on the page at `pageUrl`, as an absolute URL; "" when
// it cannot be made one (a relative action on a page read from a file).
std::string formTarget(std::string_view pageUrl, std::string_view action);

// Whether the status line `got` meets `expected`: "200", "403",
// "not 403 nor 5xx", "not 2xx nor 5xx".
bool meets(std::string_view expected, std::string_view got);

// One order of the shop: its payment page's block and return URLs.
struct Order {
  DataBlockFields data;
  std::string effectue, refuse, annule;
};

struct Scenario {
  std::string name;
  std::string expected;           // for meets()
  std::vector<std::string> urls;  // called in turn: each answer must meet it, all the same
  std::string skipped;            // why it is not played
};

// The scenarios, in the order played, of the main order `a`, of `b` (the
// notification alone; its signed accept is also "another order's") and of
// `c` (a changed amount), fresh orders of the same shop or none (a file).
// Forgeries come first, while `a` is unpaid, and each is a 403 whatever its
// state; then the genuine refuse, cancel, notification, accept and the
// notification twice, whose expectations hold in any state; `c` is left a
// mismatch for good, so it is nobody else's.
std::vector<Scenario> scenarios(const Order& a, const std::optional<Order>& b, const std::optional<Order>& c,
                                const signing::Signer& signer, const signing::Signer& stranger);

// Runs the command; its exit status (0 all passed, 1 a failure, 2 usage).
int runConformance(const std::vector<std::string_view>& args);

}  // namespace revozi::sandbox
