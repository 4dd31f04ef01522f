#include "signing/signing.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "datablock/symbols.h"

namespace revozi::signing {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
// A key file is one short line; anything longer is not one.
constexpr std::size_t kMaxKeyFile = 256;

int sextetOf(char c) {
  const char* at = std::strchr(kAlphabet, c);
  return c != '\0' && at != nullptr ? static_cast<int>(at - kAlphabet) : -1;
}

// The value of a hexadecimal digit of either case, or -1.
int hexValue(char c) {
  const int value = datablock::symbolValue(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
  return value < 16 ? value : -1;
}

}  // namespace

bool start() { return sodium_init() >= 0; }

std::string base64url(const unsigned char* bytes, std::size_t size) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (std::size_t i = 0; i < size; ++i) {
    bits = (bits << 8) | bytes[i];
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
  return out;
}

bool fromBase64url(std::string_view text, unsigned char* out, std::size_t size) {
  if (text.size() != (size * 8 + 5) / 6) return false;
  unsigned bits = 0;
  int count = 0;
  std::size_t written = 0;
  for (char c : text) {
    const int sextet = sextetOf(c);
    if (sextet < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(sextet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out[written++] = static_cast<unsigned char>(bits >> count);
    }
    bits &= (1u << count) - 1;
  }
  return written == size && bits == 0;
}

std::string readKeyFile(const std::string& path, unsigned char* out, std::size_t size) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  struct stat info {};
  char buffer[kMaxKeyFile + 1];
  std::size_t got = 0;
  std::string why;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = path + " is not a regular file";
  } else {
    while (got < sizeof buffer) {
      const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) why = "cannot read " + path + ": " + std::strerror(errno);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  if (!why.empty()) return why;
  std::string_view text(buffer, got);
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const bool ok = fromBase64url(text, out, size);
  sodium_memzero(buffer, sizeof buffer);
  if (ok) return "";
  return path + " is not a key file (one line of " + std::to_string((size * 8 + 5) / 6) +
         " base64url characters)";
}

std::string looseKeyMode(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || (info.st_mode & (S_IROTH | S_IWOTH)) == 0) return "";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
  return "the private key " + path + " may be read by every user (mode " + mode +
         "); make it private with chmod o-rwx " + path;
}

std::string keyFileText(const unsigned char* key, std::size_t size) { return base64url(key, size) + "\n"; }

void wipe(Seed& seed) { sodium_memzero(seed.data(), seed.size()); }

Seed newSeed() {
  Seed seed;
  randombytes_buf(seed.data(), seed.size());
  return seed;
}

PublicKey publicKeyOf(const Seed& seed) {
  PublicKey publicKey;
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secret;
  crypto_sign_seed_keypair(publicKey.data(), secret.data(), seed.data());
  sodium_memzero(secret.data(), secret.size());
  return publicKey;
}

Signer::Signer(const Seed& seed) {
  static_assert(crypto_sign_SECRETKEYBYTES == std::tuple_size_v<decltype(secret_)>);
  static_assert(crypto_sign_BYTES == kSignatureBytes && crypto_sign_PUBLICKEYBYTES == kPublicKeyBytes &&
                crypto_sign_SEEDBYTES == kSeedBytes);
  PublicKey unused;
  crypto_sign_seed_keypair(unused.data(), secret_.data(), seed.data());
}

Signer::~Signer() { sodium_memzero(secret_.data(), secret_.size()); }

std::string Signer::sign(std::string_view message) const {
  unsigned char signature[kSignatureBytes];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                       secret_.data());
  return base64url(signature, sizeof signature);
}

std::string randomDigits(std::size_t count) {
  std::string digits;
  for (std::size_t i = 0; i < count; ++i) digits += static_cast<char>('0' + randombytes_uniform(10));
  return digits;
}

std::string_view failureToken(Failure failure) {
  switch (failure) {
    case Failure::kNone: return "valid";
    case Failure::kUnsigned: return "unsigned";
    case Failure::kNotLast: return "not-last";
    case Failure::kNotReturnList: return "not-retour";
    case Failure::kNotBase64url: return "not-base64url";
    case Failure::kNoMatch: return "no-match";
  }
  return "no-match";
}

std::string queryEncode(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '.' ||
        b == '_' || b == '~') {
      out += c;
    } else {
      out += '%';
      out += datablock::symbolOf(b >> 4);
      out += datablock::symbolOf(b & 0x0F);
    }
  }
  return out;
}

std::string queryDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

