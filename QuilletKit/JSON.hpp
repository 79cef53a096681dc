#pragma once
// Parsing JSON that comes from outside: files, servers, event lines.
//
// A parsed tree costs tens of times its text per level of nesting, so a few
// megabytes of "[" would take gigabytes. No document of ours, or of the
// providers, nests anywhere near `kMaxJSONDepth`; deeper text is refused
// before any tree is built. Pure functions and a value type; thread-safe.
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillet {

inline constexpr size_t kMaxJSONDepth = 64;

// The nesting of JSON text read in stretches, as it arrives. Brackets inside
// strings do not count. Used by one thread.
class JSONNesting {
 public:
  // False once the text has gone deeper than `kMaxJSONDepth`.
  bool feed(std::string_view bytes);
  bool tooDeep() const { return tooDeep_; }

 private:
  size_t depth_ = 0;
  bool inString_ = false;
  bool escaped_ = false;
  bool tooDeep_ = false;
  bool ended_ = false;
};

// The tree of `text`, or a discarded value when `text` is no JSON or nests
// deeper than `kMaxJSONDepth`; then `why`, when given, says which (the
// parser's message). Never throws.
nlohmann::json parseJSON(std::string_view text, std::string* why = nullptr);

// The member `name` of `object` when it is a string (an object), else null:
// what a reader of outside data asks of each field it may find in any shape.
// The pointer lives as long as the member.
const std::string* stringMember(const nlohmann::json& object, const char* name);
const nlohmann::json* objectMember(const nlohmann::json& object, const char* name);

}  // namespace quillet
