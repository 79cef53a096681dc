#include "QuilletKit/MeetingDetector.hpp"

#include <string_view>
#include <unordered_map>

#include "QuilletKit/AudioProcesses.hpp"

namespace quillet {

using namespace std::chrono_literals;

namespace {

// How long a change must hold before it is reported.
constexpr auto kDebounce = 1500ms;

// Our own streams carry it, so the detector never reports us.
constexpr std::string_view kOwnIdentifier = "app.quillet.mac";

// Linux has no bundle identifiers: Flatpak ids and the names of the
// binaries that meeting applications run as stand for their catalog rows.
const std::unordered_map<std::string_view, std::string_view>& linuxIdentifiers() {
  static const std::unordered_map<std::string_view, std::string_view> table{
      // Flatpak ids that do not already begin with a catalog prefix.
      {"us.zoom.Zoom", "us.zoom.xos"},
      {"com.microsoft.Teams", "com.microsoft.teams"},
      {"com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.teams"},
      {"com.slack.Slack", "com.tinyspeck.slackmacgap"},
      {"com.discordapp.Discord", "com.hnc.Discord"},
      {"com.discordapp.DiscordCanary", "com.hnc.Discord"},
      {"org.chromium.Chromium", "com.google.Chrome"},
      {"com.microsoft.Edge", "com.microsoft.edgemac"},
      {"com.github.eneshecan.WhatsAppForLinux", "net.whatsapp.WhatsApp"},
      {"com.ktechpit.whatsie", "net.whatsapp.WhatsApp"},
      {"com.rtosta.zapzap", "net.whatsapp.WhatsApp"},
      // Binaries.
      {"zoom", "us.zoom.xos"},
      {"zoom.real", "us.zoom.xos"},
      {"teams", "com.microsoft.teams"},
      {"teams-for-linux", "com.microsoft.teams"},
      {"slack", "com.tinyspeck.slackmacgap"},
      {"Discord", "com.hnc.Discord"},
      {"discord", "com.hnc.Discord"},
      {"DiscordCanary", "com.hnc.Discord"},
      {"DiscordPTB", "com.hnc.Discord"},
      {"webex", "com.cisco.webexmeetingsapp"},
      {"CiscoCollabHost", "com.cisco.webexmeetingsapp"},
      {"chrome", "com.google.Chrome"},
      {"google-chrome", "com.google.Chrome"},
      {"google-chrome-stable", "com.google.Chrome"},
      {"chromium", "com.google.Chrome"},
      {"chromium-browser", "com.google.Chrome"},
      {"firefox", "org.mozilla.firefox"},
      {"firefox-esr", "org.mozilla.firefox"},
      {"firefox-bin", "org.mozilla.firefox"},
      {"brave", "com.brave.Browser"},
      {"brave-browser", "com.brave.Browser"},
      {"msedge", "com.microsoft.edgemac"},
      {"microsoft-edge", "com.microsoft.edgemac"},
      {"microsoft-edge-stable", "com.microsoft.edgemac"},
      {"whatsapp-for-linux", "net.whatsapp.WhatsApp"},
      {"whatsie", "net.whatsapp.WhatsApp"},
      {"zapzap", "net.whatsapp.WhatsApp"},
  };
  return table;
}

}  // namespace

std::optional<std::string> clientBundleID(const char* applicationID, const char* flatpakID, const char* binary) {
  if (applicationID && *applicationID) return std::string(applicationID);
  const auto& table = linuxIdentifiers();
  if (flatpakID && *flatpakID) {
    auto row = table.find(flatpakID);
    // Flatpak ids are reverse-DNS names like bundle identifiers: many
    // already begin with their row's prefix.
    return std::string(row != table.end() ? row->second : std::string_view(flatpakID));
  }
  if (binary) {
    auto row = table.find(binary);
    if (row != table.end()) return std::string(row->second);
  }
  return std::nullopt;
}

const std::vector<MeetingApp>& MeetingDetector::knownApps() {
  static const std::vector<MeetingApp> apps{
      {"us.zoom.xos", "Zoom"},
      {"com.microsoft.teams", "Microsoft Teams"},
      {"com.tinyspeck.slackmacgap", "Slack"},
      {"com.apple.FaceTime", "FaceTime"},
      {"com.cisco.webexmeetingsapp", "Webex"},
      {"Cisco-Systems.Spark", "Webex"},
      {"com.hnc.Discord", "Discord"},
      {"net.whatsapp.WhatsApp", "WhatsApp"},
      {"com.google.Chrome", "Google Chrome"},
      {"com.apple.Safari", "Safari"},
      {"com.apple.WebKit", "Safari"},
      {"company.thebrowser.Browser", "Arc"},
      {"company.thebrowser.dia", "Dia"},
      {"com.microsoft.edgemac", "Microsoft Edge"},
      {"org.mozilla.firefox", "Firefox"},
      {"com.brave.Browser", "Brave"},
      {"com.openai.atlas", "ChatGPT Atlas"},
  };
  return apps;
}

std::optional<MeetingApp> MeetingDetector::app(std::string_view bundleIdentifier) {
  for (const auto& row : knownApps())
    if (bundleIdentifier.starts_with(row.bundleID)) return row;
  return std::nullopt;
}

std::shared_ptr<MeetingDetector> MeetingDetector::make() {
  auto context = MainContext::main();
  return makeMeetingDetector(pulseAudioProcesses(context), context);
}

std::shared_ptr<MeetingDetector> makeMeetingDetector(std::shared_ptr<AudioProcessList> processes,
                                                     std::shared_ptr<MainContext> context) {
  return std::make_shared<MeetingDetector>(MeetingDetector::Key{}, std::move(processes), std::move(context));
}

MeetingDetector::MeetingDetector(Key, std::shared_ptr<AudioProcessList> processes,
                                 std::shared_ptr<MainContext> context)
    : processes_(std::move(processes)), context_(std::move(context)) {}

MeetingDetector::~MeetingDetector() = default;

void MeetingDetector::start() {
  if (systemListener_) return;
  std::weak_ptr<MeetingDetector> weak = weak_from_this();
  systemListener_ = processes_->observeList([weak] {
    if (auto self = weak.lock()) self->rescan();
  });
  rescan();
}

void MeetingDetector::stop() {
  systemListener_.reset();
  processListeners_.clear();
  debounce_.reset();
}

void MeetingDetector::rescan() {
  const auto list = processes_->processes();
  std::erase_if(processListeners_, [&](const auto& entry) {
    return std::none_of(list.begin(), list.end(), [&](const AudioProcess& p) { return p.id == entry.first; });
  });
  std::weak_ptr<MeetingDetector> weak = weak_from_this();
  for (const auto& process : list) {
    if (processListeners_.contains(process.id) || !process.bundleID || !app(*process.bundleID)) continue;
    auto listener = processes_->observeInput(process.id, [weak] {
      if (auto self = weak.lock()) self->evaluate();
    });
    if (listener) processListeners_.emplace(process.id, std::move(listener));
  }
  evaluate();
}

void MeetingDetector::evaluate() {
  std::optional<MeetingApp> found;
  for (const auto& process : processes_->processes()) {
    if (!process.runningInput || !process.bundleID || *process.bundleID == kOwnIdentifier) continue;
    auto row = app(*process.bundleID);
    if (!row || ignored.contains(row->bundleID)) continue;
    found = std::move(row);
    break;
  }
  debounce_.reset();
  if (found == active_) return;
  std::weak_ptr<MeetingDetector> weak = weak_from_this();
  debounce_ = context_->after(kDebounce, [weak, found] {
    if (auto self = weak.lock()) self->report(found);
  });
}

void MeetingDetector::report(std::optional<MeetingApp> found) {
  active_ = found;
  if (!onChange) return;
  auto handler = onChange;  // the handler may replace itself
  handler(found);
}

}  // namespace quillet