ReturnList parseReturnList(std::string_view list) {
  ReturnList parsed;
  while (!list.empty()) {
    const std::size_t end = std::min(list.find(';'), list.size());
    const std::string_view item = list.substr(0, end);
    list.remove_prefix(std::min(end + 1, list.size()));
    if (item.empty()) continue;
    const char letter = item.back();
    const bool shaped = item.size() >= 3 && item[item.size() - 2] == ':';
    const std::string_view name = item.substr(0, item.size() - 2);
    if (shaped && letter == kSignatureLetter && !parsed.misplacedSignature &&
        list.find_first_not_of(';') == std::string_view::npos) {
      parsed.signatureName = name;
    } else if (shaped && letter == kSignatureLetter) {
      parsed.misplacedSignature = true;
      parsed.ignored.emplace_back(item);
    } else if (shaped && kValueLetters.find(letter) != std::string_view::npos) {
      parsed.items.push_back({std::string(name), letter});
    } else {
      parsed.ignored.emplace_back(item);
    }
  }
  if (parsed.misplacedSignature) parsed.signatureName.clear();
  return parsed;
}

std::string signedMessage(const ReturnList& list, std::string_view appended) {
  std::string message;
  for (const ReturnItem& item : list.items) message += item.letter;
  message += '\n';
  message += appended;
  return message;
}

Verified verifyReturn(std::string_view query, const ReturnList& expected, const std::vector<PublicKey>& keys) {
  Verified result;
  const std::string& name = expected.signatureName;
  // Where each variable starts and ends; which of them are named `name`.
  struct Span {
    std::size_t start, end;
  };
  std::vector<Span> spans;
  std::size_t named = 0;
  for (std::size_t start = 0;;) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view item = query.substr(start, end - start);
    if (!item.empty() && queryDecode(item.substr(0, item.find('='))) == name) ++named;
    spans.push_back({start, end});
    if (end == query.size()) break;
    start = end + 1;
  }
  const auto nameOf = [&](const Span& span) {
    const std::string_view item = query.substr(span.start, span.end - span.start);
    return queryDecode(item.substr(0, item.find('=')));
  };
  if (named == 0) {
    result.failure = Failure::kUnsigned;
    result.reason = "no signature: the query has no variable " + name;
    return result;
  }
  if (named > 1 || nameOf(spans.back()) != name) {
    result.failure = Failure::kNotLast;
    result.reason = "the signature " + name + " is not the last variable";
    return result;
  }
  const std::size_t count = expected.items.size();
  bool shaped = spans.size() > count;
  for (std::size_t i = 0; shaped && i < count; ++i) {
    shaped = nameOf(spans[spans.size() - 1 - count + i]) == expected.items[i].name;
  }
  if (!shaped) {
    std::string names;
    for (const ReturnItem& item : expected.items) names += (names.empty() ? "" : ", ") + item.name;
    result.failure = Failure::kNotReturnList;
    result.reason = "the variables before the signature are not those of KWT_RETOUR (" +
                    (names.empty() ? std::string("none") : names) + ")";
    return result;
  }
  const Span& signature = spans.back();
  const std::string_view item = query.substr(signature.start);
  const std::size_t equals = item.find('=');
  unsigned char bytes[kSignatureBytes];
  if (equals == std::string_view::npos || !fromBase64url(item.substr(equals + 1), bytes, sizeof bytes)) {
    result.failure = Failure::kNotBase64url;
    result.reason = "the signature is not base64url of 64 bytes";
    return result;
  }
  const std::size_t first = spans.size() - 1 - count;
  const std::string_view appended =
      count == 0 ? std::string_view() : query.substr(spans[first].start, signature.start - 1 - spans[first].start);
  const std::string message = signedMessage(expected, appended);
  bool matches = false;
  for (const PublicKey& key : keys) {
    if (crypto_sign_verify_detached(bytes, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                                    key.data()) == 0) {
      matches = true;
    }
  }
  if (!matches) {
    result.failure = Failure::kNoMatch;
    result.reason = "the signature does not match: the query was altered, or signed by another key";
    return result;
  }
  for (std::size_t i = 0; i + 1 < spans.size(); ++i) {
    const std::string_view variable = query.substr(spans[i].start, spans[i].end - spans[i].start);
    if (variable.empty()) continue;
    const std::size_t at = std::min(variable.find('='), variable.size());
    (i < first ? result.urlVariables : result.variables)
        .push_back({queryDecode(variable.substr(0, at)), queryDecode(variable.substr(std::min(at + 1, variable.size())))});
  }
  result.ok = true;
  return result;
}

std::optional<RequestQuery> requestQuery(const char* requestUri, const char* queryString) {
  if (requestUri != nullptr) {
    std::string_view target(requestUri);
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) return RequestQuery{{}, "REQUEST_URI"};
    target.remove_prefix(mark + 1);
    return RequestQuery{target.substr(0, target.find('#')), "REQUEST_URI"};
  }
  if (queryString != nullptr) return RequestQuery{queryString, "QUERY_STRING"};
  return std::nullopt;
}

}  // namespace revozi::signing
