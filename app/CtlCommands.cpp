#include "app/CtlCommands.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/CtlPages.h"
#include "app/HeadlessShell.h"
#include "app/Messages.h"
#include "app/qvPaneSplit.h"
#include "core/Text.h"
#include "core/Version.h"
#include "net/EventLoop.h"
#include "sched/RasSet.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "store/GroupIndex.h"
#include "store/GroupPage.h"
#include "store/Subscription.h"

namespace {

using ctl::MakeReply;
using store::GroupListScan;
using store::SubscriptionPage;

bool Is(const std::string& word, const char* name) { return text::EqualsNoCase(word, name); }

CtlReply Reply(CtlReply::Outcome outcome, std::string text) {
    return MakeReply(outcome, std::move(text));
}

// A page message as one line: "<title>: <text>", line breaks as blanks.
std::string MessageText(std::string_view title, std::string_view text) {
    std::string line = HeadlessShell::MessageLine(title, text);
    return line.substr(5);  // without "[QV] "
}
std::string MessageText(const store::PageMessage& m) { return MessageText(m.title, m.text); }

CtlReply NoNewsDirectory() { return Reply(CtlReply::Refused, "No news directory is configured."); }

store::GroupPage MakePage(const qvPaneSplit& c, const std::string& news) {
    const Setup& setup = c.GetSetup();
    const std::string sub =
        profile::GetString(setup.IniPath(), "Newsfeed01", "subgroupfile", "?", 261);
    return store::GroupPage(news, sub, store::PacketFromSetup(setup));
}

// The newsfeed page over the server's news directory and the files
// "Newsfeed01" names ("?" each when not set).
SubscriptionPage FeedPage(const qvPaneSplit& c) {
    const std::string& ini = c.GetSetup().IniPath();
    return SubscriptionPage(c.NewsDirectory(),
                            profile::GetString(ini, "Newsfeed01", "allgroupfile", "?", 255),
                            profile::GetString(ini, "Newsfeed01", "subgroupfile", "?", 255));
}

CtlReply Status(qvPaneSplit& c) {
    c.DoStatus();
    std::string text;
    for (const std::string& l : c.StatusLines()) text += l + "\n";
    // The dial-up dialog's lines while the line is being dialled.
    for (const std::string& l : c.DialLines()) text += l + "\n";
    for (const std::string& l : c.TreeLines()) text += l + "\n";
    return Reply(CtlReply::Ok, text);
}

CtlReply Groups(const qvPaneSplit& c) {
    const std::string news = c.NewsDirectory();
    if (news.empty()) return NoNewsDirectory();
    const store::GroupTable table = store::GroupIndex(news).ReadTable();
    std::string text;
    for (const store::GroupEntry& e : table.Groups()) {
        char line[80];
        std::snprintf(line, sizeof line, " %ld %ld %s %s\n", e.info.low, e.info.high,
                      e.info.local ? "local" : "upstream",
                      e.info.allowPost ? "posting" : "noposting");
        text += e.name + line;
    }
    return Reply(CtlReply::Ok, text);
}

CtlReply AddGroup(const qvPaneSplit& c, const std::vector<std::string>& words) {
    // addgroup NAME [noposting] [age N] [size N] [condage N] [condsize N]
    // [desc TEXT...]: the description is the rest of the line, shown by
    // LIST NEWSGROUPS.
    const char* usage =
        "usage: addgroup NAME [noposting] [age N] [size N] [condage N condsize N] [desc TEXT]";
    if (words.size() < 2) return Reply(CtlReply::Unknown, usage);
    const std::string news = c.NewsDirectory();
    store::GroupPage page = MakePage(c, news);
    store::gePacket& p = page.Packet();
    p.newGroup = words[1];
    p.allowPost = true;
    std::string desc;
    bool described = false;
    for (std::size_t k = 2; k < words.size(); ++k) {
        const std::string& w = words[k];
        if (Is(w, "desc")) {
            described = true;
            for (std::size_t j = k + 1; j < words.size(); ++j)
                desc += (desc.empty() ? "" : " ") + words[j];
            break;
        }
        if (Is(w, "noposting")) {
            p.allowPost = false;
            continue;
        }
        std::string* limit = Is(w, "age")        ? &p.age
                             : Is(w, "size")     ? &p.size
                             : Is(w, "condage")  ? &p.condAge
                             : Is(w, "condsize") ? &p.condSize
                                                 : nullptr;
        if (limit == nullptr || k + 1 >= words.size()) return Reply(CtlReply::Unknown, usage);
        if (auto problem = store::GroupPage::LimitProblem(text::EqualsNoCase(w, "age") ? "age" : w,
                                                          words[k + 1]))
            return Reply(CtlReply::Refused, "ERROR: " + *problem);
        *limit = words[++k];
    }
    if (described && desc.empty()) return Reply(CtlReply::Unknown, usage);
    if (news.empty()) return NoNewsDirectory();
    const bool posting = p.allowPost;
    if (auto m = page.AddGroup()) return Reply(CtlReply::Refused, MessageText(*m));
    if (!desc.empty() && !store::GroupIndex(news).SetDescription(words[1], desc))
        return Reply(CtlReply::Refused,
                     "Local group " + words[1] + " added, but its description was not stored.");
    return Reply(CtlReply::Ok, "Local group " + words[1] + " added, posting " +
                                   (posting ? "allowed." : "not allowed."));
}

CtlReply DelGroup(const qvPaneSplit& c, const std::vector<std::string>& words) {
    if (words.size() != 2) return Reply(CtlReply::Unknown, "usage: delgroup NAME");
    const std::string news = c.NewsDirectory();
    if (news.empty()) return NoNewsDirectory();
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
    store::GroupPage page = MakePage(c, news);
    page.LoadGroups();
    // The command itself is the owner's answer to "Are you sure?".
    const auto m = page.DelGroup(name, [](const store::PageMessage&) { return true; });
    if (!m) return Reply(CtlReply::Refused, "ERROR: The group was not removed.");
    const bool done = m->title == "Operation Complete";
    return Reply(done ? CtlReply::Ok : CtlReply::Refused, MessageText(*m));
}

// The subscription page, refused (in *why) without a news directory or a
// subscription file setting.
std::optional<SubscriptionPage> MakeSubscriptionPage(const qvPaneSplit& c, CtlReply* why) {
    SubscriptionPage page = FeedPage(c);
    if (c.NewsDirectory().empty()) {
        *why = NoNewsDirectory();
        return std::nullopt;
    }
    const std::string sub =
        profile::GetString(c.GetSetup().IniPath(), "Newsfeed01", "subgroupfile", "?", 255);
    if (sub.find_first_not_of(' ') == std::string::npos || sub[0] == '?') {
        *why = Reply(CtlReply::Refused,
                     "No subscription file is configured (SubGroupFile in section [Newsfeed01]).");
        return std::nullopt;
    }
    return page;
}

bool ContainsNoCase(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (text::EqualsNoCase(n, name)) return true;
    return false;
}

std::string LockedText() {
    return MessageText(SubscriptionPage::kLockedTitle, SubscriptionPage::kLocked);
}

const char* const kSubscribeUsage = "usage: subscribe GROUP [N|all]";

// The page's Retrieve field: "all" (its default) or up to five digits;
// nullopt when the words are not a subscribe command.
std::optional<std::string> SubscribeRetrieve(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) return std::nullopt;
    if (words.size() == 2) return std::string("all");
    const std::string& r = words[2];
    if (!Is(r, "all") && text::DecimalIn(r, 0, 99999) < 0) return std::nullopt;
    return r;
}

