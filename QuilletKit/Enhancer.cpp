#include "QuilletKit/Enhancer.hpp"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "QuilletKit/Cancellation.hpp"
#include "QuilletKit/Text.hpp"
#include "QuilletKit/Transcript.hpp"

namespace quillet {

namespace {

// When the prompt limit forces condensing, each part gets the limit less the
// system prompt and this reserve for the instructions around it, but never
// less than the floor below.
constexpr long kPromptReserve = 800;
constexpr long kMinPartBudget = 1500;

std::vector<Segment> withoutEcho(const std::vector<Segment>& segments) {
  return Transcript::removingEcho(segments, Transcript::kEchoWindow, Transcript::kEchoThreshold);
}

// "yyyy-MM-dd HH:mm (EEEE)" with English weekdays, whatever the user's locale.
std::string englishDateLine(Date date) {
  static const char* weekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  const std::tm local = localTime(date);
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d (%s)", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, weekdays[local.tm_wday % 7]);
  return buffer;
}

bool isSpaceNotLineBreak(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

// Split at spaces other than line breaks, joined again by single spaces.
// Works on the UTF-8 bytes: a word is copied as it is, whatever it holds.
std::string collapseSpaces(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool pendingSpace = false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t length = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < length;) {
    int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0 && isSpaceNotLineBreak(c)) {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out.append(s.data() + start, static_cast<size_t>(i - start));
  }
  return out;
}

std::string withoutLeadingNumber(const std::string& s) {
  thread_local std::unique_ptr<icu::RegexPattern> pattern = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError error;
    std::unique_ptr<icu::RegexPattern> p(icu::RegexPattern::compile(u"^\\d+[.)]\\s*", 0, error, status));
    return U_SUCCESS(status) ? std::move(p) : nullptr;
  }();
  if (!pattern || s.empty() || !(static_cast<unsigned char>(s[0]) >= 0x80 || (s[0] >= '0' && s[0] <= '9')))
    return s;
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(s);
  std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(u, status));
  if (U_FAILURE(status) || !matcher->lookingAt(status) || U_FAILURE(status)) return s;
  std::string out;
  u.tempSubString(matcher->end(status)).toUTF8String(out);
  return out;
}

void removeAll(std::string& s, std::string_view what) {
  for (size_t at; (at = s.find(what)) != std::string::npos;) s.erase(at, what.size());
}

// One line of the user's notes, ready to be compared with many finished
// lines: its searcher is built once, and its words are ids of a vocabulary
// made of the user's words only, since no other word can count.
struct UserLine {
  std::string normal;
  std::boyer_moore_horspool_searcher<std::string::const_iterator> searcher;
  std::vector<int> words;

  UserLine(std::string n, std::vector<int> ids)
      : normal(std::move(n)), searcher(normal.begin(), normal.end()), words(std::move(ids)) {}
  UserLine(const UserLine&) = delete;
  UserLine& operator=(const UserLine&) = delete;

  bool isContainedIn(const std::string& n) const {
    return normal.size() <= n.size() && std::search(n.begin(), n.end(), searcher) != n.end();
  }
  // Words (with repetitions) whose mark in `seen` is `stamp`, as a share of all.
  bool mostWordsOccur(const std::vector<unsigned>& seen, unsigned stamp) const {
    if (words.size() < 4) return false;
    size_t found = 0;
    for (int w : words) found += seen[static_cast<size_t>(w)] == stamp;
    return static_cast<double>(found) / static_cast<double>(words.size()) >= 0.85;
  }
};

}  // namespace

std::string Enhancer::system(const MeetingLanguage& language) {
  return "You are Quillet, which turns rough meeting jottings into clear notes.\n"
         "You get the meeting details, the notes the user typed during the meeting and the transcript. "
         "In the transcript, \"Me\" is the user and \"Others\" is everyone else on the call, not told apart.\n"
         "\n"
         "Write the final notes in Markdown, in " +
         language.englishName() + " (locale " + language.rawValue +
         "), including the headings:\n"
         "- Use the user's notes as the backbone. Keep every line they wrote with the same words and complete "
         "each one with context from the transcript (who said it, numbers, reasons).\n"
         "- Add what mattered in the transcript and is missing from the notes.\n"
         "- Open with a 1\u20132 sentence summary, no heading. Then group by topic under `###` sections with short "
         "bullets. If decisions were made, add a \"Decisions\" section. End with a \"Next steps\" section as a "
         "checklist `- [ ] Owner \u2014 task (due date, if any)`.\n"
         "- Be faithful: never invent names, numbers or dates. Mark anything ambiguous as open.\n"
         "- Return only the notes, with no comments about the process or the transcript.";
}

