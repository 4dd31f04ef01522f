#include "driver/driver.h"

#include "datablock/encode.h"
#include "pages/error_pages.h"
#include "pages/payment_page.h"
#include "params/numbers.h"
#include "params/sources.h"
#include "params/validate.h"
#include "probe/probe.h"

namespace revozi {

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
  if (result == 0) result = checkDataRecord(run.params);
  run.dialect = dialectFromSource(run.params.text(kSource));
  return result;
}

int runRequest(Platform& platform, std::vector<std::string> args) {
  Run run(platform, std::move(args));
  run.locked = lockRequested(platform);
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
  // A response that did not reach its reader is no success.
  if (!run.out.delivered()) return 1;
  return result == 0 ? 0 : 1;
}

}  // namespace revozi
