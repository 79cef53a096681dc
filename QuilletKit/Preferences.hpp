#pragma once
// The user's settings, shared with the desktop application through one JSON
// document: $XDG_CONFIG_HOME/app.quillet.mac/preferences.json.
//
// A plain value: each load returns an independent copy, and saves from
// several processes each replace the whole document (the last one wins).
// Loading never fails and never writes: a missing, unreadable, oversized or
// partly invalid document gives defaults field by field. Saving is atomic
// and durable; `save` reports nothing, `write` throws what failed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "QuilletKit/Env.hpp"
#include "QuilletKit/Meeting.hpp"
#include "QuilletKit/ProviderConfig.hpp"
#include "QuilletKit/Shortcut.hpp"

namespace quillet {

struct Preferences {
  std::optional<std::string> storagePath;
  MeetingLanguage language = MeetingLanguage::pt();
  std::vector<ProviderConfig> providers = Providers::presets();
  std::string providerID = "anthropic";
  bool localFallback = true;
  bool autoEnhance = true;
  bool dictationEnabled = true;
  Shortcut dictationShortcut = Shortcut::controlR();
  MeetingLanguage dictationLanguage = MeetingLanguage::pt();
  bool calendarEnabled = true;
  std::optional<std::vector<std::string>> calendarIDs;
  bool notifyBeforeMeeting = true;
  bool detectionEnabled = true;
  std::vector<std::string> ignoredApps;
  int64_t autoStopMinutes = 2;

  static Preferences load();
  void save() const;
  // As `save`, through `env`, throwing std::filesystem::filesystem_error (or
  // nlohmann::json::exception for text that is not UTF-8); the previous
  // document then stays whole.
  void write(Env& env) const;

  // The document's location (its folder is created by `save`).
  static std::filesystem::path file();
  // Why the document, when there is one, gave defaults instead of its
  // settings: it cannot be read, is not JSON (the parser's message), or is
  // not a preferences object. Absent when it loads or does not exist.
  static std::optional<std::string> problem();

  // `storagePath` taken literally (no tilde expansion), else "Quillet" in the
  // user's Documents folder. Not created here.
  std::filesystem::path storageRoot() const;
  // The provider whose id is `providerID`; the on-device entry when none is.
  ProviderConfig provider() const;

  // The catalog with saved entries laid over it by id (the first saved entry
  // of an id wins), then the saved entries of ids the catalog does not know.
  static std::vector<ProviderConfig> merge(const std::vector<ProviderConfig>& saved);

  // Tolerant decoding: absent unless `json` is an object whose "storagePath",
  // when present, is a string.
  static std::optional<Preferences> fromJSON(const nlohmann::json& json);
  nlohmann::ordered_json toJSON() const;

  friend bool operator==(const Preferences&, const Preferences&) = default;
};

}  // namespace quillet