std::string Enhancer::partSystem(const MeetingLanguage& language) {
  return "Summarize this part of a meeting as short bullets: topics, decisions, numbers, names and tasks. "
         "Bullets only, in " +
         language.englishName() + ".";
}

std::string Enhancer::prompt(const MeetingMeta& meta, const std::string& notes, const std::string& transcript,
                             bool transcriptIsSummary) {
  std::string out = "# Meeting\nTitle: " + meta.title + "\nDate: " + englishDateLine(meta.start);
  if (meta.end) {
    long long minutes = (meta.end->time_since_epoch().count() - meta.start.time_since_epoch().count()) / 60;
    out += "\nDuration: " + std::to_string(minutes) + " min";
  }
  if (!meta.attendees.empty()) {
    out += "\nAttendees: ";
    for (size_t i = 0; i < meta.attendees.size(); ++i) out += (i ? ", " : "") + meta.attendees[i];
  }
  if (meta.app) out += "\nApp: " + *meta.app;
  std::string trimmedNotes = text::trimSpacesAndNewlines(notes);
  out += "\n\n# My notes\n" + (trimmedNotes.empty() ? std::string("(none)") : trimmedNotes);
  out += transcriptIsSummary ? "\n\n# Transcript (summarized in parts)\n" : "\n\n# Transcript\n";
  out += transcript.empty() ? std::string("(empty)") : transcript;
  return out;
}

std::string Enhancer::transcript(const std::vector<Segment>& segments) {
  return Transcript::plain(withoutEcho(segments));
}

