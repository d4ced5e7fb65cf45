#include "app/CtlPages.h"

#include <cstdlib>
#include <optional>

#include "app/HeadlessShell.h"
#include "app/qvPaneSplit.h"
#include "core/Text.h"
#include "net/TlsSocket.h"
#include "sched/RasSet.h"
#include "sched/schedSet.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "settings/mainSet.h"
#include "store/GroupIndex.h"
#include "store/GroupPage.h"
#include "store/Subscription.h"

namespace ctl {
namespace {

bool Is(const std::string& word, const char* name) { return text::EqualsNoCase(word, name); }

CtlReply Usage(const char* usage) {
    return MakeReply(CtlReply::Unknown, std::string("usage: ") + usage);
}
CtlReply Refuse(std::string text) { return MakeReply(CtlReply::Refused, std::move(text)); }

// A page's message box as one line: "<title>: <text>".
std::string BoxText(std::string_view title, std::string_view text) {
    return HeadlessShell::MessageLine(title, text).substr(5);  // without "[QV] "
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
}

// What the command set, then what closing the sheet did with it.
CtlReply Applied(qvPaneSplit& c, bool scheduleChanged, const std::string& done = {}) {
    const std::vector<std::string> changes = c.ReloadSettings(scheduleChanged);
    std::string text = done;
    if (!text.empty() && text.back() != '\n') text += '\n';
    text += changes.empty() ? std::string("No settings changed.\n") : Lines(changes);
    return MakeReply(CtlReply::Ok, text);
}

// The words after the command as "key value" pairs, each key one of keys
// (without regard to case, stored in lower case). false: not such pairs.
bool Pairs(const std::vector<std::string>& words, std::size_t from,
           std::initializer_list<const char*> keys,
           std::vector<std::pair<std::string, std::string>>* out) {
    if ((words.size() - from) % 2 != 0) return false;
    for (std::size_t i = from; i + 1 < words.size(); i += 2) {
        const char* key = nullptr;
        for (const char* k : keys)
            if (Is(words[i], k)) key = k;
        if (key == nullptr) return false;
        out->emplace_back(key, words[i + 1]);
    }
    return true;
}

std::optional<bool> YesNo(const std::string& word) {
    if (Is(word, "yes") || Is(word, "y") || Is(word, "on")) return true;
    if (Is(word, "no") || Is(word, "n") || Is(word, "off")) return false;
    return std::nullopt;
}

std::string NoNewsDirectory() { return "No news directory is configured."; }

}  // namespace

CtlReply MakeReply(CtlReply::Outcome outcome, std::string text) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    return CtlReply{outcome, std::move(text)};
}

CtlReply Reload(qvPaneSplit& c) {
    const std::vector<std::string> changes = c.ReloadSettings(true);
    return MakeReply(CtlReply::Ok, changes.empty() ? std::string("No settings changed.")
                                                   : "Settings applied.\n" + Lines(changes));
}

// ---- Setup page

CtlReply Setup(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage = "setup [listenport N] [postinghost HOST] [newspath DIR] [timeout SECONDS]";
    mainSet page(c.GetSetup());
    msPacket& p = page.Transfer();
    if (words.size() == 1) {
        std::string text = "Listen Port: " + p.listenPort + "\n" +
                           "Posting Host: " + p.postingHost + "\n" + "News Path: " + p.newsPath;
        const std::string running = c.NewsDirectory();
        if (!running.empty() && running != p.newsPath)
            text += " (until the next start the server uses " + running + ")";
        text += "\nInactivity Timeout (seconds): " + p.timeout + "\n";
        if (c.ListenPort() != 0 && std::to_string(c.ListenPort()) != p.listenPort)
            text += "Serving on port " + std::to_string(c.ListenPort()) + "\n";
        return MakeReply(CtlReply::Ok, text);
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!Pairs(words, 1, {"listenport", "postinghost", "newspath", "timeout"}, &pairs))
        return Usage(usage);
    for (const auto& [key, value] : pairs) {
        if (key == std::string("listenport")) p.listenPort = value;
        if (key == std::string("postinghost")) p.postingHost = value;
        if (key == std::string("newspath")) p.newsPath = value;
        if (key == std::string("timeout")) p.timeout = value;
    }
    if (auto problem = page.Check()) return Refuse("ERROR: " + *problem);
    // The new port is opened before anything is written: a port that
    // cannot be had is refused, and the old listener stays.
    std::string why;
    if (!c.MoveListener(std::atoi(p.listenPort.c_str()), &why))
        return Refuse("ERROR: Error Binding Listen Socket: " + why);
    if (!page.Apply()) return Refuse("ERROR: The settings file could not be written.");
    return Applied(c, false);
}

