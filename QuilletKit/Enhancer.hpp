#pragma once
// Turns one meeting into finished Markdown notes with a language model: the
// prompts, the condensing of long transcripts in parts, the streamed run, and
// the attribution of finished lines to the user's own notes.
//
// Stateless; every function may be called from any thread. All character
// counts are user-perceived characters. Texts sent to models are English and
// never localised.
#include <string>
#include <vector>

#include "QuilletKit/Meeting.hpp"

namespace quillet {

struct Enhancer {
  Enhancer() = delete;

  // One line of finished notes and whether it comes from the user's notes.
  struct Line {
    long id = 0;  // zero-based index in the finished notes
    std::string text;
    bool isMine = false;
    friend bool operator==(const Line&, const Line&) = default;
  };

  static std::string system(const MeetingLanguage& language);
  static std::string partSystem(const MeetingLanguage& language);
  static std::string prompt(const MeetingMeta& meta, const std::string& notes, const std::string& transcript,
                            bool transcriptIsSummary);

  // Transcript lines packed into parts of at most `maxCharacters` where the
  // words allow (a single longer word keeps its own, longer line).
  static std::vector<std::string> chunks(const std::vector<Segment>& segments, long maxCharacters);

  static std::vector<Line> attribute(const std::string& enhanced, const std::string& notes);
  // The comparison form of one line: markers, numbering and bold removed,
  // lower-cased, accents folded, spaces collapsed, punctuation trimmed.
  static std::string normalize(const std::string& line);
};

}  // namespace quillet