// carried: whether the all-groups file lists the group among the
// unsubscribed ones; nullopt when there is no list to ask.
CtlReply Subscribe(const qvPaneSplit& c, const std::vector<std::string>& words,
                   std::optional<bool> carried) {
    const std::optional<std::string> retrieve = SubscribeRetrieve(words);
    if (!retrieve)
        return Reply(CtlReply::Unknown, std::string(kSubscribeUsage) +
                                            "\nN: the last N articles (1 to 99999); all: every "
                                            "article the upstream has");
    CtlReply why;
    auto page = MakeSubscriptionPage(c, &why);
    if (!page) return why;
    const std::string& group = words[1];
    if (c.FeedWorkBusy() || page->FeedSessionRunning())
        return Reply(CtlReply::Refused, LockedText());
    if (ContainsNoCase(store::SubscribedGroups(page->SubscriptionPath()), group))
        return Reply(CtlReply::Refused, group + " is already subscribed.");
    switch (page->UnsubClick(group, *retrieve)) {
        case SubscriptionPage::Change::Done: break;
        case SubscriptionPage::Change::Locked: return Reply(CtlReply::Refused, LockedText());
        case SubscriptionPage::Change::BadName:
            return Reply(CtlReply::Refused, "ERROR: " + group + " cannot be a group name.");
        case SubscriptionPage::Change::Failed:
            return Reply(CtlReply::Refused,
                         "ERROR: Cannot write the subscription file " + page->SubscriptionPath());
    }
    const long n = std::atol(retrieve->c_str());
    std::string text =
        "Subscribed to " + group +
        (n > 0 ? ", the last " + std::to_string(n) + " articles first." : ", all articles.");
    if (carried == false) text += "\nNote: the upstream's group list does not carry " + group + ".";
    return Reply(CtlReply::Ok, text);
}

