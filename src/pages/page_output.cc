#include "pages/page_output.h"

#include <algorithm>

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
  // Straight into the output's buffer: the text between conversions in one
  // piece, each argument escaped as its wrapper asks.
  std::string& to = out.buffer_;
  const PrintArg* next = args.begin();
  for (std::size_t at = 0; at < format.size();) {
    const std::size_t percent = std::min(format.find('%', at), format.size());
    to.append(format, at, percent - at);
    if (percent == format.size()) break;
    std::size_t conversion = percent + 1;
    if (format[conversion] == 'l') ++conversion;  // "%ld"
    at = conversion + 1;
    if (format[conversion] == '%') {
      to += '%';
      continue;
    }
    const PrintArg& a = *next++;
    switch (a.kind) {
      case PrintArg::kText: to.append(a.text); break;
      case PrintArg::kHtml: appendHtmlEscaped(to, a.text); break;
      case PrintArg::kWml: appendWmlEscaped(to, a.text); break;
      case PrintArg::kNumber: to += std::to_string(a.number); break;
    }
  }
  if (to.size() >= PageOutput::kFlushAt) out.flush();
}

}  // namespace revozi
