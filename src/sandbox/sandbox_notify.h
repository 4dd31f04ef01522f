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
constexpr int kNotifyMilliseconds = 15000;
// What is shown of an answer: its body's first printable bytes, and only
// when the answer is text/plain.
constexpr std::size_t kNotifyExcerptMax = 200;
// How many notifications are kept for replay.
constexpr std::size_t kKeptNotifications = 20;

constexpr char kStateVariable[] = "KORVEN_SANDBOX_STATE";
constexpr char kDefaultStateDir[] = "/var/lib/revozi/korven-sandbox";

struct NotifyCall {
  std::string result;      // the status line, or why there is none
  bool delivered = false;  // the shop answered 2xx (a redirect is a failure)
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

// The delays before each new attempt at a notification that was not
// delivered, in seconds after the one before; then it is given up.
// KORVEN_SANDBOX_TEST_SCHEDULE (for tests only) replaces them: "1,1".
constexpr char kTestScheduleVariable[] = "KORVEN_SANDBOX_TEST_SCHEDULE";
std::vector<long long> deliverySchedule();

struct Attempt {
  long long milliseconds = 0;  // when, since 1970
  std::string result;          // the status line or why none, printable ASCII
  bool delivered = false;
};

// Keeps `url` and the attempts `calls` made just now in the private folder
// `dir` (created 0700 when missing; files 0600), with the newest
// kKeptNotifications. "" when done, else why not.
std::string recordNotification(const std::string& dir, std::string_view url, const std::vector<NotifyCall>& calls);

struct RecordedNotification {
  std::string time;  // when it was sent first, UTC
  std::string url;
  std::string path;  // its file
  std::vector<Attempt> attempts;
  bool delivered() const;
  // When the next attempt is due (milliseconds since 1970); -1 when none
  // is: delivered, or given up after the last of `schedule`.
  long long nextAttempt(const std::vector<long long>& schedule) const;
};

// Appends the attempt `call` to the kept notification `kept`; "" when done.
std::string recordAttempt(const RecordedNotification& kept, const NotifyCall& call);

// A time in milliseconds since 1970 as "YYYY-MM-DD HH:MM:SS UTC".
std::string utcText(long long milliseconds);
long long nowMilliseconds();

// The notifications kept in `dir`, the newest first; `why` says why none
// can be read.
std::vector<RecordedNotification> recordedNotifications(const std::string& dir, std::string& why);

}  // namespace revozi::sandbox
