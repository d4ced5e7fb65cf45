// The fetch kind of FeedSession: the walk over the subscription file, and
// per group GROUP, the start position, then NEXT and "article" until the
// group has nothing newer.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "feed/FeedSession.h"
#include "feed/ReplyFile.h"
#include "reader/OverviewCache.h"
#include "store/GroupIndex.h"
#include "store/StoreNames.h"
#include "store/Subscription.h"

// The last upstream number positioned on goes into the record, the local
// High into the group index. Returns whether the record could be written.
bool FeedSession::GroupCheckpoint() {
    const bool ok =
        store::WriteSubscriptionNumber(newsDir_ + subGroupFile_, recordOffset_, lastSeen_);
    store::GroupIndex index(newsDir_);
    if (!index.SetHigh(group_, high_) &&
        index.ReadGroup(group_).value_or(store::GroupInfo{}).high < high_)
        UpdLog("Cannot write High of " + group_);
    return ok;
}

void FeedSession::MsgGetNextGroup() {
    if (recordOffset_ >= 0 && groupActive_ && !GroupCheckpoint()) {
        UpdLog("[ERROR] Invalid Subscription File.");
        End();
        return;
    }
    groupActive_ = false;
    recordOffset_ = -1;

    const store::RecordRead r =
        store::ReadSubscriptionRecord(newsDir_ + subGroupFile_, readOffset_);
    if (r.status == store::RecordStatus::End) {
        ExpectLine(0);
        SendTcp("QUIT\r\n");
        End();
        return;
    }
    readOffset_ = r.record.next;
    if (r.status == store::RecordStatus::Unusable) {
        UpdLog("Subscription record skipped (" + r.problem + ")");
        Post(kGetNextGroup);
        return;
    }
    group_ = r.record.group;
    start_ = r.record.start;
    if (!OpenGroup()) {
        Post(kGetNextGroup);
        return;
    }
    recordOffset_ = r.record.offset;
    ExpectLine(kStartGroup);
    SendTcp("GROUP " + group_ + "\r\n");
}

bool FeedSession::OpenGroup() {
    store::GroupIndex index(newsDir_);
    if (!index.MakeGroupDirectory(group_)) {
        UpdLog("Cannot create the directory of " + group_);
        return false;
    }
    if (!index.GroupExists(group_) && !index.CreateGroup(group_, false, true)) {
        UpdLog("Cannot add " + group_ + " to the group index");
        return false;
    }
    // The next number also steps over index files above High that a session
    // stopped before its checkpoint left behind.
    const std::optional<long> next = index.NextArticleNumber(group_);
    if (!next) {
        UpdLog("No article numbers left in " + group_);
        return false;
    }
    high_ = *next - 1;
    return true;
}

void FeedSession::MsgStartGroup() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    // A refused GROUP leaves the record as it is: a new "last N" record must
    // not turn into "everything" because the group was missing once.
    if (!reply.starts_with("211")) {
        UpdLog("Group " + group_ + " not available: " + reply);
        NoteLoginWanted(reply);
        recordOffset_ = -1;
        Post(kGetNextGroup);
        return;
    }
    const long last = std::atol(GetReplyWord(4, reply).c_str());
    groupFirst_ = std::atol(GetReplyWord(3, reply).c_str());
    groupLast_ = last;
    probe_ = 0;
    // A record never fetched wants every article, the first included: the
    // walk starts just before it and asks for it by number.
    const bool everything = start_ == 0;
    if (everything) {
        start_ = std::max(groupFirst_, 1L) - 1;
    } else if (start_ < 0) {
        // The last N articles; with fewer than N upstream, none this time
        // and the record then continues from the group's last number.
        const long n = -start_;
        start_ = last - n > 0 ? last - n : last;
    }
    if (start_ < 0) start_ = 0;
    const long count = last - start_;
    char line[320];
    std::snprintf(line, sizeof line, "Processing %s (%ld)", group_.c_str(), count);
    UpdLog(line);
    groupActive_ = true;
    lastSeen_ = start_;
    if (count <= 0) {
        Post(kGetNextGroup);
    } else if (everything) {
        probe_ = start_ + 1;
        ProbeNextNumber();
    } else {
        ExpectLine(kPositioned);
        SendTcp("STAT " + std::to_string(start_) + " \r\n");
    }
}

// The server stands on the start article only when it still has it. If it
// was cancelled or expired upstream, the server's pointer stays where GROUP
// put it, on the group's first article, and NEXT would walk the group again
// from there (storing anew what expire removed here) or pass over that first
// article. So the walk goes on by number: STAT each number after the start
// until one exists; that one is the next article.
void FeedSession::MsgPositioned() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    // Only "no such article number" says the article is gone; on any other
    // reply NEXT goes on from wherever the server stands.
    if (!reply.starts_with("423")) {
        Post(kGetNextArticle);
        return;
    }
    UpdLog("Article " + std::to_string(start_) + " of " + group_ + " is gone upstream: " + reply);
    probe_ = std::max(start_ + 1, groupFirst_);
    ProbeNextNumber();
}

