#include "app/CtlCommands.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/HeadlessShell.h"
#include "app/Messages.h"
#include "app/qvPaneSplit.h"
#include "core/Text.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/GroupIndex.h"
#include "store/GroupPage.h"
#include "store/Subscription.h"

namespace {

bool Is(const std::string& word, const char* name) { return text::EqualsNoCase(word, name); }

CtlReply Reply(CtlReply::Outcome outcome, std::string text) {
    if (!text.empty() && text.back() != '\n') text += '\n';
    return CtlReply{outcome, std::move(text)};
}

// A page message as one line: "<title>: <text>", line breaks as blanks.
std::string MessageText(const store::PageMessage& m) {
    std::string line = HeadlessShell::MessageLine(m.title, m.text);
    return line.substr(5);  // without "[QV] "
}

std::string NewsDirectory(const Setup& setup) {
    const std::string dir = setup.GetNewsDirectory();
    return dir.empty() || dir[0] == '!' ? std::string() : dir;
}

store::GroupPage MakePage(const Setup& setup, const std::string& news) {
    store::gePacket packet(setup.GetExpireAge(), setup.GetExpireSize(), setup.GetExpireCondAge(),
                           setup.GetExpireCondSize());
    const std::string sub =
        profile::GetString(setup.IniPath(), "Newsfeed01", "subgroupfile", "?", 261);
    return store::GroupPage(news, sub, std::move(packet));
}

CtlReply Status(qvPaneSplit& c) {
    c.DoStatus();
    std::string text;
    for (const std::string& l : c.StatusLines()) text += l + "\n";
    for (const std::string& l : c.TreeLines()) text += l + "\n";
    return Reply(CtlReply::Ok, text);
}

CtlReply Groups(const Setup& setup) {
    const std::string news = NewsDirectory(setup);
    if (news.empty()) return Reply(CtlReply::Refused, "No news directory is configured.");
    const store::GroupIndex index(news);
    std::string text;
    for (const std::string& name : index.ListGroups()) {
        const auto info = index.ReadGroup(name);
        if (!info) continue;
        char line[80];
        std::snprintf(line, sizeof line, " %ld %ld %s %s\n", info->low, info->high,
                      info->local ? "local" : "upstream",
                      info->allowPost ? "posting" : "noposting");
        text += name + line;
    }
    return Reply(CtlReply::Ok, text);
}

CtlReply AddGroup(const Setup& setup, const std::vector<std::string>& words) {
    // addgroup NAME [noposting] [desc TEXT...]: the description is the rest
    // of the line, shown by LIST NEWSGROUPS.
    std::size_t end = words.size();
    std::string desc;
    for (std::size_t k = 2; k < words.size(); ++k) {
        if (!Is(words[k], "desc")) continue;
        end = k;
        for (std::size_t j = k + 1; j < words.size(); ++j)
            desc += (desc.empty() ? "" : " ") + words[j];
        break;
    }
    const bool noPosting = end == 3 && Is(words[2], "noposting");
    if (end < 2 || end > 3 || (end == 3 && !noPosting) || (end < words.size() && desc.empty()))
        return Reply(CtlReply::Unknown, "usage: addgroup NAME [noposting] [desc TEXT]");
    const std::string news = NewsDirectory(setup);
    if (news.empty()) return Reply(CtlReply::Refused, "No news directory is configured.");
    store::GroupPage page = MakePage(setup, news);
    page.Packet().newGroup = words[1];
    page.Packet().allowPost = !noPosting;
    if (auto m = page.AddGroup()) return Reply(CtlReply::Refused, MessageText(*m));
    if (!desc.empty() && !store::GroupIndex(news).SetDescription(words[1], desc))
        return Reply(CtlReply::Refused,
                     "Local group " + words[1] + " added, but its description was not stored.");
    return Reply(CtlReply::Ok, "Local group " + words[1] + " added, posting " +
                                   (noPosting ? "not allowed." : "allowed."));
}

CtlReply DelGroup(const Setup& setup, const std::vector<std::string>& words) {
    if (words.size() != 2) return Reply(CtlReply::Unknown, "usage: delgroup NAME");
    const std::string news = NewsDirectory(setup);
    if (news.empty()) return Reply(CtlReply::Refused, "No news directory is configured.");
    // The page deletes the entry as it is listed; a name typed in other
    // letters is taken as the listed one, since the index matches sections
    // without regard to case.
    const store::GroupIndex index(news);
    std::string name;
    for (const std::string& listed : index.ListGroups()) {
        if (listed == words[1]) {
            name = listed;
            break;
        }
        if (name.empty() && text::EqualsNoCase(listed, words[1])) name = listed;
    }
    if (name.empty() && index.GroupExists(words[1])) name = words[1];
    if (name.empty()) return Reply(CtlReply::Refused, "ERROR: The group does not exist.");
    store::GroupPage page = MakePage(setup, news);
    page.LoadGroups();
    // The command itself is the owner's answer to "Are you sure?".
    const auto m = page.DelGroup(name, [](const store::PageMessage&) { return true; });
    if (!m) return Reply(CtlReply::Refused, "ERROR: The group was not removed.");
    const bool done = m->title == "Operation Complete";
    return Reply(done ? CtlReply::Ok : CtlReply::Refused, MessageText(*m));
}

// The subscription page over the files "Newsfeed01" names, read as the page
// reads them; nullopt (with the refusal in *why) when they are not set.
std::optional<store::SubscriptionPage> MakeSubscriptionPage(const Setup& setup, CtlReply* why) {
    const std::string news = profile::GetString(setup.IniPath(), "admin", "Newspath", "?", 255);
    const std::string sub =
        profile::GetString(setup.IniPath(), "Newsfeed01", "subgroupfile", "?", 255);
    if (news.empty() || news[0] == '?' || news[0] == '!') {
        *why = Reply(CtlReply::Refused, "No news directory is configured.");
        return std::nullopt;
    }
    if (sub.find_first_not_of(' ') == std::string::npos || sub[0] == '?') {
        *why = Reply(CtlReply::Refused,
                     "No subscription file is configured (SubGroupFile in section [Newsfeed01]).");
        return std::nullopt;
    }
    return store::SubscriptionPage::FromSetup(setup);
}

bool ContainsNoCase(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (text::EqualsNoCase(n, name)) return true;
    return false;
}

// Whether the all-groups file lists the (not yet subscribed) group; nullopt
// when there is no readable list to ask.
std::optional<bool> UpstreamCarries(const store::SubscriptionPage& page, const std::string& group) {
    if (!page.GroupFileConfigured()) return std::nullopt;
    const std::string cat = store::StripToPeriod(group);
    if (!page.MsgLoadCat()) return std::nullopt;
    const auto groups = page.CategoryClick(cat);
    return ContainsNoCase(groups.unsubscribed, group);
}

std::string LockedText() {
    return MessageText(store::PageMessage{std::string(store::SubscriptionPage::kLockedTitle),
                                          std::string(store::SubscriptionPage::kLocked)});
}

CtlReply Subscribe(const qvPaneSplit& c, const std::vector<std::string>& words) {
    const char* usage = "usage: subscribe GROUP [N|all]";
    if (words.size() < 2 || words.size() > 3) return Reply(CtlReply::Unknown, usage);
    // The page's Retrieve field: "all" (its default) or up to five digits.
    std::string retrieve = "all";
    if (words.size() == 3) {
        retrieve = words[2];
        const bool digits = !retrieve.empty() && retrieve.size() <= 5 &&
                            retrieve.find_first_not_of("0123456789") == std::string::npos;
        if (!digits && !Is(retrieve, "all"))
            return Reply(CtlReply::Unknown, std::string(usage) +
                                                "\nN: the last N articles (1 to 99999); all: every "
                                                "article the upstream has");
    }
    CtlReply why;
    auto page = MakeSubscriptionPage(c.GetSetup(), &why);
    if (!page) return why;
    const std::string& group = words[1];
    if (c.FeedWorkBusy() || page->FeedSessionRunning())
        return Reply(CtlReply::Refused, LockedText());
    if (ContainsNoCase(store::SubscribedGroups(page->SubscriptionPath()), group))
        return Reply(CtlReply::Refused, group + " is already subscribed.");
    const std::optional<bool> carried = UpstreamCarries(*page, group);
    switch (page->UnsubClick(group, retrieve)) {
        case store::SubscriptionPage::Change::Done: break;
        case store::SubscriptionPage::Change::Locked: return Reply(CtlReply::Refused, LockedText());
        case store::SubscriptionPage::Change::BadName:
            return Reply(CtlReply::Refused, "ERROR: " + group + " cannot be a group name.");
        case store::SubscriptionPage::Change::Failed:
            return Reply(CtlReply::Refused,
                         "ERROR: Cannot write the subscription file " + page->SubscriptionPath());
    }
    const long n = std::atol(retrieve.c_str());
    std::string text =
        "Subscribed to " + group +
        (n > 0 ? ", the last " + std::to_string(n) + " articles first." : ", all articles.");
    if (carried == false) text += "\nNote: the upstream's group list does not carry " + group + ".";
    return Reply(CtlReply::Ok, text);
}

CtlReply Unsubscribe(const qvPaneSplit& c, const std::vector<std::string>& words) {
    if (words.size() != 2) return Reply(CtlReply::Unknown, "usage: unsubscribe GROUP");
    CtlReply why;
    auto page = MakeSubscriptionPage(c.GetSetup(), &why);
    if (!page) return why;
    const std::string& group = words[1];
    if (c.FeedWorkBusy() || page->FeedSessionRunning())
        return Reply(CtlReply::Refused, LockedText());
    if (!ContainsNoCase(store::SubscribedGroups(page->SubscriptionPath()), group))
        return Reply(CtlReply::Refused, group + " is not subscribed.");
    switch (page->SubClick(group)) {
        case store::SubscriptionPage::Change::Done: break;
        case store::SubscriptionPage::Change::Locked: return Reply(CtlReply::Refused, LockedText());
        case store::SubscriptionPage::Change::BadName:
        case store::SubscriptionPage::Change::Failed:
            return Reply(CtlReply::Refused,
                         "ERROR: Cannot rewrite the subscription file " + page->SubscriptionPath());
    }
    return Reply(CtlReply::Ok, "Unsubscribed from " + group + ".");
}

}  // namespace