CtlReply Allow(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage = "allow [add MASK | remove MASK]";
    mainSet page(c.GetSetup());
    page.SetupWindow();
    msPacket& p = page.Transfer();
    if (words.size() == 1) {
        if (p.allowList.empty())
            return Refuse("The allow list " + page.AllowPath() +
                          " is empty: every reader is refused.");
        return MakeReply(CtlReply::Ok, Lines(p.allowList));
    }
    if (words.size() != 3) return Usage(usage);
    const std::string& mask = words[2];
    std::size_t at = p.allowList.size();
    for (std::size_t i = 0; i < p.allowList.size(); ++i)
        if (p.allowList[i] == mask) at = i;
    if (Is(words[1], "add")) {
        if (auto problem = mainSet::MaskProblem(mask)) return Refuse("ERROR: " + *problem);
        if (at < p.allowList.size()) return Refuse(mask + " is already in the allow list.");
        p.mask = mask;
        page.AddIpButton();
    } else if (Is(words[1], "remove")) {
        if (at == p.allowList.size()) return Refuse(mask + " is not in the allow list.");
        p.selected = static_cast<int>(at);
        page.DelIpButton();
    } else {
        return Usage(usage);
    }
    if (!page.Apply()) return Refuse("ERROR: The allow list could not be written.");
    return Applied(c, false);
}

// ---- Events page

namespace {

// The index of text among a combo's choices (without regard to case); a
// one-digit number also stands for its two-digit choice. -1: none.
int ChoiceIndex(const std::vector<std::string>& choices, std::string text) {
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') text = "0" + text;
    for (std::size_t i = 0; i < choices.size(); ++i)
        if (text::EqualsNoCase(choices[i], text)) return static_cast<int>(i);
    return -1;
}

std::string EventList(const qvPaneSplit& c, const schedSet& page) {
    std::string text = Lines(page.Transfer().events);
    return text + c.NextEvent() + "\n";
}

}  // namespace

CtlReply Events(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage =
        "events [add News|Group|Expire DAY HOUR MINUTE | remove N]\n"
        "  DAY: \"Every Day\" or Monday ... Sunday; HOUR: All or 00 ... 23; MINUTE: 00, 05 ... 55";
    schedSet page(c.GetSetup());
    page.SetupWindow();
    sdPacket& p = page.Transfer();
    if (words.size() == 1) return MakeReply(CtlReply::Ok, EventList(c, page));
    std::string done;
    if (Is(words[1], "add")) {
        // "Every Day" may come as one word or as two.
        std::vector<std::string> args(words.begin() + 2, words.end());
        if (args.size() == 5 && Is(args[1], "every") && Is(args[2], "day")) {
            args[1] = "Every Day";
            args.erase(args.begin() + 2);
        }
        if (args.size() != 4) return Usage(usage);
        p.news = Is(args[0], "news");
        p.group = Is(args[0], "group");
        p.expire = Is(args[0], "expire");
        p.day = ChoiceIndex(schedSet::DayChoices(), args[1]);
        p.hour = ChoiceIndex(schedSet::HourChoices(), args[2]);
        p.minute = ChoiceIndex(schedSet::MinuteChoices(), args[3]);
        if (!p.news && !p.group && !p.expire)
            return Refuse("ERROR: The kind of event must be News, Group or Expire.");
        if (p.day < 0) return Refuse("ERROR: The day must be Every Day or Monday ... Sunday.");
        if (p.hour < 0) return Refuse("ERROR: The hour must be All or 00 ... 23.");
        if (p.minute < 0) return Refuse("ERROR: The minute must be one of 00, 05, 10 ... 55.");
        if (!page.AddEventButton())
            return Refuse("ERROR: The schedule holds at most 98 events; remove one first.");
        done = "Added " + p.events.back();
    } else if (Is(words[1], "remove") && words.size() == 3) {
        const long n = text::DecimalIn(words[2], 1, static_cast<long>(p.events.size()));
        if (n < 0)
            return Refuse("ERROR: There is no event " + words[2] + "; \"ctl events\" lists " +
                          std::to_string(p.events.size()) + ", numbered from 1.");
        p.selected = static_cast<int>(n - 1);
        done = "Removed " + p.events[static_cast<std::size_t>(n - 1)];
        page.DelEventButton();
    } else {
        return Usage(usage);
    }
    if (!page.Apply()) return Refuse("ERROR: The settings file could not be written.");
    // As if the sheet had been closed: the schedule is rebuilt at once.
    const CtlReply r = Applied(c, page.ScheduleChanged(), done);
    return MakeReply(CtlReply::Ok, r.text + EventList(c, page));
}

