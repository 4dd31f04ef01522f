// The payment sandbox's commands from a shell (never under a web server):
// --help, --version, --new-key (its key pair), --list and --replay (the
// notifications it sent), and where it finds its key.
#pragma once

#include <optional>

namespace revozi::sandbox {

constexpr char kKeyVariable[] = "KORVEN_SANDBOX_KEY";
constexpr char kDefaultKeyFile[] = "/etc/revozi/korven-sandbox.key";
constexpr char kDefaultPublicFile[] = "/etc/revozi/korven-sandbox.pub";
// How a page tells a merchant to make the key pair.
constexpr char kNewKeyCommand[] = "korven-sandbox.cgi --new-key";

// The exit status of the command that `argv` asks for outside a web server
// (no REQUEST_METHOD), when it asks for one; nothing otherwise.
std::optional<int> runSandboxCommand(int argc, char** argv);

}  // namespace revozi::sandbox
