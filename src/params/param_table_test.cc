#include "params/param_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace revozi {
namespace {

TEST(ParamTable, NamesAndAlternates) {
  const auto& entries = paramEntries();
  ASSERT_EQ(entries.size(), 58u);
  std::set<std::string> names;
  for (int i = 0; i < kParamCount; ++i) {
    const ParamEntry& e = entries[static_cast<std::size_t>(i)];
    std::string name = e.name;
    std::string alt = e.altName;
    ASSERT_EQ(name.substr(0, 4), "KWT_") << i;
    if (i <= 25) {
      EXPECT_EQ(alt, "VEL_" + name.substr(4)) << i;
    } else {
      EXPECT_EQ(alt, name) << i;
    }
    EXPECT_TRUE(names.insert(name).second) << "duplicate " << name;
  }
  EXPECT_STREQ(entries[kDiff].name, "KWT_DIFF");
  EXPECT_STREQ(entries[kSource].name, "KWT_SOURCE");
  EXPECT_STREQ(entries[kBanque].name, "KWT_BANQUE");
}

TEST(ParamTable, FlagsDecideRequiredAndForwarded) {
  std::set<std::string> required, forwarded;
  for (const ParamEntry& e : paramEntries()) {
    if (e.required) required.insert(e.name);
    if (e.forward) forwarded.insert(e.name);
  }
  EXPECT_EQ(required, (std::set<std::string>{"KWT_MODE", "KWT_SITE", "KWT_RANG", "KWT_TOTAL",
                                              "KWT_DEVISE", "KWT_CMD", "KWT_PORTEUR", "KWT_RETOUR",
                                              "KWT_CLE", "KWT_IDENTIFIANT"}));
  EXPECT_EQ(forwarded.size(), 18u);
  EXPECT_TRUE(forwarded.count("KWT_SOURCE"));
  EXPECT_TRUE(forwarded.count("KWT_VERSION"));
  EXPECT_FALSE(forwarded.count("KWT_KORVEN"));
}

TEST(ParamTable, FindByNameIsExact) {
  EXPECT_EQ(ParamTable::findByName("KWT_SITE"), kSite);
  EXPECT_EQ(ParamTable::findByName("VEL_SITE"), kSite);
  EXPECT_EQ(ParamTable::findByName("VEL_SOURCE"), -1) << "entries from 26 on have no VEL_ name";
  EXPECT_EQ(ParamTable::findByName("kwt_site"), -1);
  EXPECT_EQ(ParamTable::findByName("KWT_SITE "), -1);
  EXPECT_EQ(ParamTable::findByName("KWT_TOTAL_MAJORE"), kTotalMajore);
  EXPECT_EQ(ParamTable::findByName(""), -1);
}

TEST(ParamTable, SetIfEmptyKeepsTheFirstValue) {
  ParamTable t;
  EXPECT_FALSE(t.present(kSite));
  t.setIfEmpty(kSite, std::string());
  EXPECT_TRUE(t.present(kSite));
  EXPECT_TRUE(t.empty(kSite)) << "present but empty still counts as empty";
  t.setIfEmpty(kSite, "1234567");
  t.setIfEmpty(kSite, "7654321");
  EXPECT_EQ(t.text(kSite), "1234567");
  t.set(kSite, "x");
  EXPECT_EQ(t.text(kSite), "x");
}

TEST(KeySlot, ShipsEmpty) {
  EXPECT_FALSE(keySlotHasKey());
  EXPECT_EQ(keySlotKey(), "");
}

}  // namespace
}  // namespace revozi