CtlReply SleepTime(qvPaneSplit& c, const std::vector<std::string>& words) {
    schedSet page(c.GetSetup());
    page.SetupWindow();
    if (words.size() == 1)
        return MakeReply(CtlReply::Ok, "Start a News session every " + page.Transfer().interval +
                                           " minutes (0: simple scheduling off).");
    if (words.size() != 2) return Usage("sleeptime MINUTES");
    if (text::DecimalIn(words[1], 0, 999999) < 0)
        return Refuse(
            "ERROR: The interval must be a number of minutes from 0 to 999999 (0 "
            "switches simple scheduling off).");
    page.Transfer().interval = words[1];
    if (!page.Apply()) return Refuse("ERROR: The settings file could not be written.");
    return Applied(c, false);
}

// ---- Groups page

namespace {

std::string LimitLine(const char* what, const std::string& value, const char* unit, bool own) {
    return std::string(what) + ": " + value + unit + (own ? "" : " (default)") + "\n";
}

std::string ShowGroupText(const store::GroupPage& page, const std::string& news,
                          const std::string& name) {
    const store::gePacket& p = page.Packet();
    const auto info = store::GroupIndex(news).ReadGroup(name);
    const bool own = page.HasOwnLimits(name);
    std::string text = name + "\n";
    if (info)
        text +=
            "Low: " + std::to_string(info->low) + "\nHigh: " + std::to_string(info->high) + "\n";
    text += std::string("Local Group: ") + (p.local ? "yes" : "no (upstream)") + "\n";
    text += std::string("Posting Allowed: ") + (p.allowPost ? "yes" : "no") + "\n";
    text += LimitLine("age", p.age, " days", own);
    text += LimitLine("size", p.size, " K", own);
    text += LimitLine("condage", p.condAge, " days", own);
    text += LimitLine("condsize", p.condSize, " K", own);
    return text;
}

}  // namespace

CtlReply Group(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage = "group NAME [age N] [size N] [condage N] [condsize N] [posting yes|no]";
    if (words.size() < 2) return Usage(usage);
    const std::string news = c.NewsDirectory();
    if (news.empty()) return Refuse(NoNewsDirectory());
    const ::Setup& setup = c.GetSetup();
    store::GroupPage page(
        news, profile::GetString(setup.IniPath(), "Newsfeed01", "subgroupfile", "?", 261),
        store::PacketFromSetup(setup));
    // The index names sections without regard to case; show the listed name.
    std::string name = words[1];
    for (const std::string& listed : store::GroupIndex(news).ListGroups())
        if (text::EqualsNoCase(listed, name)) name = listed;
    if (!page.ShowGroup(name)) return Refuse("ERROR: The group does not exist.");
    if (words.size() == 2) return MakeReply(CtlReply::Ok, ShowGroupText(page, news, name));

    std::vector<std::pair<std::string, std::string>> pairs;
    if (!Pairs(words, 2, {"age", "size", "condage", "condsize", "posting"}, &pairs))
        return Usage(usage);
    store::gePacket& p = page.Packet();
    for (const auto& [key, value] : pairs) {
        const std::string k = key;
        if (k == "posting") {
            const auto yes = YesNo(value);
            if (!yes) return Usage(usage);
            p.allowPost = *yes;
            continue;
        }
        if (auto problem = store::GroupPage::LimitProblem(k, value))
            return Refuse("ERROR: " + *problem);
        (k == "age"       ? p.age
         : k == "size"    ? p.size
         : k == "condage" ? p.condAge
                          : p.condSize) = value;
    }
    if (auto m = page.SaveGroup(name)) return Refuse(BoxText(m->title, m->text));
    page.ShowGroup(name);
    return MakeReply(CtlReply::Ok, "Saved.\n" + ShowGroupText(page, news, name));
}

