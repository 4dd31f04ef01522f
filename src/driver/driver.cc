#include "driver/driver.h"

#include <climits>

#include "pages/error_pages.h"
#include "pages/payment_page.h"
#include "params/sources.h"
#include "params/validate.h"
#include "probe/probe.h"

namespace revozi {

namespace {

// atoi: leading white space, an optional sign, digits up to the first other
// character (saturating instead of overflowing).
long long atoiValue(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (n < LLONG_MAX / 100) n = n * 10 + (text[i] - '0');
  }
  return negative ? -n : n;
}

}  // namespace

Dialect dialectFromSource(std::string_view source) {
  if (source == "IMODE") return Dialect::kImode;
  if (source == "WAP") return Dialect::kWap;
  return Dialect::kHtml;
}

int gatherParameters(Run& run) {
  int result = decodeRequest(run.platform, run.form);
  if (result >= 0) result = fillParameters(run);
  applyDefaults(run.params);
  // Ping mode wins over a failed source; neither validation nor the dialect
  // choice runs for it.
  if (!run.params.empty(kPing) && atoiValue(run.params.text(kPing)) > 0) return kPingMode;
  if (result == 0) result = validateParameters(run.params);
  run.dialect = dialectFromSource(run.params.text(kSource));
  return result;
}

int runRequest(Platform& platform, std::vector<std::string> args) {
  Run run(platform, std::move(args));
  int result = gatherParameters(run);
  std::string foundUrl;
  if (result == 0) {
    if (selectServer(run, foundUrl) != 0) {
      writePaymentPage(run, foundUrl);
    } else {
      writeNoServerPage(run);
    }
  } else if (result == kPingMode) {
    if (selectServer(run, foundUrl) == 1) {
      pagePrint(run.out, "Serveur: %s\n", foundUrl);
      result = 0;
    } else {
      pagePrint(run.out, "Aucun serveur disponible\n");
      run.out.flush();
      platform.writeError("Aucun serveur disponible\n");
    }
  } else {
    writeErrorPage(run, result);
  }
  run.out.flush();
  return result == 0 ? 0 : 1;
}

}  // namespace revozi
