#pragma once
// Turns one meeting into finished Markdown notes with a language model: the
// prompts, the condensing of long transcripts in parts, the streamed run, and
// the attribution of finished lines to the user's own notes.
//
// Stateless; every function may be called from any thread. All character
// counts are user-perceived characters. Texts sent to models are English and
// never localised.
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "QuilletKit/LLMClient.hpp"
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

  // The transcript as the prompt carries it when it needs no condensing:
  // echoes removed, plain turns. `enhance --prompt` prints this very text.
  static std::string transcript(const std::vector<Segment>& segments);

  // Transcript lines packed into parts of at most `maxCharacters` where the
  // words allow (a single longer word keeps its own, longer line).
  static std::vector<std::string> chunks(const std::vector<Segment>& segments, long maxCharacters);

  // The whole run: echo removal, condensing in parts when the client's prompt
  // limit asks for it, then the streamed reply, reported to `onPartial` as
  // the whole text so far after each piece (from this thread). Returns the
  // reply trimmed. Blocking; throws what the client throws, unchanged, and
  // CancellationError once `stop` fires.
  using Partial = std::function<void(const std::string& textSoFar)>;
  static std::string enhance(const Meeting& meeting, const LLMClient& client, const Partial& onPartial,
                             std::stop_token stop = {});

  static std::vector<Line> attribute(const std::string& enhanced, const std::string& notes);
  // The comparison form of one line: markers, numbering and bold removed,
  // lower-cased, accents folded, spaces collapsed, punctuation trimmed.
  static std::string normalize(const std::string& line);
};

}  // namespace quillet
