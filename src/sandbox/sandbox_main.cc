// korven-sandbox.cgi: a stand-in for the payment server, for a merchant's
// integration tests. It decodes the KWT_DATA that the payment page posts
// (verifying both check values), shows the payment fields and every other
// field that came with it, and plays the payment server's answer: accept,
// refuse or cancel sends the browser back to the merchant's page with the
// return variables of KWT_RETOUR, signed with the sandbox's private key
// (KORVEN_SANDBOX_KEY), optionally after calling KWT_REPONDRE_A on this host.
// It keeps nothing but the last notifications it sent, for a replay from a
// shell. Its requests, answers (HTML and plain text), the KWT_RETOUR
// convention and the exit status are described in docs/merchant.md, "The
// payment sandbox".
#include <optional>

#include "platform/system_platform.h"
#include "sandbox/sandbox_commands.h"
#include "sandbox/sandbox_run.h"

int main(int argc, char** argv) {
  if (std::optional<int> status = revozi::sandbox::runSandboxCommand(argc, argv)) return *status;
  revozi::SystemPlatform platform;
  return revozi::sandbox::runSandbox(platform);
}
