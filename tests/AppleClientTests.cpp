#include <gtest/gtest.h>

#include "ClientTestSupport.hpp"
#include "QuilletKit/AppleClient.hpp"
#include "ScriptedModel.hpp"

using namespace quillet;
using namespace quillet::test;
using Reason = OnDeviceAvailability::Reason;

// Linux's own model (no override) is never eligible.
TEST(AppleClient, AvailabilityTextsAndWhatAStreamGives) {
  for (const auto& [scripted, text] : std::vector<std::pair<std::optional<OnDeviceAvailability>, std::string>>{
           {std::nullopt, "Este Mac não roda a IA da Apple"},
           {OnDeviceAvailability::available(), "disponível"},
           {OnDeviceAvailability::unavailable(Reason::appleIntelligenceNotEnabled),
            "Ative a Apple Intelligence nos Ajustes do Sistema"},
           {OnDeviceAvailability::unavailable(Reason::modelNotReady), "A IA da Apple ainda está baixando"},
           {OnDeviceAvailability::unavailable(Reason::other, "thermalThrottling"), "indisponível (thermalThrottling)"},
       }) {
    std::optional<OnDeviceModel::Override> installed;
    if (scripted) installed.emplace(std::make_shared<ScriptedModel>(*scripted, std::vector<std::string>{"x"}));
    bool available = scripted && scripted->isAvailable();
    EXPECT_EQ(AppleClient::availability() + (AppleClient::isAvailable() ? "+" : "-"), text + (available ? "+" : "-"));
    EXPECT_EQ(summary(AppleClient().stream("s", "p")), available ? "x" : " ! " + text);
  }
}

// Pieces are whole user-perceived characters; a mark extending the last one delivered is not lost.
TEST(AppleClient, SnapshotsBecomeTheAddedCharacters) {
  for (const auto& [snapshots, told] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"Oi,", "Oi, você", "Oi, você", "Oi", "Oi, você!"}, "Oi,| você|!"},
           {{"Ol", "Olá 👍🏽", "Olá 👍🏽 e\u0301"}, "Ol|á 👍🏽| e\u0301"},
           {{"cafe", "cafe\u0301"}, "cafe|\u0301"},
           {{"👍", "👍🏽 ok"}, "👍|🏽 ok"},
           // A revised text delivers what lies past the characters already delivered.
           {{"abc", "xyzw"}, "abc|w"},
           {{"a\xC3", "a\xC3\xA9!"}, "a\xEF\xBF\xBD|!"},
       }) {
    auto model = ScriptedModel::available(snapshots);
    OnDeviceModel::Override installed(model);
    EXPECT_EQ(summary(AppleClient().stream("Be brief.", "Resuma.")), told);
    EXPECT_EQ(model->instructions + " " + model->prompt, "Be brief. Resuma.");
  }
}
