#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"

using namespace quillet;

namespace {

struct ScriptedClient : LLMClient {
  ScriptedClient(std::vector<std::string> pieces, std::exception_ptr error = nullptr) : pieces(pieces), error(error) {}
  std::string label() const override { return "scripted"; }
  TextStream stream(const std::string&, const std::string&) const override { return TextStream::of(pieces, error); }
  std::vector<std::string> pieces;
  std::exception_ptr error;
};

}  // namespace

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

TEST(LLMClient, CompleteJoinsAndTrimsOrFailsWithoutPartialText) {
  EXPECT_EQ(ScriptedClient({"  Hello", " world\n"}).complete("s", "p"), "Hello world");
  EXPECT_EQ(ScriptedClient({}).complete("s", "p"), "");
  EXPECT_EQ(ScriptedClient({}).maxPromptCharacters(), std::nullopt);
  ScriptedClient failing({"lost"}, std::make_exception_ptr(LLMError::http(429, "slow down")));
  EXPECT_EQ(test::failure([&] { failing.complete("s", "p"); }), "HTTP 429: slow down");
}
