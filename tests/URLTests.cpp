#include <gtest/gtest.h>

#include "QuilletKit/URL.hpp"

using namespace quillet;

namespace {

struct Case {
  const char* text;
  const char* scheme;    // URL::scheme
  bool authority;        // URL::hasAuthority
  const char* host;      // URL::parse, fetchable schemes; nullptr when absent
  bool parsesAnyScheme;  // URL::parse, any scheme
};

const Case kCases[] = {
    {"https://api.example.com/v1", "https", true, "api.example.com", true},
    {"HTTP://127.0.0.1:11434/v1", "http", true, "127.0.0.1", true},
    {"https:/v1/models", "https", false, "v1", true},  // why hasAuthority exists
    {"webcal+x://cal.example.com/a", "webcal+x", true, nullptr, true},
    {"ftp.example.com", "", false, nullptr, false},
    {"file:///tmp/x", "file", true, "", true},
    {"ht tp://x", "", false, nullptr, false},
    {":", "", false, nullptr, false},
    {"", "", false, nullptr, false},
    {"https://exa mple.com/", "https", true, nullptr, false},
};

}  // namespace

TEST(URL, SchemeAuthorityAndHost) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(URL::scheme(c.text), c.scheme);
    EXPECT_EQ(URL::hasAuthority(c.text), c.authority);
    auto fetchable = URL::parse(c.text);
    ASSERT_EQ(fetchable.has_value(), c.host != nullptr);
    if (fetchable) {
      EXPECT_EQ(fetchable->host, c.host);
    }
    EXPECT_EQ(URL::parse(c.text, URL::Schemes::any).has_value(), c.parsesAnyScheme);
  }
}
