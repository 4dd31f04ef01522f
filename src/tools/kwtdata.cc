// kwtdata: builds a KWT_DATA block from NAME=value parameters, or reads one
// back into its fields. A tool for merchants and support staff checking what
// a payment page carries.
//
//   kwtdata encode KWT_SITE=1234567 KWT_RANG=01 ...   prints the block
//   kwtdata decode BLOCK                              prints NAME=value lines
//   kwtdata decode < file                             the block on stdin
//   kwtdata verify --key PUBLIC --retour LIST [--cgi | QUERY]
//                                                     checks a signed return
//
// Exit status: 0 done, 1 the text is not a valid block or a return not
// validly signed, 2 usage error or a valid block that the module could not
// have written (a field its validation refuses; said on standard error).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datablock/decode.h"
#include "datablock/encode.h"
#include "params/param_table.h"
#include "driver/program_version.h"
#include "signing/signing.h"
#include "tools/tool_text.h"

namespace {

using revozi::tools::lineText;

constexpr int kUsageError = 2;
// A valid block whose fields the module's validation refuses.
constexpr int kNotFromModule = 2;
// Standard input larger than this is not a block anyone could have sent.
constexpr std::size_t kMaxInput = 64u * 1024u * 1024u;

constexpr char kHelp[] =
    "Usage: kwtdata encode NAME=value ...\n"
    "       kwtdata decode [BLOCK]\n"
    "       kwtdata verify --key PUBLIC [--key PUBLIC2] --retour LIST [--cgi | QUERY]\n"
    "       kwtdata --help | --version\n"
    "\n"
    "encode  builds the KWT_DATA block from the given parameters (KWT_ or VEL_\n"
    "        names, e.g. KWT_SITE=1234567 KWT_RANG=01 KWT_TOTAL=1500\n"
    "        KWT_DEVISE=978 KWT_CMD=ORDER42 KWT_PORTEUR=a@b.fr KWT_RETOUR=M:M\n"
    "        KWT_IDENTIFIANT=7) and prints it on one line. The values are not\n"
    "        validated; parameters outside the block are accepted and ignored.\n"
    "decode  reads a block (the argument, or standard input without one; a\n"
    "        trailing line end is ignored), verifies its check values and\n"
    "        prints the fields it carries, one NAME=value line each:\n"
    "        KWT_TOTAL KWT_DEVISE KWT_SITE KWT_RANG KWT_PORTEUR KWT_CMD\n"
    "        KWT_REPONDRE_A KWT_RETOUR KWT_PAIEMENT KWT_CODEFAMILLE\n"
    "        KWT_IDENTIFIANT KWT_2MONT1 KWT_DATE1 KWT_2MONT2 KWT_DATE2\n"
    "        KWT_2MONT3 KWT_DATE3 KWT_DIFF\n"
    "        Values are byte for byte, except %, control bytes and 0x7F,\n"
    "        written %XX. When a field would fail the module's validation\n"
    "        (e.g. KWT_TOTAL=1), a line on standard error names it with its\n"
    "        error code: the module could not have written that block.\n"
    "verify  checks a return or notification of the payment server. LIST is\n"
    "        the shop's own KWT_RETOUR (NAME:LETTER items, letters M R A E T,\n"
    "        the signature NAME:S last, e.g. Mt:M;Ref:R;Auto:A;Erreur:E;\n"
    "        Trans:T;Sig:S). The query exactly as the client sent it: QUERY,\n"
    "        standard input without it (one trailing line end ignored), or\n"
    "        with --cgi REQUEST_URI after its first '?' (QUERY_STRING where\n"
    "        there is no REQUEST_URI). Its last variables must be LIST's\n"
    "        names in order, then the signature of those variables and of\n"
    "        LIST's letters by the key of PUBLIC (or PUBLIC2, while keys\n"
    "        change). Valid: prints 'source: REQUEST_URI' (or QUERY_STRING)\n"
    "        with --cgi, then the return URL's own variables (not signed) as\n"
    "        url:NAME=value lines, then the signed ones as NAME=value lines\n"
    "        ('+' a blank, %XX decoded; then '%', '=', '&', control bytes\n"
    "        and 0x7F written %XX), exit 0. Otherwise prints why on standard\n"
    "        error and exits 1.\n"
    "\n"
    "Exit status: 0 success, 1 not a valid block or signature, 2 usage error,\n"
    "or a valid block that the module could not have written.\n";

int usage(const char* message, const char* detail = nullptr) {
  if (detail != nullptr) {
    std::fprintf(stderr, "kwtdata: %s: %s\n", message, detail);
  } else {
    std::fprintf(stderr, "kwtdata: %s\n", message);
  }
  std::fprintf(stderr, "Try 'kwtdata --help'.\n");
  return kUsageError;
}

void writeBytes(std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); }

int encode(int argc, char** argv) {
  revozi::ParamTable table;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    const std::size_t equals = argument.find('=');
    if (equals == std::string_view::npos) return usage("expected NAME=value", argv[i]);
    const std::string name(argument.substr(0, equals));
    const int index = revozi::ParamTable::findByName(name);
    if (index < 0) return usage("unknown parameter", name.c_str());
    table.set(index, std::string(argument.substr(equals + 1)));
  }
  // A field too long for its length prefix would shift the fields after it.
  if (revozi::checkDataRecord(table) != 0) {
    std::fprintf(stderr, "kwtdata: a payment-data field is longer than 9999 bytes\n");
    return 1;
  }
  writeBytes(revozi::encodeDataBlock(table));
  writeBytes("\n");
  return 0;
}

