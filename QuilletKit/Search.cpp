#include "QuilletKit/Search.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/MeetingLookup.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

// How many meetings the workers may read ahead of the one being reported.
constexpr size_t kReadAhead = 16;

bool isWordCharacter(UChar32 c) { return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0; }

// Whether a word of the folded text begins at byte `at`.
bool beginsWord(std::string_view folded, size_t at) {
  if (at == 0) return true;
  const auto* p = reinterpret_cast<const uint8_t*>(folded.data());
  int32_t i = static_cast<int32_t>(at);
  UChar32 c;
  U8_PREV(p, 0, i, c);
  return c < 0 || !isWordCharacter(c);
}

// Appends to `found` every place where `word` begins a word of `folded`.
bool findWordStarts(std::string_view folded, std::string_view word, Search::Marks* found) {
  bool any = false;
  for (size_t at = folded.find(word); at != std::string_view::npos; at = folded.find(word, at + 1)) {
    if (!beginsWord(folded, at)) continue;
    any = true;
    if (!found) return true;
    found->emplace_back(at, at + word.size());
  }
  return any;
}

// Folded places mapped back onto the original line, sorted and joined.
Search::Marks originalMarks(Search::Marks folded, const std::vector<uint32_t>& origin, size_t lineSize) {
  std::sort(folded.begin(), folded.end());
  Search::Marks marks;
  for (auto [begin, end] : folded) {
    size_t from = origin[begin];
    // The end is where the next original character begins, even when a
    // match stops inside what one character folded into.
    size_t last = origin[end - 1], to = lineSize;
    for (size_t i = end; i < origin.size(); ++i)
      if (origin[i] != last) {
        to = origin[i];
        break;
      }
    if (!marks.empty() && from <= marks.back().second) marks.back().second = std::max(marks.back().second, to);
    else marks.emplace_back(from, to);
  }
  return marks;
}

template <typename Visit>
void forEachNonEmptyLine(const std::string& text, Visit&& visit) {
  text::forEachLine(text, [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) visit(line);
  });
}

std::vector<Search::Hit> scan(const Store& store, const MeetingLookup::Entry& entry,
                              const std::vector<std::string>& words) {
  std::vector<Search::Hit> hits;
  auto meeting = store.load(entry.folder);
  if (!meeting) return hits;
  std::shared_ptr<const MeetingLookup::Entry> shared;
  auto consider = [&](Search::Place place, std::string_view line, const Segment* segment) {
    auto marks = Search::match(line, words);
    if (!marks) return;
    if (!shared) shared = std::make_shared<const MeetingLookup::Entry>(MeetingLookup::Entry{entry.folder, meeting->meta});
    Search::Hit hit{shared, place, std::string(line), std::nullopt, Speaker::me, std::move(*marks)};
    if (segment) {
      hit.time = segment->start;
      hit.speaker = segment->speaker;
    }
    hits.push_back(std::move(hit));
  };
  consider(Search::Place::title, meeting->meta.title, nullptr);
  forEachNonEmptyLine(meeting->notes, [&](std::string_view line) { consider(Search::Place::notes, line, nullptr); });
  if (meeting->enhanced)
    forEachNonEmptyLine(*meeting->enhanced,
                        [&](std::string_view line) { consider(Search::Place::enhanced, line, nullptr); });
  for (const Segment& segment : meeting->segments) consider(Search::Place::transcript, segment.text, &segment);
  return hits;
}

}  // namespace

std::vector<std::string> Search::words(std::string_view query) {
  // Folded the way lines are, so that a query and a line agree on every script.
  std::string folded;
  text::foldInto(query, folded);
  return text::comparisonWords(folded);
}

std::optional<Search::Marks> Search::match(std::string_view line, const std::vector<std::string>& words) {
  if (words.empty()) return std::nullopt;
  thread_local std::string folded;
  thread_local std::vector<uint32_t> origin;
  // Most lines hold no word of the query: find that out before any mapping.
  text::foldInto(line, folded);
  for (const std::string& word : words)
    if (!findWordStarts(folded, word, nullptr)) return std::nullopt;
  text::foldInto(line, folded, &origin);
  Marks places;
  for (const std::string& word : words) findWordStarts(folded, word, &places);
  return originalMarks(std::move(places), origin, line.size());
}

void Search::run(const Store& store, const std::vector<std::string>& words,
                 const std::function<void(const Hit&)>& onHit) {
  if (words.empty()) return;
  const std::vector<MeetingLookup::Entry> entries = MeetingLookup::entries(store);
  std::vector<std::optional<std::vector<Hit>>> results(entries.size());
  std::mutex mutex;
  std::condition_variable changed;
  size_t next = 0, reported = 0;
  bool stopping = false;

  auto work = [&] {
    for (;;) {
      size_t i;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stopping || next >= entries.size() || next < reported + kReadAhead; });
        if (stopping || next >= entries.size()) return;
        i = next++;
      }
      std::vector<Hit> hits = scan(store, entries[i], words);
      std::lock_guard lock(mutex);
      results[i] = std::move(hits);
      changed.notify_all();
    }
  };
  std::vector<std::jthread> workers;
  // However the reporting ends, the workers are told to stop before they
  // are joined.
  struct Stopper {
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& stopping;
    std::vector<std::jthread>& workers;
    ~Stopper() {
      {
        std::lock_guard lock(mutex);
        stopping = true;
      }
      changed.notify_all();
      workers.clear();
    }
  } stopper{mutex, changed, stopping, workers};
  workers = files::startThreads(files::readers(entries.size()), work);

  for (size_t r = 0; r < entries.size(); ++r) {
    std::vector<Hit> hits;
    if (workers.empty()) {
      hits = scan(store, entries[r], words);  // past the process limit: read here
    } else {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return results[r].has_value(); });
      hits = std::move(*results[r]);
      results[r].reset();
    }
    for (const Hit& hit : hits) onHit(hit);
    {
      std::lock_guard lock(mutex);
      reported = r + 1;
    }
    changed.notify_all();
  }
}

}  // namespace quillet
