#include <gtest/gtest.h>

#include "QuilletKit/LLMClient.hpp"

using namespace quillet;

namespace {

class ScriptedClient : public LLMClient {
 public:
  explicit ScriptedClient(std::vector<std::string> pieces, std::exception_ptr error = nullptr)
      : pieces_(std::move(pieces)), error_(error) {}
  std::string label() const override { return "scripted"; }
  TextStream stream(const std::string&, const std::string&) const override { return TextStream::of(pieces_, error_); }

 private:
  std::vector<std::string> pieces_;
  std::exception_ptr error_;
};

}  // namespace

TEST(LLMError, MessagesAndRecoverability) {
  EXPECT_STREQ(LLMError::missingKey("Groq").what(), "Falta a chave de API de Groq. Coloque em Ajustes › IA.");
  EXPECT_STREQ(LLMError::http(401, "bad key").what(), "HTTP 401: bad key");
  EXPECT_STREQ(LLMError::badURL(" api.x.com ").what(), "Endereço inválido:  api.x.com ");
  EXPECT_STREQ(LLMError::unavailable("sem rede").what(), "sem rede");
  EXPECT_STREQ(LLMError::refused().what(), "O modelo se recusou a responder.");

  EXPECT_TRUE(LLMError::missingKey("x").isRecoverableLocally());
  EXPECT_TRUE(LLMError::unavailable("x").isRecoverableLocally());
  EXPECT_FALSE(LLMError::badURL("x").isRecoverableLocally());
  EXPECT_FALSE(LLMError::refused().isRecoverableLocally());
  for (int status : {401, 429, 500, 503, 529, 600}) EXPECT_TRUE(LLMError::http(status, "").isRecoverableLocally());
  for (int status : {0, 200, 400, 403, 404, 499}) EXPECT_FALSE(LLMError::http(status, "").isRecoverableLocally());
}

TEST(LLMClient, CompleteJoinsAndTrimsOrFailsWithoutPartialText) {
  EXPECT_EQ(ScriptedClient({"  Hello", " world\n"}).complete("s", "p"), "Hello world");
  EXPECT_EQ(ScriptedClient({}).complete("s", "p"), "");
  ScriptedClient failing({"lost"}, std::make_exception_ptr(LLMError::http(429, "slow down")));
  try {
    failing.complete("s", "p");
    FAIL();
  } catch (const LLMError& error) {
    EXPECT_EQ(error.kind(), LLMError::Kind::http);
    EXPECT_EQ(error.status(), 429);
  }
  EXPECT_EQ(ScriptedClient({}).maxPromptCharacters(), std::nullopt);
}
