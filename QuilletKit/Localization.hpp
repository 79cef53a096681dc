#pragma once
// User-facing texts: gettext, domain "quillet", with the Portuguese text as the
// message id, so that without a catalog the Portuguese text is shown.
#include <exception>
#include <optional>
#include <string>

namespace quillet {

// Binds the message domain to the installed catalogs; called once by programs
// (the library works without it, showing the Portuguese texts).
void setUpLocalization();

// The locale the environment names for a category ("LC_TIME",
// "LC_MESSAGES"): the first set of LC_ALL, the category and LANG, without
// codeset or modifier ("pt_BR" of "pt_BR.UTF-8@euro"). Absent when none is.
std::optional<std::string> localeFromEnvironment(const char* category);

// The translation of `portuguese` in the current locale, or the text itself.
std::string tr(const char* portuguese);

// `tr(format)` with every "%s" replaced, in order, by the given arguments.
std::string trFormat(const char* format, const std::string& a);

// The text by which a caught error is shown: its description, except that a
// file-system error, whose description repeats the system's reason, is the
// path and that reason once ("/x/notas.md: No space left on device").
std::string describe(const std::exception& error);

}  // namespace quillet
