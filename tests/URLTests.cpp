#include <gtest/gtest.h>

#include "QuilletKit/URL.hpp"

using namespace quillet;

// Scheme, authority, the host URL::parse gives of fetchable schemes (nullptr: none) and whether any scheme parses.
TEST(URL, SchemeAuthorityAndHost) {
  for (const auto& [text, scheme, authority, host, parsesAnyScheme] :
       std::vector<std::tuple<const char*, const char*, bool, const char*, bool>>{
           {"https://api.example.com/v1", "https", true, "api.example.com", true},
           {"https:/v1/models", "https", false, "v1", true},  // why hasAuthority exists
           {"webcal+x://cal.example.com/a", "webcal+x", true, nullptr, true},
           {"ftp.example.com", "", false, nullptr, false},
           {"file:///tmp/x", "file", true, "", true},
           {"ht tp://x", "", false, nullptr, false},
           {":", "", false, nullptr, false},
           {"https://exa mple.com/", "https", true, nullptr, false},
       }) {
    SCOPED_TRACE(text);
    EXPECT_EQ(URL::scheme(text), scheme);
    EXPECT_EQ(URL::hasAuthority(text), authority);
    auto fetchable = URL::parse(text);
    EXPECT_EQ(fetchable ? std::optional<std::string>(fetchable->host) : std::nullopt,
              host ? std::optional<std::string>(host) : std::nullopt);
    EXPECT_EQ(URL::parse(text, URL::Schemes::any).has_value(), parsesAnyScheme);
  }
}
