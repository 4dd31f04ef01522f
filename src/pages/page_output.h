// The one writer of every response: pagePrint puts each piece, in call order,
// onto one buffered stream. Formats are the page texts themselves: "%s" takes
// a text, "%d" and "%ld" a number, "%%" writes '%'; the compiler checks each
// format against its arguments. Values written into markup are wrapped in
// Html{} or Wml{} to be escaped; plain texts go out as they are.
#pragma once

#include <concepts>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

#include "params/param_table.h"
#include "platform/platform.h"

namespace revozi {

enum class Dialect { kHtml = 0, kImode = 1, kWap = 2 };

// Markup escaping. HTML (and i-mode): & < > " ' become &amp; &lt; &gt;
// &quot; &#39;. WML: the same five, and $ becomes $$ (WML reads $ as a
// variable reference).
struct Html { std::string_view text; };
struct Wml { std::string_view text; };
void appendHtmlEscaped(std::string& out, std::string_view text);
void appendWmlEscaped(std::string& out, std::string_view text);

struct PrintArg {
  enum Kind { kText, kHtml, kWml, kNumber } kind;
  std::string_view text;
  long long number;

  PrintArg(std::string_view t) : kind(kText), text(t), number(0) {}
  PrintArg(const char* t) : kind(kText), text(t ? t : ""), number(0) {}
  PrintArg(const std::string& t) : kind(kText), text(t), number(0) {}
  PrintArg(Html h) : kind(kHtml), text(h.text), number(0) {}
  PrintArg(Wml w) : kind(kWml), text(w.text), number(0) {}
  template <std::integral N>
  PrintArg(N n) : kind(kNumber), number(static_cast<long long>(n)) {}
};

class PageOutput {
 public:
  explicit PageOutput(Platform& platform) : platform_(platform) {}
  PageOutput(const PageOutput&) = delete;
  PageOutput& operator=(const PageOutput&) = delete;
  ~PageOutput() { flush(); }

  void write(std::string_view bytes);
  // Hands everything written so far to standard output.
  void flush();
  // Runs a program whose output belongs at this place of the response:
  // everything written before it is flushed first.
  void runProgram(const char* const* argv);
  // False once a write to standard output has failed: the response is lost.
  bool delivered() const { return delivered_; }

 private:
  friend void pagePrintArgs(PageOutput& out, std::string_view format,
                            std::initializer_list<PrintArg> args);
  static constexpr std::size_t kFlushAt = 16384;
  Platform& platform_;
  std::string buffer_;
  bool delivered_ = true;
};

// What a page writer is given: where to write, the parameters, the dialect.
struct Page {
  PageOutput& out;
  const ParamTable& params;
  Dialect dialect;
};



// Called only where a format does not fit its arguments: not a constant
// expression, so the mismatch stops the compilation.
void pageFormatMismatch();

// A format text, checked against the arguments' kinds when compiled.
template <typename... Args>
class PageFormat {
 public:
  template <typename T>
    requires std::convertible_to<const T&, std::string_view>
  consteval PageFormat(const T& format) : text_(format) {
    constexpr bool kNumber[] = {std::is_integral_v<Args>..., false};
    std::size_t next = 0;
    for (std::size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] != '%') continue;
      if (++i == text_.size()) pageFormatMismatch();
      if (text_[i] == '%') continue;
      if (text_[i] == 'l') ++i;
      const char conversion = i < text_.size() ? text_[i] : '\0';
      const bool number = conversion == 'd';
      if ((!number && conversion != 's') || (conversion == 's' && text_[i - 1] == 'l')) pageFormatMismatch();
      if (next == sizeof...(Args) || kNumber[next] != number) pageFormatMismatch();
      ++next;
    }
    if (next != sizeof...(Args)) pageFormatMismatch();
  }
  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

void pagePrintArgs(PageOutput& out, std::string_view format, std::initializer_list<PrintArg> args);

template <typename... Args>
void pagePrint(PageOutput& out, std::type_identity_t<PageFormat<std::decay_t<Args>...>> format,
               const Args&... args) {
  pagePrintArgs(out, format.text(), {PrintArg(args)...});
}

}  // namespace revozi
