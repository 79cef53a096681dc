// Markdown to Slack markup: any text, and the line count never changes.
#include <algorithm>

#include "FuzzSupport.hpp"
#include "QuilletKit/Export.hpp"

QUILLET_FUZZ_TARGET(text) {
  std::string slack = quillet::Export::slack(std::string(text));
  require(std::count(text.begin(), text.end(), '\n') == std::count(slack.begin(), slack.end(), '\n'));
}
