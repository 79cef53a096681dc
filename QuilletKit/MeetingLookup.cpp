#include "QuilletKit/MeetingLookup.hpp"

#include <algorithm>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Text.hpp"

namespace quillet {

namespace fs = std::filesystem;

std::vector<MeetingLookup::Entry> MeetingLookup::entries(const Store& store) {
  std::vector<Entry> found;
  std::error_code error;
  fs::directory_iterator folders(store.root, error);
  if (error) return found;
  std::string bytes;
  for (fs::directory_iterator end; folders != end; folders.increment(error)) {
    if (error) break;
    const fs::path& folder = folders->path();
    if (folder.filename().string().starts_with(".")) continue;
    if (!files::readInto(folder / "meta.json", bytes, files::kSmallFileLimit)) continue;
    if (auto meta = decodeMeta(bytes)) found.push_back({folder, std::move(*meta)});
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Entry& a, const Entry& b) { return a.meta.start > b.meta.start; });
  return found;
}

MeetingLookup::Result MeetingLookup::find(const Store& store, const std::string& name) {
  Result result;
  const std::string wanted = text::folded(text::trimSpaces(name));
  if (wanted.empty()) return result;
  std::vector<Entry> all = entries(store);
  for (const Entry& entry : all)
    if (entry.folder.filename() == name) {
      result.folder = entry.folder;
      return result;
    }
  std::vector<Entry> equal, starting;
  for (Entry& entry : all) {
    std::string title = text::folded(text::trimSpaces(entry.meta.title));
    if (title == wanted) equal.push_back(entry);
    if (title.starts_with(wanted)) starting.push_back(std::move(entry));
  }
  for (std::vector<Entry>* fitting : {&equal, &starting}) {
    if (fitting->size() == 1) {
      result.folder = fitting->front().folder;
      return result;
    }
    if (fitting->size() > 1) {
      result.candidates = std::move(*fitting);
      return result;
    }
  }
  return result;
}

}  // namespace quillet
