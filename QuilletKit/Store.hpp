#pragma once
// The meeting store: one folder per meeting under `root`, holding "meta.json",
// "notas.md", "notas-ia.md", "transcricao.jsonl" and "transcricao.md".
//
// A Store is a plain value with no cache and no locks; it may be used from any
// thread, but two writers of one folder must be kept apart by the caller.
// Reading never throws: what cannot be read is skipped or read as empty.
// Writing throws std::filesystem::filesystem_error (or std::invalid_argument
// for a record that cannot be encoded) at the first failing file; whole files
// are replaced atomically and durably, so a failed write leaves the previous
// file intact. Writes go through `env`, which must outlive the Store.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "QuilletKit/Env.hpp"
#include "QuilletKit/Meeting.hpp"

namespace quillet {

struct Store {
  std::filesystem::path root;
  Env* env = &Env::standard();

  // Every readable meeting under the root, newest start first (stable).
  // Files too large for their kind count as unreadable. The reading is
  // spread over helper threads when they can be started.
  std::vector<Meeting> list() const;
  // The meeting in `folder`, absent without a readable, decodable "meta.json".
  std::optional<Meeting> load(const std::filesystem::path& folder) const;
  // The valid transcript lines of `folder`, in file order.
  std::vector<Segment> segments(const std::filesystem::path& folder) const;

  // A new folder (never one that already exists) with "meta.json" and empty notes.
  Meeting create(const MeetingMeta& meta) const;
  // "meta.json", "notas.md", and "notas-ia.md" (removed when `enhanced` is absent).
  void save(const Meeting& meeting) const;
  void saveNotes(const Meeting& meeting) const;
  // Enhanced notes that a model wrote for the meeting in `folder`: first
  // "notas-ia.md", then `enhancedWith` = `model` in "meta.json" as it is on
  // disk now. Notes and transcript are not touched, so what the user typed
  // meanwhile stays. Throws like `save`, also when "meta.json" is no longer
  // readable; when "meta.json" cannot be written, both files are first put
  // back as they were.
  void saveEnhanced(const std::filesystem::path& folder, const std::string& enhanced, const std::string& model) const;
  // "transcricao.jsonl" and its readable rendition "transcricao.md".
  void saveTranscript(const Meeting& meeting) const;
  // Adds one line to "transcricao.jsonl" in a single write, without reading
  // the transcript; a line cut off by a crash is closed first.
  void append(const Segment& segment, const std::filesystem::path& folder) const;
  // Moves the meeting's folder to the freedesktop.org Trash.
  void trash(const Meeting& meeting) const;

  // "yyyy-MM-dd HHmm <cleaned title>" in the process's time zone.
  static std::string folderName(const MeetingMeta& meta);
  // "Quillet" in the user's Documents folder; not created here.
  static std::filesystem::path defaultRoot();
};

}  // namespace quillet
