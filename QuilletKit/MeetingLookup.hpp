#pragma once
// Finding a meeting of the store by the name a user types instead of its
// folder's path: the folder's name, or its title, or a unique beginning of
// its title, compared without regard to case or accents.
//
// Reads only each folder's "meta.json". Stateless, blocking, any thread;
// never throws: folders that cannot be read are no candidates.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/Store.hpp"

namespace quillet {

struct MeetingLookup {
  MeetingLookup() = delete;

  struct Entry {
    std::filesystem::path folder;
    MeetingMeta meta;
    friend bool operator==(const Entry&, const Entry&) = default;
  };

  // Every folder under the store's root with a readable "meta.json", in the
  // order of Store::list (newest start first, ties in listing order).
  static std::vector<Entry> entries(const Store& store);

  struct Result {
    std::optional<std::filesystem::path> folder;  // the one meeting the name names
    std::vector<Entry> candidates;                // the meetings it fits when it names several
  };

  // In this order: a folder named `name` exactly; the meetings whose title
  // equals `name`; the meetings whose title starts with it. The first rule
  // that fits one meeting names it; one that fits several makes the name
  // ambiguous (`candidates`, newest first); none fitting gives an empty result.
  static Result find(const Store& store, const std::string& name);
};

}  // namespace quillet
