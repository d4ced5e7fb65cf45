#pragma once
// The dial-up dialog's texts: progress lines (ids 2600 to 2613) and one line
// per dial-up error code (601 to 750). Each goes to the dialog's status line
// and to the activity log.

#include <string>

namespace rastext {
inline constexpr int kError = 2600;  // "[RAS] The RAS sub-system has encountered an error!"
inline constexpr int kOpenPort = 2601;
inline constexpr int kPortOpened = 2602;
inline constexpr int kConnectDevice = 2603;
inline constexpr int kDeviceConnected = 2604;
inline constexpr int kAuthenticate = 2605;
inline constexpr int kAuthRetry = 2606;
inline constexpr int kAuthProject = 2607;
inline constexpr int kAuthLinkSpeed = 2608;
inline constexpr int kAuthenticated = 2609;
inline constexpr int kAuthNotify = 2610;
inline constexpr int kLogonNetwork = 2611;
inline constexpr int kConnected = 2612;
inline constexpr int kDisconnected = 2613;

inline constexpr const char* kFatal = "[RAS] The RAS subsystem has encountered a fatal error!";

// The text of a string id (2600-2613) or an error code (601-750); empty for
// any other number.
std::string Text(int id);
}  // namespace rastext
