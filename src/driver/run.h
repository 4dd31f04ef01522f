// The state of one run, owned by the driver: each layer is handed only the
// part it uses.
#pragma once

#include <string>
#include <vector>

#include "pages/page_output.h"
#include "params/form_fields.h"
#include "params/param_table.h"
#include "platform/platform.h"

namespace revozi {

struct Run {
  Run(Platform& p, std::vector<std::string> arguments)
      : platform(p), args(std::move(arguments)), out(p) {}

  Platform& platform;
  // The command-line arguments as received; element 0 is never examined.
  std::vector<std::string> args;
  ParamTable params;
  FormFieldList form;
  Dialect dialect = Dialect::kHtml;
  // The operator's lock (REVOZI_LOCK): the form never supplies a setting,
  // and the pages show nothing of the host.
  bool locked = false;
  PageOutput out;

  Page page() { return Page{out, params, dialect}; }
};

}  // namespace revozi
