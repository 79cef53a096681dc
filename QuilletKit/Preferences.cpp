#include "QuilletKit/Preferences.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <limits>

#include "QuilletKit/Files.hpp"
#include "QuilletKit/Localization.hpp"
#include "QuilletKit/JSON.hpp"
#include "QuilletKit/Paths.hpp"
#include "QuilletKit/Store.hpp"

namespace quillet {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const json* member(const json& j, const char* key) {
  auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

void readBool(const json& j, const char* key, bool& field) {
  if (const json* v = member(j, key); v && v->is_boolean()) field = v->get<bool>();
}

void readString(const json& j, const char* key, std::string& field) {
  if (const std::string* v = stringMember(j, key)) field = *v;
}

void readLanguage(const json& j, const char* key, MeetingLanguage& field) {
  if (const std::string* v = stringMember(j, key)) field = MeetingLanguage{*v};
}

std::optional<std::vector<std::string>> stringList(const json* v) {
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> list;
  for (const json& item : *v) {
    if (!item.is_string()) return std::nullopt;
    list.push_back(item.get<std::string>());
  }
  return list;
}

// A whole number that fits a signed 64-bit integer (2.0 counts, 2.5 does not).
std::optional<int64_t> integer(const json* v) {
  if (!v || !v->is_number()) return std::nullopt;
  if (v->is_number_unsigned()) {
    auto u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  double d = v->get<double>();
  if (!(d >= -9.2e18 && d <= 9.2e18) || std::floor(d) != d) return std::nullopt;
  return static_cast<int64_t>(d);
}

// Entry by entry, so one damaged record does not cost the user every
// provider they added.
std::vector<ProviderConfig> savedProviders(const json* v) {
  std::vector<ProviderConfig> saved;
  if (!v || !v->is_array()) return saved;
  for (const json& item : *v)
    if (auto provider = providerFromJSON(item)) saved.push_back(std::move(*provider));
  return saved;
}

}  // namespace

std::optional<Preferences> Preferences::fromJSON(const json& j) {
  if (!j.is_object()) return std::nullopt;
  Preferences p;
  if (const json* path = member(j, "storagePath"); path && !path->is_null()) {
    if (!path->is_string()) return std::nullopt;
    p.storagePath = path->get<std::string>();
  }
  readLanguage(j, "language", p.language);
  p.providers = merge(savedProviders(member(j, "providers")));
  readString(j, "providerID", p.providerID);
  readBool(j, "localFallback", p.localFallback);
  readBool(j, "autoEnhance", p.autoEnhance);
  readBool(j, "dictationEnabled", p.dictationEnabled);
  if (const json* v = member(j, "dictationShortcut"))
    if (auto shortcut = shortcutFromJSON(*v)) p.dictationShortcut = *shortcut;
  readLanguage(j, "dictationLanguage", p.dictationLanguage);
  readBool(j, "calendarEnabled", p.calendarEnabled);
  p.calendarIDs = stringList(member(j, "calendarIDs"));
  readBool(j, "notifyBeforeMeeting", p.notifyBeforeMeeting);
  readBool(j, "detectionEnabled", p.detectionEnabled);
  if (auto apps = stringList(member(j, "ignoredApps"))) p.ignoredApps = std::move(*apps);
  if (auto minutes = integer(member(j, "autoStopMinutes"))) p.autoStopMinutes = *minutes;
  return p;
}

nlohmann::ordered_json Preferences::toJSON() const {
  nlohmann::ordered_json j;
  if (storagePath) j["storagePath"] = *storagePath;
  j["language"] = language.rawValue;
  j["providers"] = nlohmann::ordered_json::array();
  for (const auto& p : providers) j["providers"].push_back(quillet::toJSON(p));
  j["providerID"] = providerID;
  j["localFallback"] = localFallback;
  j["autoEnhance"] = autoEnhance;
  j["dictationEnabled"] = dictationEnabled;
  j["dictationShortcut"] = quillet::toJSON(dictationShortcut);
  j["dictationLanguage"] = dictationLanguage.rawValue;
  j["calendarEnabled"] = calendarEnabled;
  if (calendarIDs) j["calendarIDs"] = *calendarIDs;
  j["notifyBeforeMeeting"] = notifyBeforeMeeting;
  j["detectionEnabled"] = detectionEnabled;
  j["ignoredApps"] = ignoredApps;
  j["autoStopMinutes"] = autoStopMinutes;
  return j;
}

fs::path Preferences::file() { return paths::configHome() / "app.quillet.mac" / "preferences.json"; }

namespace {

// The document's settings; absent when there is none, or with the reason in
// `why` when it gives way to defaults.
std::optional<Preferences> fromDocument(std::string& why) {
  auto bytes = files::read(Preferences::file(), files::kSmallFileLimit);
  if (!bytes) {
    std::error_code error;
    if (fs::exists(Preferences::file(), error)) why = tr("não consigo ler o arquivo");
    return std::nullopt;
  }
  json j = parseJSON(*bytes, &why);
  if (j.is_discarded()) return std::nullopt;
  auto preferences = Preferences::fromJSON(j);
  if (!preferences) why = tr("não é um objeto de preferências");
  return preferences;
}

}  // namespace

Preferences Preferences::load() {
  std::string why;
  return fromDocument(why).value_or(Preferences());
}

std::optional<std::string> Preferences::problem() {
  std::string why;
  fromDocument(why);
  return why.empty() ? std::nullopt : std::optional(why);
}

void Preferences::save() const {
  try {
    write(Env::standard());
  } catch (const std::exception&) {
    // Saving reports nothing; the previous document stays whole.
  }
}

void Preferences::write(Env& env) const {
  std::string document = toJSON().dump(-1, ' ', false, json::error_handler_t::strict);
  fs::create_directories(file().parent_path());
  files::writeAtomically(file(), document, env);
}

fs::path Preferences::storageRoot() const {
  if (storagePath) return fs::path(*storagePath);
  return Store::defaultRoot();
}

ProviderConfig Preferences::provider() const {
  for (const auto& p : providers)
    if (p.id == providerID) return p;
  return Providers::apple();
}

std::vector<ProviderConfig> Preferences::merge(const std::vector<ProviderConfig>& saved) {
  std::vector<ProviderConfig> result;
  result.reserve(Providers::presets().size() + saved.size());
  std::unordered_set<std::string_view> catalogIDs;
  for (const auto& preset : Providers::presets()) {
    catalogIDs.insert(preset.id);
    auto match = std::find_if(saved.begin(), saved.end(), [&](const ProviderConfig& p) { return p.id == preset.id; });
    result.push_back(match != saved.end() ? *match : preset);
  }
  for (const auto& p : saved)
    if (!catalogIDs.count(p.id)) result.push_back(p);
  return result;
}

}  // namespace quillet