// Whether a finished scan of the group's category lists it.
std::optional<bool> Carried(const GroupListScan& scan, const std::string& group) {
    if (scan.GetStatus() != GroupListScan::Status::Done) return std::nullopt;
    return ContainsNoCase(scan.Unsubscribed(), group);
}

CtlReply Unsubscribe(const qvPaneSplit& c, const std::vector<std::string>& words) {
    if (words.size() != 2) return Reply(CtlReply::Unknown, "usage: unsubscribe GROUP");
    CtlReply why;
    auto page = MakeSubscriptionPage(c, &why);
    if (!page) return why;
    const std::string& group = words[1];
    if (c.FeedWorkBusy() || page->FeedSessionRunning())
        return Reply(CtlReply::Refused, LockedText());
    if (!ContainsNoCase(store::SubscribedGroups(page->SubscriptionPath()), group))
        return Reply(CtlReply::Refused, group + " is not subscribed.");
    switch (page->SubClick(group)) {
        case SubscriptionPage::Change::Done: break;
        case SubscriptionPage::Change::Locked: return Reply(CtlReply::Refused, LockedText());
        case SubscriptionPage::Change::BadName:
        case SubscriptionPage::Change::Failed:
            return Reply(CtlReply::Refused,
                         "ERROR: Cannot rewrite the subscription file " + page->SubscriptionPath());
    }
    return Reply(CtlReply::Ok, "Unsubscribed from " + group + ".");
}

// ---- the all-groups file, read in steps

enum class ScanCommand { Categories, Category, Search, Subscribe };

// The words of a command that reads the all-groups file, or nullopt.
std::optional<ScanCommand> ScanCommandOf(const std::vector<std::string>& words) {
    if (words.empty()) return std::nullopt;
    if (Is(words[0], "categories") && words.size() == 1) return ScanCommand::Categories;
    if (Is(words[0], "category") && words.size() == 2) return ScanCommand::Category;
    if (Is(words[0], "search") && words.size() >= 2) return ScanCommand::Search;
    if (Is(words[0], "subscribe") && SubscribeRetrieve(words)) return ScanCommand::Subscribe;
    return std::nullopt;
}

// The search text: the words after "search", one blank between them.
std::string Needle(const std::vector<std::string>& words) {
    std::string needle;
    for (std::size_t i = 1; i < words.size(); ++i) needle += (i > 1 ? " " : "") + words[i];
    return needle;
}

GroupListScan StartScan(const qvPaneSplit& c, ScanCommand command,
                        const std::vector<std::string>& words) {
    const SubscriptionPage page = FeedPage(c);
    switch (command) {
        case ScanCommand::Categories: return GroupListScan::Categories(page);
        case ScanCommand::Category: return GroupListScan::Category(page, words[1]);
        case ScanCommand::Search: return GroupListScan::Search(page, Needle(words));
        case ScanCommand::Subscribe:
            return GroupListScan::Category(page, store::StripToPeriod(words[1]));
    }
    return GroupListScan::Categories(page);
}

