#pragma once
// Markdown notes rewritten line by line into Slack message markup. Pure,
// cannot fail, safe from any thread. The number of lines never changes.
#include <string>

namespace quillet {

struct Export {
  Export() = delete;
  static std::string slack(const std::string& markdown);
};

}  // namespace quillet
