#include "QuilletKit/Transcript.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

bool isNear(const Segment& me, const Segment& other, double window) {
  return other.start - window <= me.end && me.start <= other.end + window;
}

double sharedRatio(const std::vector<std::string>& words, const std::unordered_set<std::string>& set) {
  size_t count = 0;
  for (const auto& w : words) count += set.count(w);
  return static_cast<double>(count) / static_cast<double>(words.size());
}

// Words interned as small integers, so that sets are sorted vectors and a
// comparison never hashes or allocates.
class WordIds {
 public:
  std::vector<int> of(const std::string& text) {
    std::vector<int> ids;
    for (auto& word : text::comparisonWords(text)) {
      auto [it, added] = ids_.try_emplace(std::move(word), static_cast<int>(ids_.size()));
      ids.push_back(it->second);
    }
    return ids;
  }

 private:
  std::unordered_map<std::string, int> ids_;
};

// The other side's segments, each split into words once, sorted by start so
// that a "me" segment only meets those whose widened spans can overlap its own.
class OtherSide {
 public:
  OtherSide(const std::vector<Segment>& segments, WordIds& ids) {
    for (const auto& s : segments) {
      // A segment with a NaN time is near nothing, as the comparisons say.
      if (s.speaker != Speaker::them || std::isnan(s.start) || std::isnan(s.end)) continue;
      std::vector<int> words = ids.of(s.text);
      std::sort(words.begin(), words.end());
      words.erase(std::unique(words.begin(), words.end()), words.end());
      entries_.push_back({s.start, s.end, std::move(words)});
    }
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.start < b.start; });
    double maxEnd = -INFINITY;
    for (auto& e : entries_) maxEnd = e.runningMaxEnd = std::max(maxEnd, e.end);
  }

  bool echoes(const Segment& me, const std::vector<int>& words, double window, double threshold) const {
    // Candidates are those with start - window <= me.end, the bound written
    // exactly as the reference writes it: rearranged, it rounds differently
    // on times like 0.45 and 0.35. Subtracting the same window keeps the
    // order of the starts, so the candidates are still a prefix ...
    auto last = std::upper_bound(entries_.begin(), entries_.end(), me.end,
                                 [window](double end, const Entry& e) { return end < e.start - window; });
    // ... and, walking back, stop once no earlier one ends late enough.
    for (auto it = last; it != entries_.begin();) {
      --it;
      if (it->runningMaxEnd + window < me.start) break;
      if (me.start <= it->end + window && it->start - window <= me.end &&
          sharedRatio(words, it->words) >= threshold)
        return true;
    }
    return false;
  }

 private:
  static double sharedRatio(const std::vector<int>& words, const std::vector<int>& set) {
    size_t count = 0;
    for (int w : words) count += std::binary_search(set.begin(), set.end(), w);
    return static_cast<double>(count) / static_cast<double>(words.size());
  }

  struct Entry {
    double start, end;
    std::vector<int> words;  // sorted, unique
    double runningMaxEnd = 0;
  };
  std::vector<Entry> entries_;
};

}  // namespace

std::vector<Segment> Transcript::removingEcho(const std::vector<Segment>& segments, double window,
                                              double threshold) {
  bool anyOther = std::any_of(segments.begin(), segments.end(),
                              [](const Segment& s) { return s.speaker == Speaker::them; });
  if (!anyOther) return segments;
  WordIds ids;
  OtherSide other(segments, ids);
  std::vector<Segment> kept;
  kept.reserve(segments.size());
  for (const auto& s : segments) {
    if (s.speaker == Speaker::me) {
      if (std::isnan(s.start) || std::isnan(s.end)) {
        kept.push_back(s);
        continue;
      }
      std::vector<int> words = ids.of(s.text);
      if (words.size() >= 2 && other.echoes(s, words, window, threshold)) continue;
    }
    kept.push_back(s);
  }
  return kept;
}

std::vector<Segment> Transcript::removingEchoReference(const std::vector<Segment>& segments,
                                                       double window, double threshold) {
  std::vector<const Segment*> others;
  for (const auto& s : segments)
    if (s.speaker == Speaker::them) others.push_back(&s);
  std::vector<Segment> kept;
  for (const auto& s : segments) {
    if (s.speaker == Speaker::them) {
      kept.push_back(s);
      continue;
    }
    auto words = text::comparisonWords(s.text);
    bool echo = false;
    if (words.size() >= 2 && !others.empty()) {
      for (const Segment* o : others) {
        if (!isNear(s, *o, window)) continue;
        auto otherWords = text::comparisonWords(o->text);
        if (sharedRatio(words, {otherWords.begin(), otherWords.end()}) >= threshold) {
          echo = true;
          break;
        }
      }
    }
    if (!echo) kept.push_back(s);
  }
  return kept;
}

std::vector<Segment> Transcript::merged(const std::vector<Segment>& segments, double gap) {
  std::vector<Segment> sorted = segments;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const Segment& a, const Segment& b) { return a.start < b.start; });
  std::vector<Segment> turns;
  for (auto& s : sorted) {
    if (!turns.empty()) {
      Segment& last = turns.back();
      if (last.speaker == s.speaker && !(s.start - last.end > gap)) {
        last.text += ' ';
        last.text += s.text;
        last.end = std::max(last.end, s.end);
        continue;
      }
    }
    turns.push_back(std::move(s));
  }
  return turns;
}

std::string Transcript::plain(const std::vector<Segment>& segments) {
  std::string out;
  bool first = true;
  for (const auto& turn : merged(segments, 4.0)) {
    if (!first) out += '\n';
    first = false;
    out += '[';
    out += clock(turn.start);
    out += "] ";
    out += promptLabel(turn.speaker);
    out += ": ";
    out += turn.text;
  }
  return out;
}

std::string Transcript::markdown(const std::vector<Segment>& segments, const std::string& title) {
  std::string out = "# " + title + "\n\n";
  const std::string me = label(Speaker::me), them = label(Speaker::them);
  for (const auto& turn : merged(segments, 4.0)) {
    out += "**[";
    out += clock(turn.start);
    out += "] ";
    out += turn.speaker == Speaker::me ? me : them;
    out += ":** ";
    out += turn.text;
    out += "\n\n";
  }
  return out;
}

}  // namespace quillet