std::string Joined(const std::vector<std::string>& lines, const char* indent = "") {
    std::string text;
    for (const std::string& l : lines) text += indent + l + "\n";
    return text;
}

// The answer once the scan is done.
CtlReply ScanReply(const qvPaneSplit& c, ScanCommand command, const std::vector<std::string>& words,
                   const GroupListScan& scan) {
    if (command == ScanCommand::Subscribe) return Subscribe(c, words, Carried(scan, words[1]));
    if (c.NewsDirectory().empty()) return NoNewsDirectory();
    const GroupListScan::Status status = scan.GetStatus();
    // A category still shows its subscriptions without a group list, as
    // the page does.
    if (command != ScanCommand::Category && status != GroupListScan::Status::Done)
        return Reply(CtlReply::Refused, MessageText(SubscriptionPage::kFileTitle,
                                                    status == GroupListScan::Status::NotConfigured
                                                        ? SubscriptionPage::kNoGroupFileSetting
                                                        : SubscriptionPage::kNoGroupFile));
    switch (command) {
        case ScanCommand::Categories: return Reply(CtlReply::Ok, Joined(scan.CategoryList()));
        case ScanCommand::Category:
            return Reply(CtlReply::Ok, "Subscribed:\n" + Joined(scan.Subscribed(), "  ") +
                                           "Unsubscribed:\n" + Joined(scan.Unsubscribed(), "  "));
        case ScanCommand::Search:
            if (scan.Unsubscribed().empty())
                return Reply(CtlReply::Refused, MessageText(SubscriptionPage::kNotFoundTitle,
                                                            SubscriptionPage::kNotFound));
            return Reply(CtlReply::Ok, Joined(scan.Unsubscribed()));
        case ScanCommand::Subscribe: break;
    }
    return Reply(CtlReply::Unknown, "");
}

const char* const kRasProfileUsage = "usage: ras profiles | ras profile NAME";

bool IsRasPhoneBook(const std::vector<std::string>& words) {
    return words.size() >= 2 && Is(words[0], "ras") &&
           (Is(words[1], "profiles") || Is(words[1], "profile"));
}

}  // namespace

