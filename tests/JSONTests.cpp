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
  struct Case {
    std::string text;
    bool parses;
  };
  for (const Case& c : std::vector<Case>{
           {nested(kMaxJSONDepth), true},
           {nested(kMaxJSONDepth + 1), false},
           {std::string(60 << 20, '['), false},
           // Brackets inside strings, escaped quotes included, are no nesting.
           {"{\"a\":\"" + std::string(200, '[') + "\\\"" + std::string(200, '{') + "\"}", true},
           {nested(kMaxJSONDepth - 1, "\"[[\\\\\""), true},
           {"{\"a\":", false},
           // The parser stops at a NUL outside a string, and so does the count.
           {"[1]" + std::string(1, '\0') + std::string(70, '['), true},
       }) {
    EXPECT_EQ(!parseJSON(c.text).is_discarded(), c.parses) << c.text.substr(0, 80);
  }
  // Fed as it arrives, the count does not depend on where the text is cut.
  std::string deep = nested(kMaxJSONDepth + 1);
  for (size_t cut = 0; cut <= deep.size(); cut += 7) {
    JSONNesting nesting;
    nesting.feed(deep.substr(0, cut));
    EXPECT_FALSE(nesting.feed(deep.substr(cut)));
  }
}

// Every reader of outside JSON refuses the same deep text that would
// otherwise cost many times its size in memory.
TEST(JSON, EveryReaderOfOutsideDataRefusesDeepText) {
  TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  const std::string deep = nested(kMaxJSONDepth + 1);
  const std::string shallow = nested(kMaxJSONDepth - 1);
  auto meta = [](const std::string& extra) {
    return R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","title":"t","start":"2025-03-01T14:05:00Z",)"
           R"("language":"pt-BR","attendees":[],"x":)" +
           extra + "}";
  };
  auto line = [](const std::string& extra) {
    return R"({"id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","speaker":"eu","start":0,"end":1,"text":"a","x":)" +
           extra + "}";
  };
  auto preferences = [&](const std::string& extra) {
    writeFile(Preferences::file(), R"({"providerID":"groq","x":)" + extra + "}");
    return Preferences::load().providerID == "groq";
  };
  for (const auto& [extra, readable] : {std::pair{shallow, true}, {deep, false}}) {
    EXPECT_EQ(decodeMeta(meta(extra)).has_value(), readable);
    EXPECT_EQ(decodeSegmentLine(line(extra)).has_value(), readable);
    EXPECT_EQ(preferences(extra), readable);
    EXPECT_EQ(SSE::errorMessage(R"({"message":"m","x":)" + extra + "}") == "m", readable);
  }
  unsetenv("XDG_CONFIG_HOME");
}
