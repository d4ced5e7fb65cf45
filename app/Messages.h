#pragma once
// The application's message and command numbers: the contract between the
// controller, the sessions, the timer manager and the dial-up dialog.

namespace msg {
// Controller.
inline constexpr int MsgStart = 4029;
inline constexpr int MsgStartListen = 4001;
inline constexpr int SocketNotification = 1325;  // low 16 bits event, high 16 bits error
inline constexpr int ProcessQueue = 5022;
inline constexpr int GetNews = 5012;
inline constexpr int PostArticles = 5009;
inline constexpr int RefreshGroups = 5011;
inline constexpr int ExpireRun = 5008;
inline constexpr int ConnectToServer = 4006;
inline constexpr int FiveSecondTimer = 3016;
inline constexpr int MinuteTimer = 4010;
inline constexpr int TrayMessage = 4007;
inline constexpr int IncSent = 4034;
inline constexpr int IncRecvd = 4033;
inline constexpr int NewsFeed = 51682;
inline constexpr int ExpireStep = 4035;  // the next piece of a running expire run
inline constexpr int HelpAbout = 2009;
inline constexpr int Exit = 24310;
// Dial-up dialog.
inline constexpr int RasTimedEvent = 4013;
// Reader session.
inline constexpr int NewRequest = 4019;
inline constexpr int PostRecvd = 4031;
// Name lookups.
inline constexpr int ServiceLookup = 1326;
inline constexpr int HostLookup = 1327;
}  // namespace msg

// Feed session kinds (not messages): kind::RefreshGroups, PostArticles,
// FetchArticles.
#include "feed/FeedKind.h"
