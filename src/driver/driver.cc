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

Gathered gatherParameters(Run& run) {
  int code = decodeRequest(run.platform, run.form);
  if (code >= 0) code = fillParameters(run.params, Sources{run.form, run.platform, run.args, run.locked});
  applyDefaults(run.params);
  // Ping mode wins over a failed source; neither validation nor the dialect
  // choice runs for it.
  if (!run.params.empty(kPing) && atoiValue(run.params.text(kPing)) > 0) return {Gathered::kPing, code};
  if (code == 0) code = validateParameters(run.params);
  if (code == 0) code = checkDataRecord(run.params);
  run.dialect = dialectFromSource(run.params.text(kSource));
  if (code != 0) return {Gathered::kFailed, code};
  return {Gathered::kValid};
}

int runRequest(Platform& platform, std::vector<std::string> args) {
  Run run(platform, std::move(args));
  run.locked = lockRequested(platform);
  const Gathered gathered = gatherParameters(run);
  PageOutput* trace = run.params.empty(kTrace) ? nullptr : &run.out;
  bool success = true;
  switch (gathered.kind) {
    case Gathered::kValid:
      if (auto url = selectServer(run.params, platform, trace)) {
        writePaymentPage(run.page(), *url);
      } else {
        writeNoServerPage(run.page(), !run.locked);
      }
      break;
    case Gathered::kPing:
      if (auto url = selectServer(run.params, platform, trace)) {
        pagePrint(run.out, "Serveur: %s\n", *url);
      } else {
        pagePrint(run.out, "Aucun serveur disponible\n");
        run.out.flush();
        platform.writeError("Aucun serveur disponible\n");
        success = false;
      }
      if (gathered.code != 0) {
        // The servers probed may not be the ones configured (an options file
        // that cannot be read leaves the defaults): a monitor must not take
        // the report for success.
        run.out.flush();
        platform.writeError(inputErrorText(gathered.code) + "\n");
        success = false;
      }
      break;
    case Gathered::kFailed:
      writeErrorPage(run.page(), gathered.code, !run.locked);
      success = false;
      break;
  }
  run.out.flush();
  // A response that did not reach its reader is no success.
  return success && run.out.delivered() ? 0 : 1;
}

}  // namespace revozi
