#include "QuilletKit/Text.hpp"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>

#include "QuilletKit/Reference.hpp"

namespace quillet::text {

namespace {

icu::UnicodeString fromUtf8(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string toUtf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool isAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// One character iterator per thread: creating one costs far more than using it.
icu::BreakIterator* characterIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    return U_SUCCESS(status) ? std::move(it) : nullptr;
  }();
  return iterator.get();
}

// Offsets (UTF-16) of the first `n` character boundaries after 0.
int32_t boundaryAfter(const icu::UnicodeString& u, size_t n) {
  icu::BreakIterator* it = characterIterator();
  if (!it) return std::min<int32_t>(u.length(), static_cast<int32_t>(n));
  it->setText(u);
  int32_t pos = 0;
  for (size_t i = 0; i < n; ++i) {
    int32_t next = it->next();
    if (next == icu::BreakIterator::DONE) return u.length();
    pos = next;
  }
  return pos;
}

bool isWordCharacter(UChar32 c) {
  // Letters, marks and numbers: the platform's alphanumeric set.
  int32_t mask = U_GET_GC_MASK(c);
  return (mask & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}

// Lower case without locale, diacritics folded away: canonical decomposition,
// non-spacing marks dropped, then composed again.
icu::UnicodeString foldCase(icu::UnicodeString u) {
  u.toLower(icu::Locale::getRoot());
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return u;
  icu::UnicodeString decomposed = nfd->normalize(u, status), kept;
  for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1)) {
    UChar32 c = decomposed.char32At(i);
    if (u_charType(c) != U_NON_SPACING_MARK) kept.append(c);
  }
  icu::UnicodeString composed = nfc->normalize(kept, status);
  return U_SUCCESS(status) ? composed : kept;
}

