// `korven-sandbox.cgi --conformance PAGE [BODY]`: plays the payment server's
// answers and their forgeries against a shop's own return and notification
// URLs, signed with the sandbox's key, and judges what the shop answers over
// HTTP (docs/merchant.md, "Testing a shop of your own").
#pragma once

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

// Runs the command; its exit status (0 all passed, 1 a failure, 2 usage).
int runConformance(const std::vector<std::string_view>& args);

}  // namespace revozi::sandbox