CtlReply HandleCtlCommand(qvPaneSplit& c, const std::vector<std::string>& words) {
    if (words.empty()) return Reply(CtlReply::Unknown, CtlCommandHelp());
    const std::string& cmd = words[0];
    const bool bare = words.size() == 1;
    const bool busy = c.FeedWorkBusy();
    if (busy && bare && (Is(cmd, "getpost") || Is(cmd, "refresh") || Is(cmd, "expire")))
        return Reply(CtlReply::Refused,
                     c.Dialling()
                         ? "A dial-up connection is being made for a server session; request "
                           "dropped."
                         : "A server session or an expire run is in progress; request dropped.");
    if (Is(cmd, "cancel") && bare) {
        if (!c.CmCancel()) return Reply(CtlReply::Refused, "No dial-up connection is being made.");
        return Reply(CtlReply::Ok, "Dial-up cancelled; no further attempts.");
    }
    if (Is(cmd, "subscribe")) return Subscribe(c, words);
    if (Is(cmd, "unsubscribe")) return Unsubscribe(c, words);
    if (Is(cmd, "getpost") && bare) {
        c.CmProcessQueue();
        return Reply(CtlReply::Ok, "Get/Post News Articles requested.");
    }
    if (Is(cmd, "refresh") && bare) {
        c.CmRefreshGroups();
        return Reply(CtlReply::Ok, "Reload Newsgroup Files requested.");
    }
    if (Is(cmd, "expire") && bare) {
        c.CmExpireRun();
        return Reply(CtlReply::Ok, "Expire Old Articles requested.");
    }
    if (Is(cmd, "status") && bare) return Status(c);
    if (Is(cmd, "quit") && bare) {
        // Posted, so that this answer goes out before the loop ends.
        c.Post(msg::Exit);
        return Reply(CtlReply::Ok, "Quorvel is shutting down.");
    }
    if (Is(cmd, "groups") && bare) return Groups(c.GetSetup());
    if (Is(cmd, "addgroup")) return AddGroup(c.GetSetup(), words);
    if (Is(cmd, "delgroup")) return DelGroup(c.GetSetup(), words);
    return Reply(CtlReply::Unknown, "unknown command: " + cmd + "\n" + CtlCommandHelp());
}

const char* CtlCommandHelp() {
    return "  getpost                    fetch new articles and send queued postings\n"
           "  refresh                    reload the upstream server's list of groups\n"
           "  expire                     remove old articles\n"
           "  status                     show the status lines and the connections\n"
           "  groups                     list the groups: name, low, high, local or upstream,\n"
           "                             posting or noposting\n"
           "  addgroup NAME [noposting] [desc TEXT]\n"
           "                             add a local group (posting allowed unless noposting),\n"
           "                             with the description LIST NEWSGROUPS shows\n"
           "  delgroup NAME              delete a group with all its articles\n"
           "  subscribe GROUP [N|all]    fetch an upstream group from now on: its last N\n"
           "                             articles first, or all of them (the default)\n"
           "  unsubscribe GROUP          stop fetching an upstream group\n"
           "  cancel                     stop dialling the upstream connection\n"
           "  quit                       stop the server\n";
}
