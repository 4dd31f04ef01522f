#include "params/validate.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace revozi {
namespace {

// A table that passes validation.
ParamTable validTable() {
  ParamTable t;
  t.set(kMode, "1");
  t.set(kSite, "1234567");
  t.set(kRang, "01");
  t.set(kTotal, "1500");
  t.set(kDevise, "978");
  t.set(kCmd, "ORDER42");
  t.set(kPorteur, "a@b.fr");
  t.set(kRetour, "M:M");
  t.set(kIdentifiant, "7");
  return t;
}

int validateWith(int index, std::string value) {
  ParamTable t = validTable();
  t.set(index, std::move(value));
  return validateParameters(t);
}

TEST(Validate, ValidTablePasses) { EXPECT_EQ(validateParameters(validTable()), 0); }

TEST(Validate, RequiredEntries) {
  for (int index : {kMode, kSite, kRang, kTotal, kDevise, kCmd, kPorteur, kRetour, kIdentifiant}) {
    ParamTable t = validTable();
    t.set(index, std::nullopt);
    EXPECT_EQ(validateParameters(t), kErrMissing) << index;
    t.set(index, "");
    EXPECT_EQ(validateParameters(t), kErrMissing) << index;
  }
  // With no key in the KeySlot the merchant key is not required.
  ParamTable t = validTable();
  EXPECT_EQ(validateParameters(t), 0);
  t.set(kCle, "anything");
  EXPECT_EQ(validateParameters(t), kErrKey) << "a key given while none is set differs from it";
}

TEST(Validate, DigitsThenLength) {
  EXPECT_EQ(validateWith(kTotal, "012"), 0);
  EXPECT_EQ(validateWith(kTotal, "12"), kErrTotalLength);
  EXPECT_EQ(validateWith(kTotal, "12a"), kErrNotDigits);
  EXPECT_EQ(validateWith(kTotal, "1a"), kErrNotDigits) << "the digit test comes first";
  EXPECT_EQ(validateWith(kTotal, "1234567890"), 0);
  EXPECT_EQ(validateWith(kTotal, "12345678901"), kErrTotalLength);
  EXPECT_EQ(validateWith(kSite, "12345a7"), kErrNotDigits);
  EXPECT_EQ(validateWith(kSite, "123456"), kErrSiteLength);
  EXPECT_EQ(validateWith(kRang, "1"), kErrRangLength);
  EXPECT_EQ(validateWith(kRang, "001"), kErrRangLength);
  EXPECT_EQ(validateWith(kIdentifiant, std::string(500, '9')), 0);
  EXPECT_EQ(validateWith(kIdentifiant, "12 "), kErrNotDigits);
  EXPECT_EQ(validateWith(kBanque, "12345"), 0);
  EXPECT_EQ(validateWith(kBanque, "1234"), kErrBanqueLength);
  EXPECT_EQ(validateWith(kBanque, "1234x"), kErrNotDigits);
  EXPECT_EQ(validateWith(kTotal, "-12"), kErrNotDigits);
}

TEST(Validate, LengthRules) {
  EXPECT_EQ(validateWith(kDevise, "97"), kErrCode3Length);
  EXPECT_EQ(validateWith(kDevise, "\xE9\xE9\xE9"), 0) << "any bytes";
  EXPECT_EQ(validateWith(kLangue, "FRA"), 0);
  EXPECT_EQ(validateWith(kLangue, "FR"), kErrCode3Length);
  EXPECT_EQ(validateWith(kCmd, std::string(2048, 'x')), 0);
  EXPECT_EQ(validateWith(kCmd, std::string(2049, 'x')), kErrCmdLength);
  for (int url : {kAnnule, kEffectue, kRefuse, kRetour, kKorven, kRepondreA, kErreur}) {
    EXPECT_EQ(validateWith(url, std::string(150, 'u')), 0) << url;
    EXPECT_EQ(validateWith(url, std::string(151, 'u')), kErrBadUrl) << url;
    // A byte that could end a header line or hide part of the address.
    for (std::string bad : {"http://a/\n", "\rhttp://a/", "http://a/\tb", "http://a/\x7F", "\x01"}) {
      EXPECT_EQ(validateWith(url, bad), kErrBadUrl) << url;
    }
    EXPECT_EQ(validateWith(url, "http://a/ b\x80\xFF~"), 0) << url;
  }
}

TEST(Validate, EmailForm) {
  EXPECT_EQ(validateWith(kPorteur, "a@b.f"), kErrEmail) << "5 bytes";
  EXPECT_EQ(validateWith(kPorteur, "a@b.fr"), 0);
  EXPECT_EQ(validateWith(kPorteur, "a=b@c.fr"), kErrEmail);
  EXPECT_EQ(validateWith(kPorteur, ".abc@d"), 0) << "no order between '@' and '.'";
  EXPECT_EQ(validateWith(kPorteur, "abcdef.gh"), kErrEmail);
  EXPECT_EQ(validateWith(kPorteur, "abcdef@gh"), kErrEmail);
  EXPECT_EQ(validateWith(kPorteur, "a@" + std::string(75, 'b') + ".fr"), 0) << "80 bytes";
  EXPECT_EQ(validateWith(kPorteur, "a@" + std::string(76, 'b') + ".fr"), kErrEmail) << "81 bytes";
  ParamTable t;
  EXPECT_EQ(validateEmail(t, kPorteur), 0) << "absent value";
}

TEST(Validate, LowestIndexWins) {
  ParamTable t = validTable();
  t.set(kSite, std::nullopt);
  t.set(kCmd, std::string(3000, 'x'));
  EXPECT_EQ(validateParameters(t), kErrMissing);
  t = validTable();
  t.set(kSite, "12");
  t.set(kCmd, std::nullopt);
  EXPECT_EQ(validateParameters(t), kErrSiteLength);
}

TEST(Validate, EmptyOptionalEntriesAreNotValidated) {
  ParamTable t = validTable();
  for (int index : {kLangue, kErreur, kBanque, kAnnule, kKorven, kRepondreA}) t.set(index, "");
  EXPECT_EQ(validateParameters(t), 0);
}

}  // namespace
}  // namespace revozi

namespace revozi {
namespace {

// The reference page's table of error codes lists exactly the codes the
// module can produce, in the same order.
TEST(ErrorCodes, ReferenceTableMatchesTheCodes) {
  std::ifstream doc(REVOZI_REFERENCE_DOC);
  ASSERT_TRUE(doc) << REVOZI_REFERENCE_DOC;
  std::vector<int> listed;
  bool inTable = false;
  for (std::string line; std::getline(doc, line);) {
    if (line == "| Code | Cause | Fix |") inTable = true;
    else if (inTable && line.rfind("| -", 0) == 0) listed.push_back(std::stoi(line.substr(2)));
    else if (inTable && line.rfind("|", 0) != 0) break;
  }
  std::vector<int> codes(std::begin(kErrorCodes), std::end(kErrorCodes));
  EXPECT_EQ(listed, codes);
}

}  // namespace
}  // namespace revozi
