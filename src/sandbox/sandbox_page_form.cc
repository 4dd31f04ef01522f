// The conformance run's reading of a shop's page: its first form, with the
// entities of attribute values decoded, and where the form posts to.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "params/text.h"
#include "sandbox/sandbox_conformance.h"

namespace revozi::sandbox {
namespace {

// The value of the attribute `name` (lower case) in the tag text `tag`, whose
// lower-case copy is `lower` ("" when absent).
std::string attribute(std::string_view tag, std::string_view lower, std::string_view name) {
  for (std::size_t at = 0; (at = lower.find(name, at)) != std::string_view::npos; at += name.size()) {
    if (at == 0 || (tag[at - 1] != ' ' && tag[at - 1] != '\t' && tag[at - 1] != '\n')) continue;
    std::size_t i = at + name.size();
    while (i < tag.size() && tag[i] == ' ') ++i;
    if (i == tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && tag[i] == ' ') ++i;
    if (i == tag.size()) return "";
    const char quote = tag[i];
    std::size_t end;
    if (quote == '"' || quote == '\'') {
      end = tag.find(quote, ++i);
    } else {
      end = tag.find_first_of(" \t\n>", i);
    }
    return std::string(tag.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
  }
  return "";
}

// Appends the UTF-8 bytes of the code point `c`.
void appendUtf8(std::string& out, unsigned long c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// `text` with its character references (&amp; &#39; &#x27; ...) decoded; an
// unknown one stays as it is.
std::string decodeEntities(std::string_view text) {
  static const std::map<std::string_view, char> named = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
    if (end == std::string_view::npos || end - i > 10) {
      out += text[i];
      continue;
    }
    std::string_view name = text.substr(i + 1, end - i - 1);
    if (auto found = named.find(name); found != named.end()) {
      out += found->second;
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits(name.substr(hex ? 2 : 1));
      char* stop = nullptr;
      const unsigned long c = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
      if (digits.empty() || *stop != '\0' || c == 0 || c > 0x10FFFF) {
        out += text[i];
        continue;
      }
      appendUtf8(out, c);
    } else {
      out += text[i];
      continue;
    }
    i = end;
  }
  return out;
}

}  // namespace

PageForm firstForm(std::string_view html) {
  PageForm form;
  // Tag and attribute names in any case: found in a lower-case copy.
  std::string lowerHtml(html);
  for (char& ch : lowerHtml) ch = lowerAscii(ch);
  const std::size_t start = lowerHtml.find("<form");
  if (start == std::string::npos) return form;
  const std::size_t end = std::min(lowerHtml.find("</form", start), html.size());
  const std::string_view body = html.substr(start, end - start);
  const std::string_view lower = std::string_view(lowerHtml).substr(start, end - start);
  const auto tagAt = [&](std::size_t at, std::string_view& tag, std::string_view& lowerTag) {
    const std::size_t tagEnd = std::min(lower.find('>', at), lower.size());
    tag = body.substr(at, tagEnd - at);
    lowerTag = lower.substr(at, tagEnd - at);
  };
  std::string_view tag, lowerTag;
  tagAt(0, tag, lowerTag);
  form.action = decodeEntities(attribute(tag, lowerTag, "action"));
  for (std::size_t at = 0; (at = lower.find("<input", at)) != std::string_view::npos; ++at) {
    tagAt(at, tag, lowerTag);
    const std::string name = decodeEntities(attribute(tag, lowerTag, "name"));
    if (!name.empty()) form.fields.emplace_back(name, decodeEntities(attribute(tag, lowerTag, "value")));
  }
  return form;
}

std::string formTarget(std::string_view pageUrl, std::string_view action) {
  if (startsWithIgnoringCase(action, "http://") || startsWithIgnoringCase(action, "https://")) {
    return std::string(action);
  }
  if (action.empty() || action.front() != '/' || !startsWithIgnoringCase(pageUrl, "http://")) return "";
  const std::size_t path = pageUrl.find('/', 7);
  return std::string(pageUrl.substr(0, path)) + std::string(action);
}

}  // namespace revozi::sandbox
