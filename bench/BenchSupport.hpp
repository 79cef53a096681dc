#pragma once
// Synthetic meetings for the benchmarks: realistic sentence lengths, the two
// speakers interleaved, and a share of microphone echoes of the other side.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Store.hpp"

namespace quillet::bench {

inline std::string sentence(std::mt19937& random, int words) {
  static const std::vector<std::string> vocabulary = {
      "orçamento", "prazo", "cliente", "entrega", "reunião", "equipe", "projeto", "decisão",
      "semana", "relatório", "sim", "não", "talvez", "amanhã", "hoje", "agora", "vamos",
      "precisamos", "revisar", "fechar", "abrir", "ação", "métrica", "receita", "custo"};
  std::string text;
  for (int i = 0; i < words; ++i) {
    if (i) text += ' ';
    text += vocabulary[random() % vocabulary.size()];
  }
  return text;
}

// `perSide` segments of each speaker spread over `seconds`; about a quarter
// of the "me" segments echo the nearest "them" segment.
inline std::vector<Segment> syntheticMeeting(int perSide, double seconds, unsigned seed = 42) {
  std::mt19937 random(seed);
  std::vector<Segment> segments;
  segments.reserve(2 * perSide);
  double step = seconds / perSide;
  for (int i = 0; i < perSide; ++i) {
    double t = i * step;
    int words = 8 + static_cast<int>(random() % 8);
    Segment them{Uuid::random(), Speaker::them, t, t + step * 0.45, sentence(random, words)};
    Segment me{Uuid::random(), Speaker::me, t + step * 0.5, t + step * 0.95, sentence(random, words)};
    if (random() % 4 == 0) {
      me.start = them.start + 0.6;
      me.end = them.end + 0.6;
      me.text = them.text;
    }
    segments.push_back(std::move(them));
    segments.push_back(std::move(me));
  }
  return segments;
}

// A store of `meetings` folders with `segmentsEach` transcript lines, made
// once under `root` and reused by later runs.
inline void makeStore(const std::filesystem::path& root, int meetings, int segmentsEach) {
  if (std::filesystem::exists(root / ".complete")) return;
  std::filesystem::remove_all(root);
  Store store{root};
  for (int i = 0; i < meetings; ++i) {
    MeetingMeta meta;
    meta.id = Uuid::random();
    meta.title = "Reunião " + std::to_string(i);
    meta.start = Date{std::chrono::seconds{1700000000 + i * 3600}};
    meta.language = MeetingLanguage::pt();
    meta.attendees = {"Ana", "Bruno"};
    Meeting meeting = store.create(meta);
    meeting.notes = "- notas da reunião " + std::to_string(i) + "\n";
    meeting.segments = syntheticMeeting(segmentsEach / 2, 3600, i);
    store.saveTranscript(meeting);
  }
  std::filesystem::create_directories(root);
  std::ofstream(root / ".complete") << "ok";
}

}  // namespace quillet::bench
