#pragma once
// Full-text search of the store: the lines of its meetings that hold every
// word of a query, compared as transcripts compare words (case and accents
// folded away, split at what is not a letter or digit). A word of the query
// matches a word of the line that begins with it, so "orça" finds
// "Orçamento" and "decis" finds "decisão".
//
// A line is a meeting's title, one line of its notes or of its enhanced
// notes, or one transcript segment. Meetings are read as Store::list reads
// them, several at a time on worker threads, but only a bounded number ahead
// of the one being reported: memory does not grow with the store or with the
// number of hits. Blocking; any thread. Never throws itself; an exception
// from the hit handler stops the search and reaches the caller.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/MeetingLookup.hpp"
#include "QuilletKit/Store.hpp"

namespace quillet {

struct Search {
  Search() = delete;

  enum class Place { title, notes, enhanced, transcript };

  // Byte ranges [first, second) of a line, in order and apart.
  using Marks = std::vector<std::pair<size_t, size_t>>;

  struct Hit {
    // The meeting's folder and metadata, shared by all its hits.
    std::shared_ptr<const MeetingLookup::Entry> meeting;
    Place place = Place::title;
    std::string line;             // as stored, without its line end
    std::optional<double> time;   // transcript hits: the segment's start, in seconds
    Speaker speaker = Speaker::me;  // transcript hits: who spoke
    Marks marks;                  // where the query's words are in `line`
  };

  // The words of a query as they are compared; empty when it holds no word
  // of at least two characters.
  static std::vector<std::string> words(std::string_view query);

  // Where each word of `words` begins a word of `line`; absent unless every
  // one of them does somewhere. Overlapping places are joined.
  static std::optional<Marks> match(std::string_view line, const std::vector<std::string>& words);

  // Calls `onHit` on the calling thread for every line that holds all
  // `words`: meetings newest first (the order of Store::list), and within a
  // meeting its title, notes, enhanced notes, then transcript, each in order.
  // An empty `words` finds nothing.
  static void run(const Store& store, const std::vector<std::string>& words,
                  const std::function<void(const Hit&)>& onHit);
};

}  // namespace quillet
