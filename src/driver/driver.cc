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

SelectionAids selectionAids(const Run& run, std::optional<ServerHealth>& health, bool ping) {
  SelectionAids aids;
  Platform& platform = run.platform;
  // Where a form may choose the servers, their port and time-outs, what is
  // remembered or logged would come from the request.
  if (!run.locked && platform.getEnv("REQUEST_METHOD") != nullptr) return aids;
  health = ServerHealth::open(platform, platform.getEnv(kStateDirVariable), platform.getEnv(kRetryVariable));
  aids.health = health ? &*health : nullptr;
  aids.passOver = !ping;
  const char* log = platform.getEnv(kLogVariable);
  aids.log = log != nullptr && *log != '\0' && std::string_view(log) != "0";
  return aids;
}

int runRequest(Platform& platform, std::vector<std::string> args) {
  Run run(platform, std::move(args));
  run.locked = lockRequested(platform);
  const Gathered gathered = gatherParameters(run);
  PageOutput* trace = run.params.empty(kTrace) ? nullptr : &run.out;
  std::optional<ServerHealth> health;
  const SelectionAids aids =
      gathered.kind == Gathered::kFailed ? SelectionAids{} : selectionAids(run, health, gathered.kind == Gathered::kPing);
  bool success = true;
  switch (gathered.kind) {
    case Gathered::kValid:
      if (auto url = selectServer(run.params, platform, trace, aids)) {
        writePaymentPage(run.page(), *url);
      } else {
        writeNoServerPage(run.page(), !run.locked);
      }
      break;
    case Gathered::kPing:
      if (auto url = selectServer(run.params, platform, trace, aids)) {
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