CtlReply ExpireDefaults(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage = "expire-defaults [age N] [size N] [condage N] [condsize N]";
    ::Setup& setup = c.GetSetup();
    store::GroupPage page(c.NewsDirectory(), "?", store::PacketFromSetup(setup));
    store::gePacket& p = page.Packet();
    if (words.size() == 1)
        return MakeReply(CtlReply::Ok, "Remove articles after " + p.defAge + " days.\n" +
                                           "Remove articles over " + p.defSize + " K.\n" +
                                           "Remove articles after " + p.defCondAge +
                                           " days if over " + p.defCondSize + " K.");
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!Pairs(words, 1, {"age", "size", "condage", "condsize"}, &pairs)) return Usage(usage);
    for (const auto& [key, value] : pairs) {
        const std::string k = key;
        if (auto problem = store::GroupPage::LimitProblem(k, value))
            return Refuse("ERROR: " + *problem);
        (k == "age"       ? p.defAge
         : k == "size"    ? p.defSize
         : k == "condage" ? p.defCondAge
                          : p.defCondSize) = value;
    }
    if (auto m = page.Apply(setup)) return Refuse(BoxText(m->title, m->text));
    return Applied(c, false);
}

// ---- RAS page

namespace {

CtlReply ApplyRas(qvPaneSplit& c, RasSet& page, const std::string& done) {
    if (auto problem = page.Check()) return Refuse("ERROR: " + *problem);
    std::string why;
    if (!page.Apply(&why)) return Refuse("ERROR: " + why);
    return Applied(c, false, done);
}

}  // namespace

CtlReply Ras(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage =
        "ras [profiles | profile NAME | login USER | redial N | wait SECONDS | drop yes|no | "
        "password]";
    RasSet page(c.GetSetup());
    RasPacket& p = page.Transfer();
    if (words.size() == 1)
        return MakeReply(
            CtlReply::Ok,
            "Profile: " + c.GetSetup().GetRasProfile() + "\n" +
                "Login: " + (p.login.empty() ? "(none)" : p.login) +
                "\nPassword: " + (p.password.empty() ? "(none)" : "(set)") +
                "\nRedial Attempts: " + p.redial + "\nWait for Connection (seconds): " + p.wait +
                "\nTerminate RAS Session when Quorvel is finished: " + (p.drop ? "yes" : "no"));
    if (words.size() != 3) return Usage(usage);
    const std::string& what = words[1];
    const std::string& value = words[2];
    if (Is(what, "login")) {
        p.login = value;
    } else if (Is(what, "redial")) {
        p.redial = value;
    } else if (Is(what, "wait")) {
        p.wait = value;
    } else if (Is(what, "drop")) {
        const auto yes = YesNo(value);
        if (!yes) return Usage(usage);
        p.drop = *yes;
    } else if (Is(what, "password") && value.starts_with('=')) {
        // Sent by the client from what it read on standard input.
        p.password = value.substr(1);
    } else {
        return Usage(usage);
    }
    return ApplyRas(c, page, Is(what, "password") ? "Password stored." : "");
}

CtlReply RasProfile(qvPaneSplit& c, const std::string& name,
                    const std::vector<std::string>& profiles) {
    RasSet page(c.GetSetup());
    RasPacket& p = page.Transfer();
    p.profiles = profiles;
    p.selected = -1;
    for (std::size_t i = 0; i < profiles.size(); ++i)
        if (text::EqualsNoCase(profiles[i], name)) p.selected = static_cast<int>(i);
    if (p.selected < 0)
        return Refuse("ERROR: " + name +
                      " is not in the phone book; \"ctl ras profiles\" lists the profiles.");
    return ApplyRas(c, page, "");
}

