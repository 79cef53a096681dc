// Markdown to Slack markup: any text, and the line count never changes.
#include <algorithm>

#include "QuilletKit/Export.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string slack = quillet::Export::slack(text);
  if (std::count(text.begin(), text.end(), '\n') != std::count(slack.begin(), slack.end(), '\n')) __builtin_trap();
  return 0;
}
