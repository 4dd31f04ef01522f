#include "params/form_fields.h"

#include <gtest/gtest.h>

#include "tests/fake_platform.h"

namespace revozi {
namespace {

using testing::FakePlatform;

struct Expected {
  std::string name;
  std::optional<std::string> value;
};

void expectFields(std::string_view text, const std::vector<Expected>& expected) {
  FormFieldList list;
  int count = splitRequestText(text, list);
  ASSERT_EQ(count, static_cast<int>(expected.size())) << text;
  ASSERT_EQ(list.size(), expected.size()) << text;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(list[i].name, expected[i].name) << text;
    EXPECT_EQ(list[i].value, expected[i].value) << text << " field " << i;
  }
}

TEST(SplitRequest, KeepsPrefixedFieldsInRequestOrder) {
  expectFields("KWT_SITE=12&foo=bar&VEL_RANG=01", {{"KWT_SITE", "12"}, {"VEL_RANG", "01"}});
  expectFields("kwt_site=12", {});
  expectFields("KWT%5FSITE=12", {});
  expectFields("KWT_A=1&KWT_A=2", {{"KWT_A", "1"}, {"KWT_A", "2"}});
}

TEST(SplitRequest, AmpersandWithoutEqualsRunsIntoNextName) {
  expectFields("KWT_A&KWT_B=1", {{"KWT_A&KWT_B", "1"}});
  expectFields("x&KWT_B=1", {});
  expectFields("KWT_A=1&&KWT_B=2", {{"KWT_A", "1"}});
  expectFields("KWT_A=1&", {{"KWT_A", "1"}});
  FormFieldList list;
  splitRequestText("KWT_A&KWT_B=1", list);
  EXPECT_EQ(findFormValue(list, "KWT_A", "KWT_A"), std::nullopt);
  EXPECT_EQ(findFormValue(list, "KWT_B", "KWT_B"), std::nullopt);
}

TEST(SplitRequest, EmptyValuesAreAbsent) {
  expectFields("KWT_A=&KWT_B=2", {{"KWT_A", std::nullopt}, {"KWT_B", "2"}});
  expectFields("KWT_B=2&KWT_C", {{"KWT_B", "2"}, {"KWT_C", std::nullopt}});
  expectFields("KWT_A=x=y", {{"KWT_A", "x=y"}});
}

TEST(SplitRequest, DecodesValuesNotNames) {
  expectFields("KWT_A=a%26b", {{"KWT_A", "a&b"}});
  expectFields("KWT_A=a+b%2Bc", {{"KWT_A", "a b+c"}});
  expectFields("KWT_A=ab%00cd", {{"KWT_A", "ab"}});
  expectFields("KWT_A+B=1", {{"KWT_A+B", "1"}});
  // A value that decodes to nothing is present but empty.
  expectFields("KWT_A=%00", {{"KWT_A", ""}});
}

TEST(UrlDecode, NibbleRuleForAnyCharacters) {
  EXPECT_EQ(hexPairValue('4', '1'), 0x41);
  EXPECT_EQ(hexPairValue('4', 'a'), 0x4A);
  EXPECT_EQ(hexPairValue('4', 'A'), 0x4A);
  EXPECT_EQ(hexPairValue('2', 'b'), 0x2B);
  EXPECT_EQ(hexPairValue('z', 'z'), 0x53);
  EXPECT_EQ(hexPairValue('G', '0'), 0x00);
  EXPECT_EQ(hexPairValue('g', '0'), 0x00);
  EXPECT_EQ(hexPairValue('0', 'G'), 0x10);
  EXPECT_EQ(hexPairValue(' ', ' '), 0xF0);
  EXPECT_EQ(hexPairValue(0xFF, 0x80), static_cast<unsigned char>((16 * (0xFF - 0x30) + (0x80 - 0x30)) & 0xFF));
}

TEST(UrlDecode, ShortEscapeAtTheEndIsKept) {
  std::string a = "ab%4";
  urlDecode(a);
  EXPECT_EQ(a, "ab%4");
  std::string b = "%";
  urlDecode(b);
  EXPECT_EQ(b, "%");
  std::string c = "%41%";
  urlDecode(c);
  EXPECT_EQ(c, "A%");
  std::string d = "%2B+%20";
  urlDecode(d);
  EXPECT_EQ(d, "+  ");
  std::string e = "x%g0y";  // decodes to a zero byte, which ends the value
  urlDecode(e);
  EXPECT_EQ(e, "x");
}

TEST(FindFormValue, FirstMatchByNameOrAlternate) {
  FormFieldList list;
  splitRequestText("VEL_SITE=1&KWT_SITE=2", list);
  EXPECT_EQ(findFormValue(list, "KWT_SITE", "VEL_SITE"), "1");
  splitRequestText("KWT_SITE=&KWT_SITE=2", list);
  EXPECT_EQ(findFormValue(list, "KWT_SITE", "VEL_SITE"), std::nullopt);
  splitRequestText("VEL_SITE=1", list);
  EXPECT_EQ(findFormValue(list, "", "VEL_SITE"), std::nullopt);
  EXPECT_EQ(findFormValue(list, "KWT_RANG", "VEL_RANG"), std::nullopt);
}

struct DecodeCase {
  std::map<std::string, std::string> env;
  std::string input;
};

int decodeWith(FakePlatform& p, FormFieldList& list) { return decodeRequest(p, list); }

TEST(DecodeRequest, ChoosesInputByMethod) {
  FormFieldList list;
  {
    FakePlatform p;
    p.env = {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "KWT_A=1"}};
    p.input = "KWT_B=2";
    EXPECT_EQ(decodeWith(p, list), 1);
    EXPECT_EQ(list[0].name, "KWT_A");
    EXPECT_EQ(p.inputConsumed(), 0u) << "a GET request's body is never read";
  }
  {
    FakePlatform p;
    p.env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "7"}, {"QUERY_STRING", "KWT_A=1"}};
    p.input = "KWT_B=2";
    EXPECT_EQ(decodeWith(p, list), 1);
    EXPECT_EQ(list[0].name, "KWT_B");
  }
  for (const char* method : {"HEAD", "post", ""}) {
    FakePlatform p;
    p.env = {{"REQUEST_METHOD", method}, {"QUERY_STRING", "KWT_A=1"}};
    EXPECT_EQ(decodeWith(p, list), 0) << method;
  }
  FakePlatform shell;  // a run from a shell has no method
  EXPECT_EQ(decodeWith(shell, list), 0);
}

