#include "QuilletKit/Export.hpp"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>
#include <string_view>

#include "QuilletKit/Text.hpp"

namespace quillet {

namespace {

struct Patterns {
  std::unique_ptr<icu::RegexPattern> heading, bold;
};

// Compiled once per thread; matchers are not shareable across threads.
const Patterns& patterns() {
  thread_local Patterns p = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    Patterns made;
    made.heading.reset(icu::RegexPattern::compile(u"^#{1,6}\\s+", 0, parseError, status));
    made.bold.reset(icu::RegexPattern::compile(u"\\*\\*(.+?)\\*\\*", 0, parseError, status));
    return made;
  }();
  return p;
}

std::string toUtf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string convertBody(const std::string& body) {
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(body);
  UErrorCode status = U_ZERO_ERROR;
  const Patterns& p = patterns();
  if (p.heading) {
    std::unique_ptr<icu::RegexMatcher> heading(p.heading->matcher(u, status));
    if (U_SUCCESS(status) && heading->lookingAt(status) && U_SUCCESS(status)) {
      icu::UnicodeString title = u.tempSubString(heading->end(status));
      title.findAndReplace(u"**", u"");
      std::string line(1, '*');
      line += toUtf8(title);
      line += '*';
      return line;
    }
  }
  static constexpr std::pair<std::u16string_view, std::u16string_view> markers[] = {
      {u"- [ ] ", u"\u2610 "}, {u"- [x] ", u"\u2611 "}, {u"- [X] ", u"\u2611 "},
      {u"- ", u"\u2022 "},     {u"* ", u"\u2022 "},
  };
  for (const auto& [prefix, replacement] : markers) {
    icu::UnicodeString marker(false, prefix.data(), static_cast<int32_t>(prefix.size()));
    if (u.startsWith(marker)) {
      u.replace(0, marker.length(), icu::UnicodeString(replacement.data(), static_cast<int32_t>(replacement.size())));
      break;
    }
  }
  if (p.bold) {
    status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> bold(p.bold->matcher(u, status));
    if (U_SUCCESS(status)) {
      icu::UnicodeString replaced = bold->replaceAll(u"*$1*", status);
      if (U_SUCCESS(status)) return toUtf8(replaced);
    }
  }
  return toUtf8(u);
}

std::string convertLine(std::string_view line) {
  size_t indent = line.find_first_not_of(' ');
  if (indent == std::string_view::npos) indent = line.size();
  return std::string(line.substr(0, indent)) + convertBody(std::string(line.substr(indent)));
}

}  // namespace

std::string Export::slack(const std::string& markdown) {
  std::string out;
  bool first = true;
  text::forEachLine(markdown, [&](std::string_view line) {
    if (!first) out += '\n';
    first = false;
    out += convertLine(line);
  });
  return out;
}

}  // namespace quillet
