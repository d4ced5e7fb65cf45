#pragma once
// The command families of the settings sheet's pages for "quorvel ctl":
// each reads the page's model to show what the page shows, and sets values
// through the model as the page's controls would, checks them as the page
// and its model check them, applies, and then does what closing the sheet
// does. Internal to the control commands (app/CtlCommands).

#include <string>
#include <vector>

#include "app/ControlChannel.h"

class qvPaneSplit;

namespace ctl {

CtlReply MakeReply(CtlReply::Outcome outcome, std::string text);

// "ctl reload" and SIGHUP: "Settings applied." or "No settings changed.",
// then one line per change.
CtlReply Reload(qvPaneSplit& c);
// "Setup": setup [listenport N] [postinghost HOST] [newspath DIR] [timeout SECONDS];
// allow [add MASK | remove MASK].
CtlReply Setup(qvPaneSplit& c, const std::vector<std::string>& words);
CtlReply Allow(qvPaneSplit& c, const std::vector<std::string>& words);
// "Events": events [add TYPE DAY HOUR MINUTE | remove N]; sleeptime MINUTES.
CtlReply Events(qvPaneSplit& c, const std::vector<std::string>& words);
CtlReply SleepTime(qvPaneSplit& c, const std::vector<std::string>& words);
// "Groups": group NAME [age N] [size N] [condage N] [condsize N]
// [posting yes|no]; expire-defaults [age N] [size N] [condage N] [condsize N].
CtlReply Group(qvPaneSplit& c, const std::vector<std::string>& words);
CtlReply ExpireDefaults(qvPaneSplit& c, const std::vector<std::string>& words);
// "RAS" without the phone book: ras; ras login USER | redial N | wait
// SECONDS | drop yes|no | password =TEXT (the client's form).
CtlReply Ras(qvPaneSplit& c, const std::vector<std::string>& words);
// "RAS" profile NAME, once the phone book (names, "(None)" first) is known.
CtlReply RasProfile(qvPaneSplit& c, const std::string& name,
                    const std::vector<std::string>& profiles);
// "Newsfeed": feed [name HOST] [port N] [user USER] [security S] [verify V]
// [cafile PATH], and feed password (the password prefixed "=" by the client).
CtlReply Feed(qvPaneSplit& c, const std::vector<std::string>& words);

}  // namespace ctl