TEST(DecodeRequest, MissingRequestData) {
  FormFieldList list;
  FakePlatform get;
  get.env = {{"REQUEST_METHOD", "GET"}};
  EXPECT_EQ(decodeWith(get, list), -3);
  get.env["QUERY_STRING"] = "";
  EXPECT_EQ(decodeWith(get, list), -3);
  FakePlatform post;
  post.env = {{"REQUEST_METHOD", "POST"}};
  post.input = "KWT_A=1";
  EXPECT_EQ(decodeWith(post, list), -3);
}

TEST(DecodeRequest, PostLengthRules) {
  FormFieldList list;
  auto post = [&](const char* length, std::string body, std::size_t chunk = 0) {
    FakePlatform p;
    p.env = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", length}};
    p.input = std::move(body);
    p.inputChunk = chunk;
    int rc = decodeRequest(p, list);
    return std::make_pair(rc, p.inputConsumed());
  };
  EXPECT_EQ(post("0", "KWT_A=1").first, 0);
  EXPECT_EQ(post("8", "KWT_A=1").first, 0) << "a body shorter than announced";
  EXPECT_TRUE(list.empty());
  auto longer = post("7", "KWT_A=1&KWT_B=2");
  EXPECT_EQ(longer.first, 1);
  EXPECT_EQ(longer.second, 7u) << "bytes beyond the length are never read";
  EXPECT_EQ(post("  7xyz", "KWT_A=1").first, 1) << "atoi-like conversion";
  auto negative = post("-5", "KWT_A=1");
  EXPECT_EQ(negative.first, 0);
  EXPECT_EQ(negative.second, 0u);
  // Above 1 MiB the body is refused before a byte of it is read; the length
  // is the value of all its digits, never wrapped.
  for (const char* huge : {"1048577", "4294967326", "18446744073709551617", "99999999999999999999"}) {
    auto refused = post(huge, "KWT_A=1");
    EXPECT_EQ(refused.first, -15) << huge;
    EXPECT_EQ(refused.second, 0u) << huge;
  }
  auto largest = post("1048576", "KWT_A=1");
  EXPECT_EQ(largest.first, 0) << "1 MiB is read as before: the input ends first";
  EXPECT_EQ(largest.second, 7u);
  EXPECT_EQ(post("15", "KWT_A=1&KWT_B=2", 3).first, 2) << "a body arriving in pieces";
  EXPECT_EQ(post("7", std::string("KWT\0A=1", 7)).first, 0) << "a zero byte ends the text";
  EXPECT_EQ(post("9", std::string("KWT_A=1\0&", 9)).first, 1);
}

}  // namespace
}  // namespace revozi
