#include <gtest/gtest.h>

#include "QuilletKit/JSON.hpp"
#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/SSE.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;

namespace {

std::string nested(size_t depth, std::string_view inner = "1") {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += i % 2 ? "{\"k\":" : "[";
  text += inner;
  for (size_t i = depth; i-- > 0;) text += i % 2 ? "}" : "]";
  return text;
}

}  // namespace

TEST(JSON, RefusesNestingDeeperThanAnyRealDocument) {
  for (const auto& [text, parses] : std::vector<std::pair<std::string, bool>>{
           {nested(kMaxJSONDepth), true},
           {nested(kMaxJSONDepth + 1), false},
           {std::string(60 << 20, '['), false},
           // Brackets inside strings, escaped quotes included, are no nesting.
           {"{\"a\":\"" + std::string(200, '[') + "\\\"" + std::string(200, '{') + "\"}", true},
           {nested(kMaxJSONDepth - 1, "\"[[\\\\\""), true},
           {"{\"a\":", false},
           // The parser stops at a NUL outside a string, and so does the count.
           {"[1]" + std::string(1, '\0') + std::string(70, '['), true},
       })
    EXPECT_EQ(!parseJSON(text).is_discarded(), parses) << text.substr(0, 80);
  // Fed as it arrives, the count does not depend on where the text is cut.
  std::string deep = nested(kMaxJSONDepth + 1);
  for (size_t cut = 0; cut <= deep.size(); cut += 7) {
    JSONNesting nesting;
    nesting.feed(deep.substr(0, cut));
    EXPECT_FALSE(nesting.feed(deep.substr(cut)));
  }
}

// Every reader of outside JSON refuses deep text that would cost many times its size in memory.
TEST(JSON, EveryReaderOfOutsideDataRefusesDeepText) {
  TempDir dir;
  ScopedEnv env("XDG_CONFIG_HOME", dir.path().string());
  // Each document with one more member "x" holding `extra`.
  auto with = [](std::string document, const std::string& extra) {
    return document.insert(document.rfind('}'), ",\"x\":" + extra);
  };
  for (const auto& [extra, readable] : {std::pair{nested(kMaxJSONDepth - 1), true}, {nested(kMaxJSONDepth + 1), false}}) {
    EXPECT_EQ(decodeMeta(with(encodeMeta(meta("t")), extra)).has_value(), readable);
    EXPECT_EQ(decodeSegmentLine(with(encodeSegmentLine(segment(Speaker::me, 0, 1, "a")), extra)).has_value(), readable);
    writeFile(Preferences::file(), with(R"({"providerID":"groq"})", extra));
    EXPECT_EQ(Preferences::load().providerID == "groq", readable);
    EXPECT_EQ(SSE::errorMessage(with(R"({"message":"m"})", extra)) == "m", readable);
  }
}