void FeedSession::ProbeNextNumber() {
    if (probe_ <= 0 || probe_ > groupLast_) {
        probe_ = 0;
        Post(kGetNextGroup);
        return;
    }
    // A server may claim numbers it never had; the record keeps what was
    // passed, and the next fetch goes on from there.
    if (probe_ - std::max(start_ + 1, groupFirst_) >= kMaxProbes) {
        UpdLog("No article found in " + group_ + " up to " + std::to_string(lastSeen_) +
               "; going on next time");
        probe_ = 0;
        Post(kGetNextGroup);
        return;
    }
    ExpectLine(kGetArticleId);
    SendTcp("STAT " + std::to_string(probe_) + "\r\n");
}

void FeedSession::MsgGetNextArticle() {
    ExpectLine(kGetArticleId);
    SendTcp("NEXT\r\n");
}

void FeedSession::MsgGetArticleId() {
    const std::string reply = replyLine_;
    ExpectLine(0);
    if (probe_ > 0) {
        // A reply to STAT while going on by number: a missing number is
        // passed (numbers are never given out again); the first one found
        // is the next article, and NEXT takes over from it. Any other reply
        // ends the group here, and the next fetch asks again.
        if (reply.starts_with("423")) {
            lastSeen_ = probe_++;
            ProbeNextNumber();
            return;
        }
        probe_ = 0;
    }
    if (reply.size() < 4 || reply[0] != '2' || reply[3] != ' ') {
        Post(kGetNextGroup);  // normally 421: no next article
        return;
    }
    FetchArticle(reply, std::atol(GetReplyWord(2, reply).c_str()));
}

namespace {

// Where the message-id of "223 number <id> ..." lies: the text after the
// last "<" before the first ">" (npos where either is missing).
std::pair<std::size_t, std::size_t> MessageIdBrackets(const std::string& reply) {
    std::size_t lt = std::string::npos;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '<') lt = i;
        if (reply[i] == '>') return {lt, i};
    }
    return {lt, std::string::npos};
}

}  // namespace

void FeedSession::FetchArticle(const std::string& reply, long number) {
    const auto [lt, gt] = MessageIdBrackets(reply);
    if (lt == std::string::npos || gt == std::string::npos || gt < lt + 2) {
        if (number <= 0 || lt == std::string::npos || gt != std::string::npos) {
            UpdLog("No message-id in reply to NEXT, group finished: " + reply);
            Post(kGetNextGroup);
            return;
        }
        // An id opened but not closed within the reply line: one too long
        // for the line. The server stands on that article; pass it, or every
        // later fetch of the group would stop at it again.
        lastSeen_ = number;
        UpdLog("No usable message-id in reply to NEXT, article skipped: " + reply);
        Post(kGetNextArticle);
        return;
    }
    const long before = lastSeen_;
    if (number > 0) lastSeen_ = number;
    const std::string id = reply.substr(lt + 1, gt - lt - 1);

    store::GroupIndex index(newsDir_);
    const std::optional<std::string> path = index.ContentPathFor(group_, id);
    if (!path) {
        UpdLog("Unusable message-id skipped: <" + id + ">");
        Post(kGetNextArticle);
        return;
    }
    struct stat st {};
    if (::lstat(path->c_str(), &st) == 0) {
        Post(kGetNextArticle);  // already stored in this group
        return;
    }
    lastSeenBefore_ = before;
    // The number is taken now; if the article does not arrive it stays
    // unused (gaps are normal).
    articleNumber_ = ++high_;
    contentPath_ = *path;
    ExpectFile(kArticleRecvd, *path, "220", kArticleLimit);
    SendTcp("article\r\n");
}

void FeedSession::MsgArticleRecvd() {
    const bool ok = fileOk_;
    const std::string reply = replyLine_;
    file_.reset();
    ExpectLine(0);
    if (!ok) {
        UpdLog("Article not stored: " + reply);
        Post(kGetNextArticle);
        return;
    }
    // The index file comes last, so no index ever names a partial article.
    store::GroupIndex index(newsDir_);
    long number = articleNumber_;
    bool written = false;
    for (int tries = 0; tries < 1000 && !written; ++tries) {
        written = index.WriteArticleIndex(group_, number, contentPath_);
        if (written) break;
        const auto taken = index.IndexFilePath(group_, number);
        struct stat st {};
        if (!taken || ::stat(taken->c_str(), &st) != 0) break;  // a real failure
        ++number;                                               // someone else holds that number
    }
    if (!written) {
        // Without an index the content would only block a later fetch.
        ::unlink(contentPath_.c_str());
        UpdLog("Cannot write the article index in " + group_);
    } else {
        high_ = std::max(high_, number);
        if (const auto dir = store::GroupDirectory(newsDir_, group_)) RecordOverview(*dir, number);
    }
    Post(kGetNextArticle);
}
