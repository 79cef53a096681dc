#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AppleClient.hpp"
#include "ScriptedModel.hpp"

using namespace quillet;

TEST(LLMError, MessagesAndRecoverability) {
  for (const auto& [error, message, recoverable] : std::vector<std::tuple<LLMError, std::string, bool>>{
           {LLMError::missingKey("Groq"), "Falta a chave de API de Groq. Coloque em Ajustes › IA.", true},
           {LLMError::http(401, "bad key"), "HTTP 401: bad key", true},
           {LLMError::badURL(" api.x.com "), "Endereço inválido:  api.x.com ", false},
           {LLMError::unavailable("sem rede"), "sem rede", true},
           {LLMError::refused(), "O modelo se recusou a responder.", false}}) {
    EXPECT_EQ(error.what(), message);
    EXPECT_EQ(error.isRecoverableLocally(), recoverable) << message;
  }
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
