// The payment sandbox's server-to-server call to KWT_REPONDRE_A, and the
// record of the last notifications it sent, which `korven-sandbox.cgi
// --replay` sends again from a shell (a late or duplicate delivery).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace revozi::sandbox {

// Bound of one whole call: connection, request, answer.
constexpr int kNotifyMilliseconds = 5000;
// What is shown of an answer: its body's first printable bytes, and only
// when the answer is text/plain.
constexpr std::size_t kNotifyExcerptMax = 200;
// How many notifications are kept for replay.
constexpr std::size_t kKeptNotifications = 20;

constexpr char kStateVariable[] = "KORVEN_SANDBOX_STATE";
constexpr char kDefaultStateDir[] = "/var/lib/revozi/korven-sandbox";

struct NotifyCall {
  std::string result;      // the status line, or why there is none
  bool delivered = false;  // the shop answered 200
  bool textPlain = false;  // the answer is text/plain
  std::string excerpt;     // then its body's first printable bytes
};

// Sends a GET to `url` (a POST of the form `body` when it is not empty), when
// it is a plain http:// URL on this host, and reads at most `maxAnswer` bytes
// of the answer into `response`, all within kNotifyMilliseconds: the status
// line, or why there is none ("not called: ..." for a URL off this host).
std::string httpExchange(std::string_view url, std::string& response, std::string_view body = {},
                         std::size_t maxAnswer = 4096);

// Calls `url` (built by the sandbox: printable ASCII) with a GET, when it is
// a plain http:// URL on this host: 127.x.x.x or localhost, any port.
NotifyCall callNotifyUrl(std::string_view url);

// Keeps `url` in the private folder `dir` (created 0700 when missing; files
// 0600), with the newest kKeptNotifications. "" when done, else why not.
std::string recordNotification(const std::string& dir, std::string_view url);

struct RecordedNotification {
  std::string time;  // when it was sent, UTC
  std::string url;
};

// The notifications kept in `dir`, the newest first; `why` says why none
// can be read.
std::vector<RecordedNotification> recordedNotifications(const std::string& dir, std::string& why);

}  // namespace revozi::sandbox
