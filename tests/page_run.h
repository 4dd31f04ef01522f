// What a page writer is given, held together for the page tests: an output
// on a fake platform, a parameter table and a dialect.
#pragma once

#include "pages/page_output.h"
#include "tests/fake_platform.h"

namespace revozi::testing {

struct PageRun {
  explicit PageRun(FakePlatform& p) : out(p) {}
  PageOutput out;
  ParamTable params;
  Dialect dialect = Dialect::kHtml;
  Page page() { return Page{out, params, dialect}; }
};

}  // namespace revozi::testing