bool isSpaceOrTab(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

bool isLineEnd(UChar32 c) {
  return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

template <typename Pred>
std::string trimWhere(std::string_view s, Pred trimmed) {
  icu::UnicodeString u = fromUtf8(s);
  int32_t begin = 0, end = u.length();
  while (begin < end && trimmed(u.char32At(begin))) begin = u.moveIndex32(begin, 1);
  while (end > begin) {
    int32_t prev = u.moveIndex32(end, -1);
    if (!trimmed(u.char32At(prev))) break;
    end = prev;
  }
  if (begin == 0 && end == u.length() && isValidUtf8(s)) return std::string(s);
  return toUtf8(u.tempSubStringBetween(begin, end));
}

}  // namespace

size_t characterCount(std::string_view s) {
  if (isAscii(s)) {
    // CR LF is one character; every other ASCII pair is two.
    size_t count = s.size();
    for (size_t i = 0; i + 1 < s.size(); ++i)
      if (s[i] == '\r' && s[i + 1] == '\n') --count;
    return count;
  }
  icu::UnicodeString u = fromUtf8(s);
  icu::BreakIterator* it = characterIterator();
  if (!it) return static_cast<size_t>(u.countChar32());
  it->setText(u);
  size_t count = 0;
  for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
  return count;
}

std::string prefixCharacters(std::string_view s, size_t n) {
  if (isAscii(s) && s.find('\r') == std::string_view::npos)
    return std::string(s.substr(0, std::min(n, s.size())));
  icu::UnicodeString u = fromUtf8(s);
  return toUtf8(u.tempSubStringBetween(0, boundaryAfter(u, n)));
}

std::string suffixCharacters(std::string_view s, size_t n) {
  size_t total = characterCount(s);
  if (total <= n) return std::string(s);
  icu::UnicodeString u = fromUtf8(s);
  return toUtf8(u.tempSubString(boundaryAfter(u, total - n)));
}

std::string toLower(std::string_view s) {
  icu::UnicodeString u = fromUtf8(s);
  u.toLower(icu::Locale::getRoot());
  return toUtf8(u);
}

std::string toUpper(std::string_view s) {
  icu::UnicodeString u = fromUtf8(s);
  u.toUpper(icu::Locale::getRoot());
  return toUtf8(u);
}

std::string capitalized(std::string_view s) {
  icu::UnicodeString u = fromUtf8(s);
  u.toTitle(nullptr, icu::Locale::getRoot());
  return toUtf8(u);
}

namespace {

// Lower-casing and folding of one Latin code point, taken from ICU once.
// Below U+0250 no character combines with its neighbours or extends a
// cluster, so a text made only of them folds character by character with the
// result ICU gives for the whole text, at a fraction of the cost.
struct LatinFold {
  enum Kind : uint8_t { separator, word, mixed };
  std::string folded[0x250];
  uint8_t length[0x250];  // code points in `folded`
  Kind kind[0x250];
};

std::vector<std::string> wordsSlow(std::string_view s);

const LatinFold& latinFold() {
  static const LatinFold table = [] {
    LatinFold t;
    for (UChar32 c = 0; c < 0x250; ++c) {
      icu::UnicodeString kept = foldCase(icu::UnicodeString(c));
      bool anyWord = false, anySeparator = false, wide = false;
      for (int32_t i = 0; i < kept.length(); i = kept.moveIndex32(i, 1)) {
        UChar32 d = kept.char32At(i);
        (isWordCharacter(d) ? anyWord : anySeparator) = true;
        wide = wide || d >= 0x300;
      }
      t.folded[c].clear();
      kept.toUTF8String(t.folded[c]);
      t.length[c] = static_cast<uint8_t>(kept.countChar32());
      t.kind[c] = (anyWord && anySeparator) || wide ? LatinFold::mixed
                  : anyWord                                              ? LatinFold::word
                                                                         : LatinFold::separator;
    }
    return t;
  }();
  return table;
}

std::vector<std::string> wordsSlow(std::string_view s) {
  std::vector<std::string> words;
  const icu::UnicodeString folded = foldCase(fromUtf8(s));
  icu::UnicodeString word;
  auto flush = [&] {
    if (word.countChar32() >= 2) {
      std::string w = toUtf8(word);
      if (characterCount(w) >= 2) words.push_back(std::move(w));
    }
    word.remove();
  };
  for (int32_t i = 0; i < folded.length(); i = folded.moveIndex32(i, 1)) {
    UChar32 c = folded.char32At(i);
    if (isWordCharacter(c)) word.append(c);
    else flush();
  }
  flush();
  return words;
}

// Absent when `s` holds anything outside the table's safe range.
std::optional<std::vector<std::string>> wordsLatin(std::string_view s) {
  const LatinFold& table = latinFold();
  std::vector<std::string> words;
  std::string word;
  size_t letters = 0;
  auto flush = [&] {
    if (letters >= 2) words.push_back(word);
    word.clear();
    letters = 0;
  };
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0 || c >= 0x250 || table.kind[c] == LatinFold::mixed) return std::nullopt;
    if (table.kind[c] == LatinFold::separator) {
      flush();
      continue;
    }
    if (c < 0x80) {
      word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      ++letters;
    } else {
      word += table.folded[c];
      letters += table.length[c];
    }
  }
  flush();
  return words;
}

}  // namespace

std::vector<std::string> comparisonWords(std::string_view s) {
  std::vector<std::string> words;
  if (isAscii(s)) {
    // ASCII has no marks to fold, and every ASCII character is one
    // user-perceived character.
    std::string word;
    auto flush = [&] {
      if (word.size() >= 2) words.push_back(word);
      word.clear();
    };
    for (char c : s) {
      if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) word.push_back(c);
      else if (c >= 'A' && c <= 'Z') word.push_back(static_cast<char>(c - 'A' + 'a'));
      else flush();
    }
    flush();
    return words;
  }
  if (s.size() < static_cast<size_t>(INT32_MAX))
    if (auto latin = wordsLatin(s)) return std::move(*latin);
  return wordsSlow(s);
}

std::string folded(std::string_view s) {
  if (isAscii(s)) {
    std::string out(s);
    for (char& c : out)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
  }
  return toUtf8(foldCase(fromUtf8(s)));
}

