#include "sandbox/sandbox_notify.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "params/text.h"
#include "signing/signing.h"
#include "tools/tool_text.h"

namespace revozi::sandbox {
namespace {

using Clock = std::chrono::steady_clock;

// A notification URL longer than this is not kept.
constexpr std::size_t kMaxKeptUrl = 64 * 1024;
// Kept files: 20 digits of nanoseconds since 1970, '-', 6 random digits.
constexpr std::size_t kTimeDigits = 20;
constexpr char kRecordSuffix[] = ".url";
constexpr std::size_t kRecordNameSize = kTimeDigits + 1 + 6 + sizeof kRecordSuffix - 1;

// Waits for `events` on `fd` until the call's time is up; false then.
bool waitFor(int fd, short events, Clock::time_point start) {
  for (;;) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    const long left = kNotifyMilliseconds - static_cast<long>(spent);
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

// Closes a descriptor however the function that opened it ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { if (fd_ >= 0) ::close(fd_); }
  int fd() const { return fd_; }

 private:
  const int fd_;
};

}  // namespace

std::string httpExchange(std::string_view url, std::string& response, std::string_view body, std::size_t maxAnswer) {
  if (!startsWithIgnoringCase(url, "http://")) return "not called: only plain http:// URLs on this host are called";
  url.remove_prefix(7);
  std::size_t end = url.find_first_of("/?#");
  std::string_view authority = url.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : url.substr(end);
  rest = rest.substr(0, rest.find('#'));
  std::string target = rest.empty() || rest.front() != '/' ? "/" + std::string(rest) : std::string(rest);

  std::string_view host = authority;
  std::uint64_t port = 80;
  std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = tools::digitsValue(authority.substr(colon + 1), 5).value_or(0);
    if (port == 0 || port > 65535) return "not called: the port is not a number from 1 to 65535";
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  std::string hostText = equalsIgnoringCase(host, "localhost") ? "127.0.0.1" : std::string(host);
  if (inet_pton(AF_INET, hostText.c_str(), &address.sin_addr) != 1 ||
      (ntohl(address.sin_addr.s_addr) >> 24) != 127) {
    return "not called: the sandbox calls 127.x.x.x and localhost only";
  }

  const Clock::time_point start = Clock::now();
  Descriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.fd() < 0) return "failed: no socket";
  if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS || !waitFor(socket.fd(), POLLOUT, start)) {
      return errno == EINPROGRESS ? "failed: no connection within 15 seconds" : "failed: connection refused";
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
      return "failed: connection refused";
    }
  }
  std::string request = (body.empty() ? "GET " : "POST ") + target + " HTTP/1.0\r\nHost: " +
                        std::string(authority) + "\r\nUser-Agent: korven-sandbox\r\nConnection: close\r\n";
  if (!body.empty()) {
    request += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n";
  }
  request += "\r\n";
  request += body;
  std::string_view pending = request;
  while (!pending.empty()) {
    ssize_t n = ::send(socket.fd(), pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      pending.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return "failed: the request could not be sent";
    } else if (!waitFor(socket.fd(), POLLOUT, start)) {
      return "failed: the request could not be sent within 15 seconds";
    }
  }
  char chunk[1024];
  bool timedOut = false;
  while (response.size() < maxAnswer) {
    ssize_t n = ::recv(socket.fd(), chunk, std::min(sizeof chunk, maxAnswer - response.size()), 0);
    if (n > 0) {
      response.append(chunk, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    } else if (!waitFor(socket.fd(), POLLIN, start)) {
      timedOut = true;
      break;
    }
  }
  if (response.empty()) {
    return timedOut ? "failed: no answer within 15 seconds" : "failed: the connection closed without an answer";
  }
  std::string_view line = std::string_view(response).substr(0, response.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
}

namespace {

// Fills in what the answer `response` (head and start of body) shows.
void readAnswer(std::string_view response, NotifyCall& call) {
  // "HTTP/1.x 200" and the end of the status code.
  const std::string_view status = call.result;
  call.delivered = status.size() >= 12 && status.substr(0, 7) == "HTTP/1." && status.substr(8, 2) == " 2" &&
                   status[10] >= '0' && status[10] <= '9' && status[11] >= '0' && status[11] <= '9' &&
                   (status.size() == 12 || status[12] == ' ');
  std::size_t headEnd = response.find("\r\n\r\n");
  std::size_t bodyStart = headEnd == std::string_view::npos ? headEnd : headEnd + 4;
  if (headEnd == std::string_view::npos) {
    headEnd = response.find("\n\n");
    bodyStart = headEnd == std::string_view::npos ? headEnd : headEnd + 2;
  }
  if (headEnd == std::string_view::npos) return;
  std::string_view head = response.substr(0, headEnd);
  head.remove_prefix(std::min(head.find('\n'), head.size()));  // the status line
  while (!head.empty()) {
    head.remove_prefix(1);
    std::string_view line = head.substr(0, head.find('\n'));
    head.remove_prefix(line.size());
    if (!startsWithIgnoringCase(line, "content-type:")) continue;
    std::string_view type = line.substr(13);
    type = tools::trimBlanks(type.substr(0, type.find(';')));
    if (!type.empty() && type.back() == '\r') type = tools::trimBlanks(type.substr(0, type.size() - 1));
    call.textPlain = equalsIgnoringCase(type, "text/plain");
    break;
  }
  if (!call.textPlain) return;
  for (char c : response.substr(bodyStart)) {
    if (call.excerpt.size() == kNotifyExcerptMax) break;
    if ((c >= 0x20 && c <= 0x7E) || c == '\n') call.excerpt += c;
  }
}

bool isRecordName(std::string_view name) {
  if (name.size() != kRecordNameSize || name.substr(kTimeDigits + 7) != kRecordSuffix || name[kTimeDigits] != '-') {
    return false;
  }
  const auto digits = [](std::string_view text) { return text.find_first_not_of("0123456789") == std::string_view::npos; };
  return digits(name.substr(0, kTimeDigits)) && digits(name.substr(kTimeDigits + 1, 6));
}

// The kept file names, oldest first; false after filling in `why`.
bool recordNames(const std::string& dir, std::vector<std::string>& names, std::string& why) {
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) {
    why = "cannot read " + dir + ": " + std::strerror(errno);
    return false;
  }
  while (const dirent* entry = ::readdir(folder)) {
    if (isRecordName(entry->d_name)) names.emplace_back(entry->d_name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  return true;
}

// A URL as the sandbox builds it: http://, printable ASCII, no blank.
bool isKeptUrl(std::string_view url) {
  return startsWithIgnoringCase(url, "http://") && url.size() <= kMaxKeptUrl &&
         std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

// An attempt's line: milliseconds, a blank, the result (printable ASCII,
// at most 200 bytes: anything else as %XX), the delivered mark.
std::string attemptLine(long long milliseconds, const NotifyCall& call) {
  std::string text;
  tools::appendPercentEncoded(text, std::string_view(call.result).substr(0, kNotifyExcerptMax),
                              [](unsigned char b) { return b == '%' || b < 0x20 || b >= 0x7F; });
  return std::to_string(milliseconds) + (call.delivered ? " + " : " - ") + text + "\n";
}

}  // namespace

long long nowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string utcText(long long milliseconds) {
  const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
  char when[32];
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return when;
}

std::vector<long long> deliverySchedule() {
  const char* test = std::getenv(kTestScheduleVariable);
  if (test == nullptr || *test == '\0') return {5, 30, 120, 600};
  std::vector<long long> delays;
  std::string_view list = test;
  while (!list.empty() && delays.size() < 10) {
    const std::size_t comma = list.find(',');
    const auto value = tools::digitsValue(list.substr(0, comma), 6);
    if (!value) return {5, 30, 120, 600};
    delays.push_back(static_cast<long long>(*value));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return delays;
}

bool RecordedNotification::delivered() const {
  return std::any_of(attempts.begin(), attempts.end(), [](const Attempt& a) { return a.delivered; });
}

long long RecordedNotification::nextAttempt(const std::vector<long long>& schedule) const {
  if (attempts.empty() || delivered() || attempts.size() > schedule.size()) return -1;
  return attempts.back().milliseconds + schedule[attempts.size() - 1] * 1000;
}

std::string recordAttempt(const RecordedNotification& kept, const NotifyCall& call) {
  Descriptor file(::open(kept.path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  if (file.fd() < 0) return "cannot write " + kept.path + ": " + std::strerror(errno);
  const std::string line = attemptLine(nowMilliseconds(), call);
  if (::write(file.fd(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    return "cannot write " + kept.path;
  }
  return "";
}

NotifyCall callNotifyUrl(std::string_view url) {
  NotifyCall call;
  std::string response;
  call.result = httpExchange(url, response);
  if (!response.empty()) readAnswer(response, call);
  return call;
}

std::string recordNotification(const std::string& dir, std::string_view url, const std::vector<NotifyCall>& calls) {
  if (!isKeptUrl(url)) return "the URL is not kept (longer than 64 KiB)";
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return "cannot create " + dir + ": " + std::strerror(errno);
  }
  struct stat info {};
  if (::lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
      (info.st_mode & 077) != 0) {
    return dir + " is not a private folder of this user (mode 0700)";
  }
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::string stamp = std::to_string(now);
  stamp.insert(0, kTimeDigits - std::min(kTimeDigits, stamp.size()), '0');
  const std::string path = dir + "/" + stamp + "-" + signing::randomDigits(6) + kRecordSuffix;
  std::string line = std::string(url) + "\n";
  for (const NotifyCall& call : calls) line += attemptLine(now / 1000000, call);
  {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file.fd() < 0) return "cannot write in " + dir + ": " + std::strerror(errno);
    if (::write(file.fd(), line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      ::unlink(path.c_str());
      return "cannot write in " + dir;
    }
  }
  std::vector<std::string> names;
  std::string why;
  if (!recordNames(dir, names, why)) return why;
  for (std::size_t i = 0; i + kKeptNotifications < names.size(); ++i) ::unlink((dir + "/" + names[i]).c_str());
  return "";
}

std::vector<RecordedNotification> recordedNotifications(const std::string& dir, std::string& why) {
  std::vector<RecordedNotification> kept;
  std::vector<std::string> names;
  if (!recordNames(dir, names, why)) return kept;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    Descriptor file(::open((dir + "/" + *name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.fd() < 0) continue;
    std::string text(kMaxKeptUrl + 2, '\0');
    std::size_t got = 0;
    for (ssize_t n; got < text.size() && (n = ::read(file.fd(), text.data() + got, text.size() - got)) > 0;) {
      got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || !isKeptUrl(std::string_view(text).substr(0, end))) continue;
    RecordedNotification record;
    record.url = text.substr(0, end);
    record.path = dir + "/" + *name;
    record.time = utcText(std::stoll(name->substr(0, kTimeDigits - 6)));
    // Attempt lines: milliseconds, '+' (delivered) or '-', the result.
    std::string_view rest = std::string_view(text).substr(end + 1);
    while (!rest.empty()) {
      std::string_view line = rest.substr(0, rest.find('\n'));
      rest.remove_prefix(std::min(rest.size(), line.size() + 1));
      const std::size_t blank = line.find(' ');
      const auto millis = tools::digitsValue(line.substr(0, blank), 15);
      if (!millis || blank + 3 > line.size() || (line[blank + 1] != '+' && line[blank + 1] != '-')) continue;
      Attempt attempt;
      attempt.milliseconds = static_cast<long long>(*millis);
      attempt.delivered = line[blank + 1] == '+';
      tools::appendPercentEncoded(attempt.result, line.substr(blank + 3),
                                  [](unsigned char b) { return b < 0x20 || b >= 0x7F; });
      record.attempts.push_back(std::move(attempt));
    }
    kept.push_back(std::move(record));
  }
  return kept;
}

}  // namespace revozi::sandbox
