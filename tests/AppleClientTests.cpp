#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AppleClient.hpp"
#include "QuilletKit/OnDeviceModel.hpp"
#include "ScriptedModel.hpp"

using namespace quillet;
using namespace quillet::test;
using Reason = OnDeviceAvailability::Reason;

namespace {

std::vector<std::string> piecesOf(std::vector<std::string> snapshots) {
  OnDeviceModel::Override model(
      std::make_shared<ScriptedModel>(OnDeviceAvailability::available(), std::move(snapshots)));
  return drain(AppleClient().stream("s", "p")).pieces;
}

}  // namespace

TEST(AppleClient, OnLinuxTheModelIsUnavailable) {
  EXPECT_FALSE(AppleClient::isAvailable());
  EXPECT_EQ(AppleClient::availability(), "Este Mac não roda a IA da Apple");
  AppleClient client;
  EXPECT_EQ(client.label(), "IA da Apple (no Mac)");
  EXPECT_EQ(client.maxPromptCharacters(), 8192);
  StreamOutcome outcome = drain(client.stream("s", "p"));
  EXPECT_TRUE(outcome.pieces.empty());
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->kind(), LLMError::Kind::unavailable);
  EXPECT_STREQ(outcome.error->what(), "Este Mac não roda a IA da Apple");
  EXPECT_TRUE(outcome.error->isRecoverableLocally());
}

TEST(AppleClient, EveryAvailabilityText) {
  struct Case {
    OnDeviceAvailability availability;
    const char* text;
  };
  for (const Case& c : std::vector<Case>{
           {OnDeviceAvailability::available(), "disponível"},
           {OnDeviceAvailability::unavailable(Reason::deviceNotEligible), "Este Mac não roda a IA da Apple"},
           {OnDeviceAvailability::unavailable(Reason::appleIntelligenceNotEnabled),
            "Ative a Apple Intelligence nos Ajustes do Sistema"},
           {OnDeviceAvailability::unavailable(Reason::modelNotReady), "A IA da Apple ainda está baixando"},
           {OnDeviceAvailability::unavailable(Reason::other, "thermalThrottling"),
            "indisponível (thermalThrottling)"},
       }) {
    OnDeviceModel::Override model(std::make_shared<ScriptedModel>(c.availability, std::vector<std::string>{"x"}));
    EXPECT_EQ(AppleClient::availability(), c.text);
    EXPECT_EQ(AppleClient::isAvailable(), c.availability.isAvailable());
    StreamOutcome outcome = drain(AppleClient().stream("s", "p"));
    if (c.availability.isAvailable()) {
      EXPECT_EQ(outcome.pieces, std::vector<std::string>{"x"});
    } else {
      ASSERT_TRUE(outcome.error);
      EXPECT_STREQ(outcome.error->what(), c.text);
    }
  }
  EXPECT_EQ(AppleClient::availability(), "Este Mac não roda a IA da Apple");
}

TEST(AppleClient, SnapshotsBecomeTheAddedCharacters) {
  auto model = std::make_shared<ScriptedModel>(OnDeviceAvailability::available(),
                                               std::vector<std::string>{"Oi,", "Oi, você", "Oi, você", "Oi", "Oi, você!"});
  OnDeviceModel::Override installed(model);
  StreamOutcome outcome = drain(AppleClient().stream("Be brief.", "Resuma."));
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(outcome.pieces, (std::vector<std::string>{"Oi,", " você", "!"}));
  EXPECT_EQ(model->instructions(), "Be brief.");
  EXPECT_EQ(model->prompt(), "Resuma.");

  // Characters, not bytes or code points: an emoji with its skin tone or a
  // letter with its accent stays whole.
  EXPECT_EQ(piecesOf({"Ol", "Olá 👍🏽", "Olá 👍🏽 e\u0301"}), (std::vector<std::string>{"Ol", "á 👍🏽", " e\u0301"}));
  // A mark or modifier that extends the last delivered character is not lost.
  EXPECT_EQ(piecesOf({"cafe", "cafe\u0301"}), (std::vector<std::string>{"cafe", "\u0301"}));
  EXPECT_EQ(piecesOf({"👍", "👍🏽 ok"}), (std::vector<std::string>{"👍", "🏽 ok"}));
  // A revised text delivers what lies past the characters already delivered.
  EXPECT_EQ(piecesOf({"abc", "xyzw"}), (std::vector<std::string>{"abc", "w"}));
}

TEST(AppleClient, ModelErrorsPassThroughUnchanged) {
  OnDeviceModel::Override model(
      ScriptedModel::available({"part"}, std::make_exception_ptr(std::runtime_error("exceeded context window"))));
  TextStream stream = AppleClient().stream("s", "p");
  EXPECT_EQ(stream.next(), "part");
  EXPECT_THROW(
      {
        try {
          stream.next();
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "exceeded context window");
          throw;
        }
      },
      std::runtime_error);
}