void foldInto(std::string_view s, std::string& out, std::vector<uint32_t>* origin) {
  const LatinFold& table = latinFold();
  // Characters beyond the table are folded by ICU once per thread.
  thread_local std::unordered_map<UChar32, std::string> others;
  if (origin) origin->clear();
  // Written through a pointer, grown only when a character folds longer.
  out.resize(s.size() + 8);
  size_t n = 0;
  auto put = [&](std::string_view piece, uint32_t from) {
    if (n + piece.size() > out.size()) out.resize(2 * (n + piece.size()));
    std::memcpy(out.data() + n, piece.data(), piece.size());
    n += piece.size();
    if (origin) origin->insert(origin->end(), piece.size(), from);
  };
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const int32_t length = static_cast<int32_t>(std::min<size_t>(s.size(), INT32_MAX));
  constexpr uint64_t ones = ~0ULL / 255, highs = ones * 0x80;
  for (int32_t i = 0; i < length;) {
    // Eight ASCII characters at once: each capital gains the 0x20 bit.
    if (i + 8 <= length) {
      uint64_t x;
      std::memcpy(&x, p + i, 8);
      if (!(x & highs)) {
        uint64_t capitals = ((x + ones * (0x80 - 'A')) ^ (x + ones * (0x80 - 'Z' - 1))) & highs;
        x |= capitals >> 2;
        if (n + 8 > out.size()) out.resize(2 * (n + 8));
        std::memcpy(out.data() + n, &x, 8);
        n += 8;
        if (origin)
          for (int32_t k = 0; k < 8; ++k) origin->push_back(static_cast<uint32_t>(i + k));
        i += 8;
        continue;
      }
    }
    const int32_t start = i;
    if (p[i] < 0x80) {
      char c = static_cast<char>(p[i++]);
      char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
      put(std::string_view(&lower, 1), static_cast<uint32_t>(start));
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0) {
      put("\xEF\xBF\xBD", static_cast<uint32_t>(start));
    } else if (c < 0x250) {
      put(table.folded[c], static_cast<uint32_t>(start));
    } else {
      auto [at, fresh] = others.try_emplace(c);
      if (fresh) at->second = toUtf8(foldCase(icu::UnicodeString(c)));
      put(at->second, static_cast<uint32_t>(start));
      if (others.size() > 4096) others.clear();
    }
  }
  out.resize(n);
}

bool isValidUtf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t length = static_cast<int32_t>(s.size());
  if (s.size() > static_cast<size_t>(INT32_MAX)) return false;
  for (int32_t i = 0; i < length;) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    UChar32 c;
    U8_NEXT(p, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string repairUtf8(std::string_view s) {
  if (isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    int32_t chunk = static_cast<int32_t>(std::min<size_t>(s.size() - i, 1 << 30));
    int32_t j = 0;
    while (j < chunk) {
      int32_t start = j;
      UChar32 c;
      U8_NEXT(p + i, j, chunk, c);
      if (c < 0) out += "\xEF\xBF\xBD";
      else out.append(s.substr(i + start, j - start));
    }
    i += chunk;
  }
  return out;
}

std::string forTerminal(std::string_view s, bool singleLine) {
  std::string valid = repairUtf8(s);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size(); ++i) {
    auto c = static_cast<unsigned char>(valid[i]);
    bool kept = c == '\n' || c == '\t';
    bool c1 = c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) <= 0x9F;
    if ((c < 0x20 && (singleLine || !kept)) || c == 0x7F || c1) {
      out += "\xEF\xBF\xBD";
      if (c1) ++i;
    } else {
      out += valid[i];
    }
  }
  return out;
}

std::string trimSpaces(std::string_view s) { return trimWhere(s, isSpaceOrTab); }

std::string trimSpacesAndNewlines(std::string_view s) {
  return trimWhere(s, [](UChar32 c) { return isSpaceOrTab(c) || isLineEnd(c); });
}

}  // namespace quillet::text

namespace quillet::reference {

std::vector<std::string> comparisonWords(std::string_view s) { return text::wordsSlow(s); }

}  // namespace quillet::reference
