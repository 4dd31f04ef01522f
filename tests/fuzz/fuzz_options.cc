// The options-file reader on any file content. The input is the content of a
// file of the in-memory platform, read twice: into an empty table, and into
// one whose KWT_SITE and KWT_CMD are already set.
#include <cstdint>
#include <string>

#include "params/param_table.h"
#include "params/sources.h"
#include "params/validate.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

void checkTable(const revozi::ParamTable& table, std::string_view content) {
  for (int i = 0; i < revozi::kParamCount; ++i) {
    if (!table.present(i)) continue;
    const std::string_view value = table.text(i);
    // An empty value sets nothing; values are trimmed, lie within one line,
    // and are copies of bytes of the file.
    FUZZ_CHECK(!value.empty());
    FUZZ_CHECK(value.size() <= 3071);
    FUZZ_CHECK(value.find('\n') == std::string_view::npos);
    FUZZ_CHECK(value.find('\0') == std::string_view::npos);
    FUZZ_CHECK(value.front() != ' ' && value.front() != '\t');
    FUZZ_CHECK(!isSpace(value.back()));
    FUZZ_CHECK(content.find(value) != std::string_view::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view content = revozi::fuzzing::asText(data, size);
  static revozi::testing::FakePlatform platform;
  platform.offline = true;
  platform.files["kwtinfos.txt"] = std::string(content);

  revozi::ParamTable table;
  const int rc = revozi::readOptionsFile(table, platform, "kwtinfos.txt");
  FUZZ_CHECK(rc == 0 || rc == revozi::kErrOptionsLine || rc == revozi::kErrNoMemory);
  checkTable(table, content);

  // The first source to give a value wins: what is set stays, and every
  // other entry is filled exactly as in the empty table.
  revozi::ParamTable filled;
  filled.set(revozi::kSite, std::string("1234567"));
  filled.set(revozi::kCmd, std::string("KEEP"));
  const int again = revozi::readOptionsFile(filled, platform, "kwtinfos.txt");
  FUZZ_CHECK(again == rc);
  FUZZ_CHECK(filled.text(revozi::kSite) == "1234567");
  FUZZ_CHECK(filled.text(revozi::kCmd) == "KEEP");
  for (int i = 0; i < revozi::kParamCount; ++i) {
    if (i == revozi::kSite || i == revozi::kCmd) continue;
    FUZZ_CHECK(filled.value(i) == table.value(i));
  }
  return 0;
}
