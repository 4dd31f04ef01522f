#include "pages/page_output.h"

#include <gtest/gtest.h>

#include "tests/fake_platform.h"

namespace revozi {
namespace {

using testing::FakePlatform;

TEST(PagePrint, FormatsInCallOrder) {
  FakePlatform p;
  {
    PageOutput out(p);
    pagePrint(out, "a%sb%dc%ldd%%e\n", "X", -7, 12L);
    pagePrint(out, "<%s>", std::string("two"));
    EXPECT_EQ(p.output, "") << "buffered until flushed";
  }
  EXPECT_EQ(p.output, "aXb-7c12d%e\n<two>");
}

TEST(PagePrint, EscapesMarkupValues) {
  FakePlatform p;
  PageOutput out(p);
  pagePrint(out, "[%s|%s|%s]", Html{"a&b<c>d\"e'f$"}, Wml{"a&b<c>d\"e'f$$"}, "<raw>");
  out.flush();
  EXPECT_EQ(p.output,
            "[a&amp;b&lt;c&gt;d&quot;e&#39;f$|a&amp;b&lt;c&gt;d&quot;e&#39;f$$$$|<raw>]");
}

TEST(PagePrint, EscapersKeepEveryOtherByte) {
  FakePlatform p;
  PageOutput out(p);
  std::string bytes = "\x80\xFF\x01=&";
  pagePrint(out, "%s/%s", Html{bytes}, Wml{"$"});
  out.flush();
  EXPECT_EQ(p.output, "\x80\xFF\x01=&amp;/$$");
}

TEST(PagePrint, LargeOutputIsFlushedWhole) {
  FakePlatform p;
  std::string big(100000, 'x');
  {
    PageOutput out(p);
    pagePrint(out, "%s", big);
    pagePrint(out, "end");
  }
  EXPECT_EQ(p.output, big + "end");
}

}  // namespace
}  // namespace revozi
