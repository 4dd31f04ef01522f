// Server selection: the first payment server that accepts a TCP connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "pages/page_output.h"
#include "params/param_table.h"
#include "platform/platform.h"
#include "probe/health.h"

namespace revozi {

// Probe order: each slot pairs a server URL with its time-out.
struct ServerSlot {
  ParamIndex url;
  ParamIndex timeout;
  const char* name;  // in the log lines
};
inline constexpr ServerSlot kServerSlots[] = {
    {kKorven, kTimeout, "primary"},   {kBackup1, kTimeout1, "backup1"}, {kBackup2, kTimeout2, "backup2"},
    {kBackup3, kTimeout3, "backup3"}, {kBackup4, kTimeout4, "backup4"},
};

// What selection may use besides the parameters; by default nothing, and
// it probes as it always did.
struct SelectionAids {
  // The memory: read before, written after each probe.
  ServerHealth* health = nullptr;
  // With the memory: a slot whose server failed within the retry period is
  // passed over while a later slot's is not so marked (ping mode probes
  // every slot and only writes what it finds).
  bool passOver = true;
  // One line on standard error per failed probe, per slot passed over and
  // per server found again.
  bool log = false;
};

// The value that switches a server slot off, in any case: the slot is passed
// over as an empty one is, and its built-in URL is not used.
inline constexpr std::string_view kSlotOff = "none";

// True when a slot's URL is kSlotOff, in any case.
bool isSlotOff(std::string_view url);

// Probes KWT_KORVEN, then KWT_BACKUP1 to KWT_BACKUP4 (empty slots and slots
// switched off skipped, without a trace line),
// each bounded by its time-out, and stops at the first that answers: its URL,
// whole, or nothing. With `trace` it writes the trace page there, naming
// every server that was refused or did not answer.
// With aids, see SelectionAids: the slots passed over are probed after all,
// in their order, when every slot probed failed, so the memory alone never
// makes the no-server page.
std::optional<std::string> selectServer(const ParamTable& params, Platform& platform,
                                        PageOutput* trace, const SelectionAids& aids = {});

// True when a TCP connection to the URL's host on `port` was established
// within `timeoutSeconds`, resolution included (one trace line otherwise,
// with `trace`: the resolution error number, 1 to 4, or the errno of the
// last connection attempt to end).
bool probeServer(Platform& platform, std::string_view url, std::uint16_t port,
                 long timeoutSeconds, PageOutput* trace);

// True when a server URL may be probed and become a form's action: it begins
// with "http://", "https://" or "//" (scheme letters in any case) and holds
// no byte below 0x20 and no 0x7F.
bool isServerUrl(std::string_view url);

// The host part of a server URL as handed to the resolver: the text after the
// first scheme marker found ("https://", "http://", "https:", "http:", "//",
// tried in that order; none: the whole URL), cut at its first '/'.
std::string_view hostOfUrl(std::string_view url);

// The probe port from the KWT_PORT text: its integer value read as atoi reads
// it, low 16 bits. Host byte order.
std::uint16_t probePort(std::string_view portText);

// A time-out text read as atol reads it, in seconds; out-of-range values
// saturate.
long probeTimeout(std::string_view timeoutText);

}  // namespace revozi