// ---- Newsfeed page

CtlReply Feed(qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage =
        "feed [name HOST] [port N] [user USER] [security none|tls|starttls] "
        "[verify yes|no|FINGERPRINT] [cafile PATH] | feed password";
    ::Setup& setup = c.GetSetup();
    store::FeedServer server = store::ReadFeedServer(setup);
    if (words.size() == 1) {
        const std::string user = setup.GetFeedUser();
        const std::string caFile = setup.GetFeedCAFile();
        return MakeReply(CtlReply::Ok, "Name: " + server.name + "\nPort: " + server.port +
                                           "\nUser: " + (user.empty() ? "(none)" : user) +
                                           "\nPassword: " +
                                           (setup.GetFeedPassword().empty() ? "(none)" : "(set)") +
                                           "\nSecurity: " + setup.GetFeedSecurity() +
                                           "\nVerify Certificate: " + setup.GetFeedVerifyCert() +
                                           "\nCA File: " + (caFile.empty() ? "(system)" : caFile));
    }
    if (words.size() == 3 && Is(words[1], "password") && words[2].starts_with('=')) {
        // Sent by the client from what it read on standard input.
        const std::string password = words[2].substr(1);
        if (!::Setup::PasswordStorable(password) ||
            password.find_first_of("\r\n") != std::string::npos)
            return Refuse("ERROR: The password may have at most 99 characters and no line breaks.");
        if (!setup.SetFeedPassword(password))
            return Refuse("ERROR: The settings file could not be written.");
        return Applied(c, false, "Password stored.");
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!Pairs(words, 1, {"name", "port", "user", "security", "verify", "cafile"}, &pairs))
        return Usage(usage);
    std::vector<std::pair<const char*, std::string>> keys;  // "Newsfeed01" key, value
    for (const auto& [key, value] : pairs) {
        if (key == std::string("name")) {
            if (value.empty() || value.size() > 255 ||
                value.find_first_of(" \t") != std::string::npos || value[0] == '!' ||
                value[0] == '?')
                return Refuse(
                    "ERROR: The Name must be a host name or address of at most 255 "
                    "characters.");
            server.name = value;
        } else if (key == std::string("port")) {
            if (text::DecimalIn(value, 1, 65535) < 0)
                return Refuse("ERROR: The Port must be a number from 1 to 65535.");
            server.port = value;
        } else if (key == std::string("user")) {
            if (value.size() > 99 || value.find_first_of(" \t\r\n") != std::string::npos)
                return Refuse(
                    "ERROR: The User must be at most 99 characters without blanks (empty: no "
                    "login).");
            keys.emplace_back("User", value);
        } else if (key == std::string("security")) {
            if (!Is(value, "none") && !Is(value, "tls") && !Is(value, "starttls"))
                return Refuse("ERROR: The Security must be none, tls or starttls.");
            std::string lower = value;
            for (char& ch : lower) ch = text::LowerAscii(ch);
            keys.emplace_back("Security", lower);
        } else if (key == std::string("verify")) {
            const auto yes = YesNo(value);
            const std::string pin = TlsSocket::NormalizeFingerprint(value);
            if (!yes && pin.empty())
                return Refuse(
                    "ERROR: Verify must be yes, no or the certificate's SHA-256 fingerprint "
                    "(64 hexadecimal digits).");
            keys.emplace_back("VerifyCert", yes ? (*yes ? "Yes" : "No") : pin);
        } else {
            if (value.find_first_of("\r\n") != std::string::npos)
                return Refuse("ERROR: The CA File must be a path.");
            keys.emplace_back("CAFile", value);
        }
    }
    bool written = store::WriteFeedServer(setup, server);
    for (const auto& [key, value] : keys)
        written = profile::WriteString(setup.IniPath(), "Newsfeed01", key, value) && written;
    if (!written) return Refuse("ERROR: The settings file could not be written.");
    return Applied(c, false);
}

}  // namespace ctl
