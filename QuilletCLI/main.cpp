// quillet: the command-line front end over QuilletKit. Results go to standard
// output, failures and timings to standard error; every command ends the
// process itself, with status 0 on success and 1 through `fail`.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "QuilletKit/Dates.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/Preferences.hpp"
#include "QuilletKit/Store.hpp"

using namespace quillet;

namespace {

// The three process-wide values, set once at start.
std::string usage;
std::vector<std::string> args;
Preferences prefs;

void print(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

[[noreturn]] void exitWith(int status) {
  std::fflush(stdout);
  std::exit(status);
}

// Takes "name value" out of `args`; a name without a value stays put.
std::optional<std::string> option(const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return std::nullopt;
    std::string value = args[i + 1];
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return value;
  }
  return std::nullopt;
}

[[maybe_unused]] bool flag(const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    args.erase(args.begin() + static_cast<long>(i));
    return true;
  }
  return false;
}

[[noreturn]] void fail(const std::string& message) {
  std::fflush(stdout);
  std::string line = message + "\n";
  for (const char* p = line.data(); p < line.data() + line.size();) {
    ssize_t n = ::write(STDERR_FILENO, p, static_cast<size_t>(line.data() + line.size() - p));
    if (n <= 0) break;
    p += n;
  }
  std::exit(1);
}

// The provider that `enhance` and `ai` use: the selected one, or the one named
// by "--provider", with "--model" and "--base-url" applied to a copy.
[[maybe_unused]] ProviderConfig provider(const Preferences& preferences) {
  ProviderConfig chosen = preferences.provider();
  if (auto id = option("--provider")) {
    auto match = std::find_if(preferences.providers.begin(), preferences.providers.end(),
                              [&](const ProviderConfig& p) { return p.id == *id; });
    if (match == preferences.providers.end()) {
      std::string ids;
      for (const auto& p : preferences.providers) ids += (ids.empty() ? "" : ", ") + p.id;
      fail(tr("provedor desconhecido: ") + *id + tr(". Opções: ") + ids);
    }
    chosen = *match;
  }
  if (auto model = option("--model")) chosen.model = *model;
  if (auto baseURL = option("--base-url")) chosen.baseURL = *baseURL;
  return chosen;
}

[[noreturn]] void list() {
  for (const Meeting& meeting : Store{prefs.storageRoot()}.list()) {
    const char* mark = meeting.enhanced ? "\u2726" : meeting.segments.empty() ? "\u00B7" : "\u25CB";
    print(std::string(mark) + " " + formatForUser(meeting.meta.start) + "  " + meeting.meta.title + "  [" +
          std::to_string(meeting.segments.size()) + tr(" trechos]"));
  }
  exitWith(0);
}

}  // namespace

int main(int argc, char** argv) {
  setUpLocalization();
  usage = tr(
      "uso:\n"
      "  quillet doctor\n"
      "  quillet list\n"
      "  quillet transcribe <arquivo de áudio> [--lang pt-BR|en-US]\n"
      "  quillet enhance <pasta da reunião> [--provider id] [--model nome] [--prompt]\n"
      "  quillet ai test|models [--provider id] [--model nome] [--base-url url]");
  args.assign(argv + 1, argv + argc);
  prefs = Preferences::load();

  if (args.empty()) {
    print(usage);
    exitWith(0);
  }
  const std::string& command = args[0];
  if (command == "list") list();
  print(usage);
  exitWith(0);
}
