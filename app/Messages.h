#pragma once
// The controller's message and command numbers. Numbers private to one
// class live in that class (qvClient, qvServer, RasDialog,
// HostInfoManager); all of them are distinct.

#include "feed/FeedKind.h"  // kind::RefreshGroups, PostArticles, FetchArticles

namespace msg {
inline constexpr int MsgStart = 4029;
inline constexpr int MsgStartListen = 4001;
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
}  // namespace msg
