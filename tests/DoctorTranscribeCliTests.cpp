// The doctor and transcribe commands through the built binary.
#include <gtest/gtest.h>

#include <regex>

#include "AudioSupport.hpp"
#include "TestSupport.hpp"

using namespace quillet;
using namespace quillet::test;
namespace fs = std::filesystem;

// Calendars and speech models are looked for in the test's own data folder.
using DoctorTranscribe = ToolTest;

TEST_F(DoctorTranscribe, DoctorReportsTheSetupInColumns) {
  Outcome o = quillet({"doctor"}, {{"TZ", "UTC"}});
  const std::string home = dir.path().string();
  EXPECT_EQ(o.out + o.err + std::to_string(o.status),
            "Notas:        " + home + "/Documents/Quillet\n" +
                "Fala PT:      idioma não suportado (modelo em " + home + "/data/app.quillet.mac/speech/pt-BR)\n"
                "Fala EN:      instalado\n"
                "IA da Apple:  Este Mac não roda a IA da Apple\n"
                "IA escolhida: Claude (Anthropic) \u00B7 claude-opus-5-5 \u00B7 sem chave\n"
                "Fallback:     IA da Apple\n"
                "Ditado:       \u2303R (PT)\n"
                "Calendário:   sem acesso (" + home + "/data/calendars)\n0");
  // A document that is not JSON gives the defaults, and a warning.
  preferences("{\"storagePath\": \"/srv/notas\",}");
  o = quillet({"doctor"});
  EXPECT_TRUE(o.out.starts_with("Notas:        " + home + "/Documents/Quillet\n")) << o.out;
  EXPECT_TRUE(o.err.starts_with("aviso: preferências ignoradas em " + home +
                                "/config/app.quillet.mac/preferences.json: parse error at line 1, column 30"))
      << o.err;
  EXPECT_EQ(o.status, 0);
  // A key from the environment, fallback and dictation off, calendars present, and a damaged model of Portuguese.
  fs::create_directories(dir.path() / "data" / "calendars" / "work");
  englishModel(dir.path() / "data" / "app.quillet.mac" / "speech" / "pt-BR", "mdef", "garbage\n");
  preferences(R"({"storagePath": "/srv/notas", "providerID": "groq", "localFallback": false,
                 "dictationEnabled": false, "dictationLanguage": "en-US"})");
  o = quillet({"doctor"}, {{"QUILLET_API_KEY", "sk-doctor-secret"}});
  EXPECT_TRUE(o.out.starts_with("Notas:        /srv/notas\nFala PT:      danificado (")) << o.out;
  EXPECT_TRUE(o.out.ends_with("IA escolhida: Groq \u00B7 llama-3.3-70b-versatile \u00B7 com chave\n"
                              "Fallback:     desligado\nDitado:       desligado (EN)\nCalendário:   liberado\n"))
      << o.out;
  EXPECT_EQ(o.out.find("sk-doctor-secret"), std::string::npos);
}

TEST_F(DoctorTranscribe, SilenceAndFailures) {
  fs::path quiet = dir.path() / "quiet.wav", text = dir.path() / "notes.wav";
  writeSound(quiet, silence(2.0), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Outcome o = quillet({"transcribe", quiet.string(), "--lang", "en-US"});
  EXPECT_EQ(o.out + std::to_string(o.status), "\n0");
  EXPECT_TRUE(std::regex_match(o.err, std::regex(R"(\(\d+\.\d s\)\n)"))) << o.err;  // no progress off a terminal
  writeFile(text, "this is not audio at all");
  const fs::path model = dir.path() / "data" / "app.quillet.mac" / "speech" / "pt-BR";
  for (const auto& [args, shown] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           // Not audio: the audio library's own reason, not the live transcriber's message.
           {{"transcribe", text.string(), "--lang", "en-US"},
            "erro: " + text.string() + ": " + openFailure(text) + "\n"},
           // "--lang" as the last word is ignored: the preferences' pt-BR has no model here, and the message says
           // where its model goes; a damaged one is no hint.
           {{"transcribe", quiet.string(), "--lang"},
            "erro: O reconhecimento de fala do Mac não suporta pt-BR\nO modelo de fala desse idioma vai em " +
                model.string() + " (pasta acoustic/, language.lm.bin e words.dict).\n"},
           {{"transcribe"}, kUsage}}) {
    o = quillet(args);
    EXPECT_EQ(o.out + o.err + std::to_string(o.status), shown + "1");
  }
  // The system's reason is in the user's language.
  o = quillet({"transcribe", (dir.path() / "missing.wav").string(), "--lang", "en-US"});
  EXPECT_TRUE(o.err.starts_with("erro: " + (dir.path() / "missing.wav").string() + ": ")) << o.err;
  EXPECT_EQ(o.status, 1);
  englishModel(model, "mdef", "garbage\n");
  EXPECT_EQ(quillet({"transcribe", quiet.string()}).err,
            "erro: O modelo de fala em " + model.string() + " está danificado\n");
}

// Speech cut short. Ctrl-C while the share done is shown clears the line first and ends the process by the
// signal itself, so that a calling shell stops too; a file that breaks off gives its words and still fails.
TEST_F(DoctorTranscribe, CtrlCOrABreakInTheFileEndsTheRun) {
  auto clips = libriVoxClips();
  if (clips.size() < 3) GTEST_SKIP() << "pocketsphinx-testdata is not installed";
  Sound speech = readSound(clips[0].wav), longer = speech;
  for (int i = 0; i < 30; ++i) append(longer, speech);
  fs::path file = dir.path() / "long.wav", cut = dir.path() / "cut.flac";
  writeSound(file, longer, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  Running tool(spawnChild(QUILLET_BINARY, {"transcribe", file.string(), "--lang", "en-US"}, environment(), "", 3));
  EXPECT_TRUE(tool.waitForOutput("%", std::chrono::seconds(120)));
  tool.signal(SIGINT);
  Outcome o = tool.end();
  EXPECT_EQ(o.signal, SIGINT);
  EXPECT_TRUE(o.out.ends_with("\r\033[K")) << o.out;

  Sound sound = readSound(clips[1].wav);
  append(sound, silence(1));
  append(sound, readSound(clips[2].wav));
  brokenFlac(cut, sound, 0.7, false);
  o = quillet({"transcribe", cut.string(), "--lang", "en-US"});
  EXPECT_TRUE(o.out.starts_with("he was not")) << o.out;
  EXPECT_EQ(o.err + std::to_string(o.status), "erro: " + cut.string() + ": Error : flac decoder lost sync.\n1");
}
