#pragma once
// What the controller creates, as factories: the reader session on an
// accepted connection, the feed session to the upstream, the schedule.

#include "app/qvPaneSplit.h"

qvPaneSplit::ReaderFactory MakeReaderFactory();
qvPaneSplit::FeedFactory MakeFeedFactory();
// The event schedule of the main settings file.
qvPaneSplit::ScheduleFactory MakeScheduleFactory();