CtlReply HandleCtlCommand(qvPaneSplit& c, const std::vector<std::string>& words) {
    if (words.empty()) return Reply(CtlReply::Unknown, CtlCommandHelp());
    const std::string& cmd = words[0];
    const bool bare = words.size() == 1;
    if ((Is(cmd, "getpost") || Is(cmd, "refresh")) && bare) {
        // A request the controller would drop is refused with the reason.
        if (auto why = c.FeedRequestRefusal(Is(cmd, "getpost")))
            return Reply(CtlReply::Refused, *why);
        if (Is(cmd, "getpost")) {
            c.CmProcessQueue();
            return Reply(CtlReply::Ok, "Get/Post News Articles requested.");
        }
        c.CmRefreshGroups();
        return Reply(CtlReply::Ok, "Reload Newsgroup Files requested.");
    }
    if (Is(cmd, "expire") && bare) {
        if (c.FeedWorkBusy())
            return Reply(
                CtlReply::Refused,
                c.Dialling()
                    ? "A dial-up connection is being made for a server session; request "
                      "dropped."
                    : "A server session or an expire run is in progress; request dropped.");
        c.CmExpireRun();
        return Reply(CtlReply::Ok, "Expire Old Articles requested.");
    }
    if (Is(cmd, "cancel") && bare) {
        if (!c.CmCancel()) return Reply(CtlReply::Refused, "No dial-up connection is being made.");
        return Reply(CtlReply::Ok, "Dial-up cancelled; no further attempts.");
    }
    if (Is(cmd, "subscribe")) {
        // At once, reading the whole group list: CtlCommands reads it in
        // steps instead.
        std::optional<bool> carried;
        if (SubscribeRetrieve(words)) {
            GroupListScan scan = StartScan(c, ScanCommand::Subscribe, words);
            scan.Finish();
            carried = Carried(scan, words[1]);
        }
        return Subscribe(c, words, carried);
    }
    if (Is(cmd, "unsubscribe")) return Unsubscribe(c, words);
    if (Is(cmd, "status") && bare) return Status(c);
    if (Is(cmd, "quit") && bare) {
        // Posted, so that this answer goes out before the loop ends.
        c.Post(msg::Exit);
        return Reply(CtlReply::Ok, "Quorvel is shutting down.");
    }
    if (Is(cmd, "groups") && bare) return Groups(c);
    if (Is(cmd, "addgroup")) return AddGroup(c, words);
    if (Is(cmd, "delgroup")) return DelGroup(c, words);
    if (Is(cmd, "reload") && bare) return ctl::Reload(c);
    if (Is(cmd, "setup")) return ctl::Setup(c, words);
    if (Is(cmd, "allow")) return ctl::Allow(c, words);
    if (Is(cmd, "events")) return ctl::Events(c, words);
    if (Is(cmd, "sleeptime")) return ctl::SleepTime(c, words);
    if (Is(cmd, "group")) return ctl::Group(c, words);
    if (Is(cmd, "expire-defaults")) return ctl::ExpireDefaults(c, words);
    if (Is(cmd, "ras") && !IsRasPhoneBook(words)) return ctl::Ras(c, words);
    if (Is(cmd, "feed")) return ctl::Feed(c, words);
    if (Is(cmd, "about") && bare) return Reply(CtlReply::Ok, version::AboutText());
    if (Is(cmd, "help") && bare) return Reply(CtlReply::Ok, CtlCommandHelp());
    if (Is(cmd, "categories") || Is(cmd, "category") || Is(cmd, "search") || IsRasPhoneBook(words))
        return Reply(CtlReply::Unknown, "usage: " + cmd +
                                            " takes the server's loop; ask it "
                                            "through quorvel ctl");
    return Reply(CtlReply::Unknown, "unknown command: " + cmd + "\n" + CtlCommandHelp());
}

// ---- commands that take several passes of the loop

struct CtlCommands::Job {
    std::vector<std::string> words;
    ControlChannel::Respond respond;
    ScanCommand command = ScanCommand::Categories;
    std::optional<GroupListScan> scan;
    std::unique_ptr<RasSet> ras;  // asking the phone book
    int timer = 0;
};

CtlCommands::CtlCommands(qvPaneSplit& controller) : controller_(controller) {}

CtlCommands::~CtlCommands() {
    for (auto& [id, job] : jobs_)
        if (job->timer != 0) controller_.Loop().Cancel(job->timer);
}

void CtlCommands::Handle(const std::vector<std::string>& words, ControlChannel::Respond respond) {
    if (const auto command = ScanCommandOf(words)) {
        auto job = std::make_unique<Job>();
        job->words = words;
        job->respond = std::move(respond);
        job->command = *command;
        job->scan.emplace(StartScan(controller_, *command, words));
        return Start(std::move(job));
    }
    if (IsRasPhoneBook(words)) {
        const bool list = Is(words[1], "profiles") && words.size() == 2;
        if (!list && !(Is(words[1], "profile") && words.size() == 3))
            return respond(Reply(CtlReply::Unknown, kRasProfileUsage));
        auto job = std::make_unique<Job>();
        job->words = words;
        job->respond = std::move(respond);
        job->ras = std::make_unique<RasSet>(controller_.GetSetup());
        const int id = nextId_++;
        RasSet& ras = *job->ras;
        jobs_[id] = std::move(job);
        // Answers on a later pass; never after the job (and the page) is gone.
        ras.LoadProfiles(controller_.DialUpMachine(), [this, id] {
            auto it = jobs_.find(id);
            if (it == jobs_.end()) return;
            Job& j = *it->second;
            const std::vector<std::string>& profiles = j.ras->Transfer().profiles;
            if (j.words.size() == 2) return Finish(id, Reply(CtlReply::Ok, Joined(profiles)));
            Finish(id, ctl::RasProfile(controller_, j.words[2], profiles));
        });
        return;
    }
    respond(HandleCtlCommand(controller_, words));
}

