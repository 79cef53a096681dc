#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AppleClient.hpp"
#include "ScriptedModel.hpp"

using namespace quillet;

// The messages are checked where the clients fail.
TEST(LLMError, Recoverability) {
  for (const LLMError& error : {LLMError::missingKey("Groq"), LLMError::http(401, ""), LLMError::unavailable("")})
    EXPECT_TRUE(error.isRecoverableLocally()) << error.what();
  EXPECT_FALSE(LLMError::badURL("x").isRecoverableLocally() || LLMError::refused().isRecoverableLocally());
  for (int status : {429, 500, 503, 529, 600}) EXPECT_TRUE(LLMError::http(status, "").isRecoverableLocally());
  for (int status : {0, 200, 400, 403, 404, 499}) EXPECT_FALSE(LLMError::http(status, "").isRecoverableLocally());
}

// Any client will do: the on-device one, scripted.
TEST(LLMClient, CompleteJoinsAndTrimsOrFailsWithoutPartialText) {
  {
    OnDeviceModel::Override installed(test::ScriptedModel::available({"  Hello", "  Hello world\n"}));
    EXPECT_EQ(AppleClient().complete("s", "p"), "Hello world");
  }
  auto error = std::make_exception_ptr(LLMError::http(429, "slow down"));
  OnDeviceModel::Override installed(test::ScriptedModel::available({"lost"}, error));
  EXPECT_EQ(test::failure([&] { AppleClient().complete("s", "p"); }), "HTTP 429: slow down");
}
