#pragma once

// Every interval the tool runs on, in milliseconds. Behaviour depends on their ratios
// (a reply is complete after one quiet interval, long before the reply time-out).
namespace Timing {

inline constexpr int kScanTickMs = 1;
inline constexpr int kProbeWaitMs = 1;
inline constexpr int kQuietLineMs = 20;
// How long the start of a reply waits for its rest before it is taken as it is.
inline constexpr int kFragmentWaitMs = 200;
inline constexpr int kLogSettleMs = 50;
inline constexpr int kAutoStepMs = 300;
inline constexpr int kFlashMs = 500;
inline constexpr int kReplyTimeoutMs = 800;
inline constexpr int kStatusClearMs = 1500;
inline constexpr int kNoPresentPauseMs = 180;
// How often a failed port is looked for again.
inline constexpr int kPortWatchMs = 250;

inline constexpr int kScanLastPort = 26;

} // namespace Timing