void CtlCommands::Start(std::unique_ptr<Job> job) {
    const int id = nextId_++;
    jobs_[id] = std::move(job);
    Step(id);
}

void CtlCommands::Step(int id) {
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return;
    Job& job = *it->second;
    job.timer = 0;
    if (job.scan->Step(kLinesPerStep) == GroupListScan::Status::Running) {
        // The next slice on a later pass: readers waiting meanwhile go first.
        job.timer = controller_.Loop().After(0, [this, id] { Step(id); });
        return;
    }
    Finish(id, ScanReply(controller_, job.command, job.words, *job.scan));
}

void CtlCommands::Finish(int id, CtlReply reply) {
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return;
    const ControlChannel::Respond respond = std::move(it->second->respond);
    jobs_.erase(it);
    respond(std::move(reply));
}

const char* CtlCommandHelp() {
    return "  getpost                      fetch new articles and send queued postings\n"
           "  refresh                      reload the upstream server's list of groups\n"
           "  expire                       remove old articles\n"
           "  cancel                       stop dialling the upstream connection\n"
           "  status                       show the status lines, the dial-up and the "
           "connections\n"
           "  reload                       apply the edited Quorvel.INI and allowip.ini, print "
           "what changed\n"
           "  setup [listenport N] [postinghost HOST] [newspath DIR] [timeout SECONDS]\n"
           "                               show or set the Setup page's four settings\n"
           "  allow [add MASK|remove MASK] list the readers admitted, or admit or drop a mask\n"
           "  events [add News|Group|Expire DAY HOUR MINUTE|remove N]\n"
           "                               list the scheduled events, or add or remove one\n"
           "  sleeptime [MINUTES]          show or set the minutes between Get/Post runs (0 "
           "off)\n"
           "  groups                       list the groups: name, low, high, local or upstream,\n"
           "                               posting or noposting\n"
           "  group NAME [age N] [size N] [condage N] [condsize N] [posting yes|no]\n"
           "                               show a group, or save its limits and posting flag\n"
           "  addgroup NAME [noposting] [age N] [size N] [condage N condsize N] [desc TEXT]\n"
           "                               add a local group\n"
           "  delgroup NAME                delete a group with all its articles\n"
           "  expire-defaults [age N] [size N] [condage N] [condsize N]\n"
           "                               show or set the limits of groups without their own\n"
           "  ras [login USER|redial N|wait SECONDS|drop yes|no]\n"
           "                               show or set the dial-up settings\n"
           "  ras profiles                 list the phone book's profiles\n"
           "  ras profile NAME|(None)      choose the profile to dial\n"
           "  ras password                 store the dial-up password, read from standard "
           "input\n"
           "  feed [name HOST] [port N] [user USER] [security none|tls|starttls]\n"
           "       [verify yes|no|FINGERPRINT] [cafile PATH]\n"
           "                               show or set the upstream server, its login and TLS\n"
           "  feed password                store the upstream's password, read from standard "
           "input\n"
           "  categories                   list the categories of the upstream's groups\n"
           "  category NAME                list a category's subscribed and unsubscribed groups\n"
           "  search TEXT                  list the unsubscribed groups whose names contain TEXT\n"
           "  subscribe GROUP [N|all]      fetch an upstream group: its last N articles first, "
           "or all\n"
           "  unsubscribe GROUP            stop fetching an upstream group\n"
           "  about                        show the version and the legal notice\n"
           "  help                         list these commands\n"
           "  quit                         stop the server\n";
}

std::vector<std::string> PrepareCtlWords(const std::vector<std::string>& words,
                                         const std::function<std::string(bool* ok)>& readPassword,
                                         std::string* error) {
    if (words.size() < 2 || (!Is(words[0], "ras") && !Is(words[0], "feed")) ||
        !Is(words[1], "password"))
        return words;
    if (words.size() != 2) {
        *error =
            "the password is read from standard input, never from the command line: "
            "quorvel ctl " +
            words[0] + " password";
        return {};
    }
    bool ok = false;
    const std::string password = readPassword(&ok);
    if (!ok) {
        *error = "no password was read from standard input";
        return {};
    }
    return {words[0], words[1], "=" + password};
}