bool readStandardInput(std::string& text) {
  char chunk[65536];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
    if (text.size() + got > kMaxInput) return false;
    text.append(chunk, got);
  }
  return std::ferror(stdin) == 0;
}

// Drops a trailing line end (LF or CR LF; a lone CR too) from `text`.
void dropLineEnd(std::string& text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
}

int decode(std::string_view block) {
  const revozi::DecodeResult result = revozi::decodeDataBlock(block);
  if (!result.ok) {
    std::fprintf(stderr, "kwtdata: %s\n", result.reason.c_str());
    return 1;
  }
  for (const auto& field : result.fields.named()) {
    writeBytes(field.name);
    writeBytes("=");
    writeBytes(lineText(field.value));
    writeBytes("\n");
  }
  const std::string warning = revozi::moduleRefusalWarning(result.fields);
  if (!warning.empty()) {
    std::fprintf(stderr, "kwtdata: %s\n", warning.c_str());
    return kNotFromModule;
  }
  return 0;
}

// Two keys at most: the current one and, while keys change, the next.
constexpr std::size_t kMaxVerifyKeys = 2;

// A name or value of a verified query on one line, which a shop splits at
// its first '='.
std::string variableText(std::string_view text) {
  std::string out;
  revozi::tools::appendPercentEncoded(
      out, text, [](unsigned char b) { return b == '%' || b == '=' || b == '&' || b < 0x20 || b == 0x7F; });
  return out;
}

int verify(int argc, char** argv) {
  std::vector<revozi::signing::PublicKey> keys;
  std::optional<revozi::signing::ReturnList> retour;
  const char* query = nullptr;
  bool cgi = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--key" || argument == "--retour") {
      if (i + 1 == argc) return usage("a value must follow", argv[i]);
      const char* value = argv[++i];
      if (argument == "--retour") {
        retour = revozi::signing::parseReturnList(value);
        if (retour->signatureName.empty() || !retour->ignored.empty()) {
          return usage("--retour is the shop's KWT_RETOUR: NAME:LETTER items (M R A E T), NAME:S last", value);
        }
        continue;
      }
      if (keys.size() == kMaxVerifyKeys) return usage("at most two --key");
      revozi::signing::PublicKey key;
      const std::string why = revozi::signing::readKeyFile(value, key.data(), key.size());
      if (!why.empty()) return usage("public key", why.c_str());
      keys.push_back(key);
    } else if (argument == "--cgi") {
      cgi = true;
    } else if (argument == "--name") {
      return usage("--name is gone: the signature's name is the NAME:S item of --retour");
    } else if (query == nullptr && (argument.empty() || argument.front() != '-')) {
      query = argv[i];
    } else {
      return usage(query == nullptr ? "unknown option" : "verify takes one query", argv[i]);
    }
  }
  if (keys.empty()) return usage("verify needs --key PUBLIC (the payment server's public key file)");
  if (!retour) return usage("verify needs --retour LIST (the shop's KWT_RETOUR)");
  if (cgi && query != nullptr) return usage("--cgi reads the query from the environment, not from an argument");
  std::string text;
  const char* source = nullptr;
  if (cgi) {
    const auto request = revozi::signing::requestQuery(std::getenv("REQUEST_URI"), std::getenv("QUERY_STRING"));
    if (!request) {
      std::fprintf(stderr, "kwtdata: --cgi: neither REQUEST_URI nor QUERY_STRING is set\n");
      return 1;
    }
    text = request->query;
    source = request->source;
  } else if (query != nullptr) {
    text = query;
  } else if (!readStandardInput(text)) {
    std::fprintf(stderr, "kwtdata: cannot read a query from standard input (unreadable or over 64 MiB)\n");
    return 1;
  } else {
    dropLineEnd(text);
  }
  if (!revozi::signing::start()) {
    std::fprintf(stderr, "kwtdata: the signature library cannot start\n");
    return 1;
  }
  const revozi::signing::Verified verified = revozi::signing::verifyReturn(text, *retour, keys);
  if (!verified.ok) {
    std::fprintf(stderr, "kwtdata: %s\n", lineText(verified.reason).c_str());
    return 1;
  }
  std::string out = source != nullptr ? std::string("source: ") + source + "\n" : std::string();
  for (const revozi::signing::Variable& variable : verified.urlVariables) {
    out += "url:" + variableText(variable.name) + "=" + variableText(variable.value) + "\n";
  }
  for (const revozi::signing::Variable& variable : verified.variables) {
    out += variableText(variable.name) + "=" + variableText(variable.value) + "\n";
  }
  writeBytes(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no command given");
  const std::string_view command = argv[1];
  if (auto flag = revozi::answerProgramFlag("kwtdata", command, kHelp, true)) return *flag;
  int status;
  if (command == "encode") {
    status = encode(argc - 2, argv + 2);
  } else if (command == "decode") {
    if (argc > 3) return usage("decode takes at most one block");
    std::string block;
    if (argc == 3) {
      block = argv[2];
    } else if (!readStandardInput(block)) {
      std::fprintf(stderr, "kwtdata: cannot read a block from standard input (unreadable or over 64 MiB)\n");
      return 1;
    }
    dropLineEnd(block);
    status = decode(block);
  } else if (command == "verify") {
    status = verify(argc - 2, argv + 2);
  } else {
    return usage("unknown command", argv[1]);
  }
  if (std::fflush(stdout) != 0) {
    std::fprintf(stderr, "kwtdata: write error: %s\n", std::strerror(errno));
    return 1;
  }
  return status;
}