std::vector<std::string> Enhancer::chunks(const std::vector<Segment>& segments, long maxCharacters) {
  const size_t limit = maxCharacters < 0 ? 0 : static_cast<size_t>(maxCharacters);
  std::vector<std::string> parts;
  std::string part;
  size_t partCount = 0;
  auto emit = [&](const std::string& line, size_t lineCount) {
    if (!part.empty() && partCount + lineCount > limit) {
      parts.push_back(std::move(part));
      part.clear();
      partCount = 0;
    }
    part += line;
    partCount += lineCount;
  };
  for (const Segment& segment : segments) {
    std::string prefix(1, '[');
    prefix += clock(segment.start);
    prefix += "] ";
    prefix += promptLabel(segment.speaker);
    prefix += ": ";
    const size_t prefixCount = prefix.size();  // ASCII
    std::string body;
    size_t bodyCount = 0;
    auto emitLine = [&] {
      // A body ending in CR makes one character with the line feed.
      size_t lineCount = prefixCount + bodyCount + (body.back() == '\r' ? 0 : 1);
      emit(prefix + body + "\n", lineCount);
      body.clear();
      bodyCount = 0;
    };
    std::string_view rest = segment.text;
    while (!rest.empty()) {
      size_t space = rest.find(' ');
      std::string_view word = rest.substr(0, space);
      rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
      if (word.empty()) continue;
      size_t wordCount = text::characterCount(word);
      if (!body.empty() && prefixCount + bodyCount + wordCount + 2 > limit) emitLine();
      if (body.empty()) {
        body = word;
        bodyCount = wordCount;
      } else {
        // Nothing joins across the space before a word except a leading mark.
        std::string spaced(1, ' ');
        spaced += word;
        body += spaced;
        bodyCount += text::characterCount(spaced);
      }
    }
    if (!body.empty()) emitLine();
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}

namespace {

// The part answers joined in order; each part is one non-streamed request.
std::string condensed(const std::vector<Segment>& cleaned, const LLMClient& client, const MeetingLanguage& language,
                      long budget, std::stop_token stop) {
  std::string joined;
  bool first = true;
  for (const std::string& part : Enhancer::chunks(Transcript::merged(cleaned, Transcript::kTurnGap), budget)) {
    if (stop.stop_requested()) throw CancellationError();
    std::string answer = client.complete(Enhancer::partSystem(language), part);
    if (!first) joined += '\n';
    joined += answer;
    first = false;
  }
  return joined;
}

}  // namespace

std::string Enhancer::enhance(const Meeting& meeting, const LLMClient& client, const Partial& onPartial,
                              std::stop_token stop) {
  const std::vector<Segment> cleaned = withoutEcho(meeting.segments);
  std::string transcript = Transcript::plain(cleaned);
  const std::string systemPrompt = system(meeting.meta.language);
  bool isSummary = false;
  if (auto limit = client.maxPromptCharacters()) {
    const long systemCount = static_cast<long>(text::characterCount(systemPrompt));
    const long fullCount =
        static_cast<long>(text::characterCount(prompt(meeting.meta, meeting.notes, transcript, false)));
    if (static_cast<long>(*limit) < fullCount + systemCount) {
      long budget = std::max<long>(static_cast<long>(*limit) - systemCount - kPromptReserve, kMinPartBudget);
      transcript = condensed(cleaned, client, meeting.meta.language, budget, stop);
      isSummary = true;
    }
  }
  if (stop.stop_requested()) throw CancellationError();
  TextStream pieces = client.stream(systemPrompt, prompt(meeting.meta, meeting.notes, transcript, isSummary));
  std::stop_callback interrupt(stop, [&pieces] { pieces.interrupt(); });
  std::string text;
  try {
    while (auto piece = pieces.next()) {
      text += *piece;
      if (onPartial) onPartial(text);
    }
  } catch (...) {
    // A transfer torn down by the stop may end in a transport error first;
    // the caller asked to stop, so that is what it hears, never a failure
    // that a fallback would answer.
    if (stop.stop_requested()) throw CancellationError();
    throw;
  }
  if (stop.stop_requested()) throw CancellationError();
  return text::trimSpacesAndNewlines(text);
}

std::string Enhancer::normalize(const std::string& line) {
  std::string s = text::trimSpaces(line);
  for (std::string_view marker : {"- [ ]", "- [x]", "#", "-", "*", "\u2022", ">"}) {
    while (s.starts_with(marker)) s = text::trimSpaces(std::string_view(s).substr(marker.size()));
  }
  s = withoutLeadingNumber(s);
  removeAll(s, "**");
  s = collapseSpaces(text::folded(s));
  size_t begin = s.find_first_not_of(".,;:!?"), end = s.find_last_not_of(".,;:!?");
  return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

std::vector<Enhancer::Line> Enhancer::attribute(const std::string& enhanced, const std::string& notes) {
  std::unordered_map<std::string, int> vocabulary;
  std::deque<UserLine> mine;
  text::forEachLine(notes, [&](std::string_view line) {
    if (line.empty()) return;
    std::string normal = normalize(std::string(line));
    if (text::characterCount(normal) <= 2) return;
    std::vector<int> ids;
    for (auto& word : text::comparisonWords(normal))
      ids.push_back(vocabulary.try_emplace(std::move(word), static_cast<int>(vocabulary.size())).first->second);
    mine.emplace_back(std::move(normal), std::move(ids));
  });
  // seen[w] == stamp of the line at hand when that line holds word w.
  std::vector<unsigned> seen(vocabulary.size(), 0);
  std::vector<Line> lines;
  text::forEachLine(enhanced, [&](std::string_view line) {
    const long id = static_cast<long>(lines.size());
    std::string text(line);
    bool isMine = false;
    std::string n = mine.empty() ? std::string() : normalize(text);
    if (!n.empty()) {
      const unsigned stamp = static_cast<unsigned>(id) + 1;
      bool marked = false;
      // Only whether some user line matches counts, not which one.
      for (const UserLine& m : mine) {
        if (m.isContainedIn(n)) {
          isMine = true;
          break;
        }
        if (m.words.size() < 4) continue;
        if (!marked) {
          for (const auto& word : text::comparisonWords(n))
            if (auto found = vocabulary.find(word); found != vocabulary.end())
              seen[static_cast<size_t>(found->second)] = stamp;
          marked = true;
        }
        if (m.mostWordsOccur(seen, stamp)) {
          isMine = true;
          break;
        }
      }
    }
    lines.push_back({id, std::move(text), isMine});
  });
  return lines;
}

}  // namespace quillet
