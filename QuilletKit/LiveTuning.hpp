#pragma once
// The tuning of the live side (capture and live recognition), in one place.
// Internal; not installed.
#include <chrono>
#include <cstdint>

namespace quillet::live {

// Frames per block that MicHub hands out, and the latency asked of the sound
// server for every record stream (so about as many frames per chunk).
inline constexpr uint32_t kBlockFrames = 4096;

// How long a start waits for the sound server to answer before giving up.
inline constexpr std::chrono::milliseconds kServerTimeout{5000};

// Audio the recognition thread may fall behind by before feed() drops
// buffers, in seconds: recognition normally runs far faster than real time,
// and this bounds memory when it cannot.
inline constexpr double kMaxBacklogSeconds = 120;

// Samples handed to the recogniser at a time, so that cancel() is heard soon
// even with a backlog.
inline constexpr uint32_t kRecognizerChunk = 4096;

// ---- Recording and the agent ----

// How long a stopping recording waits for both transcribers to settle what
// they heard before cutting them off. Recognition behind by a minute on a
// loaded machine still keeps the meeting's last words; a service manager's
// stop timeout (90 s by default) still leaves time to write the `end`.
inline constexpr std::chrono::seconds kFinishLimit{60};

// Cells of each level meter on the terminal's status line, and how often the
// line is redrawn.
inline constexpr int kMeterCells = 8;
inline constexpr std::chrono::milliseconds kStatusRefresh{100};

// How long the agent lets the preferences file settle after a change before
// reading it again, so that a burst of events reloads once.
inline constexpr std::chrono::milliseconds kPreferencesSettle{200};

// How long a desktop notification may take to be answered.
inline constexpr std::chrono::milliseconds kNotificationTimeout{5000};

}  // namespace quillet::live
