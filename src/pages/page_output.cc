#include "pages/page_output.h"

#include <cstdio>

namespace revozi {

void PageOutput::write(std::string_view bytes) {
  buffer_.append(bytes);
  if (buffer_.size() >= kFlushAt) flush();
}

void PageOutput::flush() {
  if (buffer_.empty()) return;
  if (!platform_.writeOutput(buffer_)) delivered_ = false;
  buffer_.clear();
}

void PageOutput::runProgram(const char* const* argv) {
  flush();
  platform_.runProgram(argv);
}

void pageFormatMismatch() {}

void appendHtmlEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
}

void appendWmlEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '$') {
      out += "$$";
    } else {
      appendHtmlEscaped(out, std::string_view(&c, 1));
    }
  }
}

void pagePrintArgs(PageOutput& out, std::string_view format,
                   std::initializer_list<PrintArg> args) {
  std::string piece;
  piece.reserve(format.size() + 64);
  const PrintArg* next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      piece += c;
      continue;
    }
    char conversion = format[++i];
    if (conversion == 'l' && i + 1 < format.size() && format[i + 1] == 'd') conversion = format[++i];
    if (conversion == '%') {
      piece += '%';
      continue;
    }
    const PrintArg& a = *next++;
    switch (a.kind) {
      case PrintArg::kText: piece.append(a.text); break;
      case PrintArg::kHtml: appendHtmlEscaped(piece, a.text); break;
      case PrintArg::kWml: appendWmlEscaped(piece, a.text); break;
      case PrintArg::kNumber: {
        char digits[32];
        int n = std::snprintf(digits, sizeof digits, "%lld", a.number);
        piece.append(digits, static_cast<std::size_t>(n));
        break;
      }
    }
  }
  out.write(piece);
}

}  // namespace revozi
