#pragma once
// User-facing texts: gettext, domain "quillet", with the Portuguese text as the
// message id, so that without a catalog the Portuguese text is shown.
#include <string>

namespace quillet {

// Binds the message domain to the installed catalogs; called once by programs
// (the library works without it, showing the Portuguese texts).
void setUpLocalization();

// The translation of `portuguese` in the current locale, or the text itself.
std::string tr(const char* portuguese);

// `tr(format)` with every "%s" replaced, in order, by the given arguments.
std::string trFormat(const char* format, const std::string& a);

}  // namespace quillet
