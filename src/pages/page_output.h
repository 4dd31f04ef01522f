// pagePrint: every byte of a response goes through it, onto one buffered
// stream, in call order. Format strings are the page texts themselves; "%s"
// takes a text, "%d" and "%ld" a number, "%%" writes '%'. Values written into
// markup are wrapped in Html{} or Wml{} to be escaped; plain texts go out as
// they are.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "params/platform.h"

namespace revozi {

enum class Dialect { kHtml = 0, kImode = 1, kWap = 2 };

class PageOutput {
 public:
  explicit PageOutput(Platform& platform) : platform_(platform) {}
  PageOutput(const PageOutput&) = delete;
  PageOutput& operator=(const PageOutput&) = delete;
  ~PageOutput() { flush(); }

  void write(std::string_view bytes);
  // Hands everything written so far to standard output.
  void flush();
  // False once a write to standard output has failed: the response is lost.
  bool delivered() const { return delivered_; }

 private:
  bool delivered_ = true;
  static constexpr std::size_t kFlushAt = 16384;
  Platform& platform_;
  std::string buffer_;
};

// Markup escaping. HTML (and i-mode): & < > " ' become &amp; &lt; &gt;
// &quot; &#39;. WML: the same five, and $ becomes $$ (WML reads $ as a
// variable reference).
struct Html { std::string_view text; };
struct Wml { std::string_view text; };
void appendHtmlEscaped(std::string& out, std::string_view text);
void appendWmlEscaped(std::string& out, std::string_view text);

// Escapes for the markup of `dialect`.
struct Markup {
  Dialect dialect;
  std::string_view text;
};

struct PrintArg {
  enum Kind { kText, kHtml, kWml, kNumber } kind;
  std::string_view text;
  long long number;

  PrintArg(std::string_view t) : kind(kText), text(t), number(0) {}
  PrintArg(const char* t) : kind(kText), text(t ? t : ""), number(0) {}
  PrintArg(const std::string& t) : kind(kText), text(t), number(0) {}
  PrintArg(Html h) : kind(kHtml), text(h.text), number(0) {}
  PrintArg(Wml w) : kind(kWml), text(w.text), number(0) {}
  PrintArg(Markup m)
      : kind(m.dialect == Dialect::kWap ? kWml : kHtml), text(m.text), number(0) {}
  template <typename N, typename = std::enable_if_t<std::is_integral_v<N>>>
  PrintArg(N n) : kind(kNumber), number(static_cast<long long>(n)) {}
};

void pagePrintArgs(PageOutput& out, std::string_view format,
                   std::initializer_list<PrintArg> args);

template <typename... Args>
void pagePrint(PageOutput& out, std::string_view format, const Args&... args) {
  pagePrintArgs(out, format, {PrintArg(args)...});
}

}  // namespace revozi
