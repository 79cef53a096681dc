#pragma once
// Unicode helpers over UTF-8 strings, backed by ICU. Pure functions, safe from
// any thread. Invalid UTF-8 input is read as U+FFFD, never rejected.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::text {

// Number of user-perceived characters (extended grapheme clusters).
size_t characterCount(std::string_view s);

// The first `n` user-perceived characters of `s` (all of `s` when shorter).
std::string prefixCharacters(std::string_view s, size_t n);

// The last `n` user-perceived characters of `s`.
std::string suffixCharacters(std::string_view s, size_t n);

std::string toLower(std::string_view s);
std::string toUpper(std::string_view s);
// Every word's first letter upper case, as a display name is capitalised.
std::string capitalized(std::string_view s);

// The comparison words of a transcript text: lower-cased, diacritics folded
// away, split at every character that is not a letter, mark or digit, keeping
// pieces of at least two user-perceived characters, in order.
std::vector<std::string> comparisonWords(std::string_view s);

// Lower-cased with diacritics folded away (no locale): "Ação" gives "acao".
std::string folded(std::string_view s);

// `s` folded like `folded`, one character at a time, into `out` (replaced).
// With `origin`, also the offset in `s` of the character that each byte of
// `out` comes from. For scanning many texts: Latin text costs a table lookup
// per character. Texts folded this way compare with each other, not always
// byte for byte with `folded` (marks that combine across characters stay
// apart).
void foldInto(std::string_view s, std::string& out, std::vector<uint32_t>* origin = nullptr);

bool isValidUtf8(std::string_view s);
// `s` with each invalid sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view s);

// `s` made safe to show on a terminal: invalid UTF-8 and every control
// character (C0 but line feed and tab, DEL, C1) become U+FFFD, so that text
// from outside cannot move the cursor, change colours or forge lines. With
// `singleLine`, line feeds and tabs are replaced too.
std::string forTerminal(std::string_view s, bool singleLine = false);

// White space of the platform's "whitespaces" set (space separators and tab),
// trimmed from both ends; line ends stay.
std::string trimSpaces(std::string_view s);
// Space separators, tabs and line ends trimmed from both ends.
std::string trimSpacesAndNewlines(std::string_view s);

// Calls `visit` with every line of `s` split at line feeds, in order, empty
// ones included: "a\n" gives "a" then "", and "" gives one empty line.
template <typename Visit>
void forEachLine(std::string_view s, Visit&& visit) {
  for (;;) {
    size_t end = s.find('\n');
    visit(s.substr(0, end));
    if (end == std::string_view::npos) return;
    s.remove_prefix(end + 1);
  }
}

}  // namespace quillet::text
