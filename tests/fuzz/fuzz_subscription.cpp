// The subscription-record walk: the input is a subscription file. The walk
// the fetch makes (ReadSubscriptionRecord from offset 0, record after
// record) must always move forward and end; every usable record must take
// a new number in place and read back with it; removing and appending
// records must do only that.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reader/ReaderText.h"
#include "store/StoreNames.h"
#include "store/Subscription.h"
#include "tests/fuzz/FuzzCommon.h"

namespace {

struct Walk {
    std::vector<store::SubscriptionRecord> ok;
    bool reachedEof = false;
};

Walk WalkFile(const std::string& path, std::size_t fileSize) {
    Walk w;
    long offset = 0;
    for (std::size_t guard = 0;; ++guard) {
        fuzz::Check(guard <= fileSize + 1, "the walk does not end");
        const store::RecordRead r = store::ReadSubscriptionRecord(path, offset);
        if (r.status == store::RecordStatus::End) {
            w.reachedEof = static_cast<std::size_t>(offset) >= fileSize;
            break;
        }
        fuzz::Check(r.record.offset == offset, "record offset is not where it was read");
        fuzz::Check(r.record.next > offset, "the walk does not move forward");
        fuzz::Check(static_cast<std::size_t>(r.record.next) <= fileSize,
                    "next record beyond the file");
        if (r.status == store::RecordStatus::Ok) {
            const std::string& g = r.record.group;
            fuzz::Check(store::IsSafeGroupName(g), "unsafe group name from a record: " + g);
            fuzz::Check(g.size() <= store::kMaxSubscribedGroupName, "overlong group name");
            fuzz::Check(g.find_first_of(" \t\r\n") == std::string::npos, "group name with a blank");
            fuzz::Check(r.record.start >= -999999999L && r.record.start <= store::kMaxArticleNumber,
                        "start number out of range");
            w.ok.push_back(r.record);
        } else {
            fuzz::Check(!r.problem.empty(), "an unusable record without a reason");
        }
        offset = r.record.next;
    }
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Clear(fuzz::Root());
    const std::string path = fuzz::Root() + "/feed01.sub";
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (!fuzz::WriteFile(path, text)) fuzz::Fail("cannot write the subscription file");

    const Walk first = WalkFile(path, text.size());
    (void)store::SubscribedGroups(path);

    // Each usable record takes a new number in place; nothing else moves.
    long number = 1234567890;
    for (const store::SubscriptionRecord& rec : first.ok) {
        fuzz::Check(store::WriteSubscriptionNumber(path, rec.offset, number),
                    "cannot write a number");
        const store::RecordRead again = store::ReadSubscriptionRecord(path, rec.offset);
        fuzz::Check(again.status == store::RecordStatus::Ok,
                    "a record broke when its number was written");
        fuzz::Check(again.record.group == rec.group, "writing a number changed the group");
        fuzz::Check(again.record.start == number, "the number does not read back");
        fuzz::Check(again.record.next == rec.next, "writing a number moved the next record");
        number = (number * 7 + 3) % 2147483647L;
    }
    const std::string numbered = fuzz::ReadFile(path);
    fuzz::Check(numbered.size() == text.size(), "writing numbers changed the file's size");
    const Walk second = WalkFile(path, numbered.size());
    fuzz::Check(second.ok.size() == first.ok.size(), "writing numbers changed the records");

    // Removing the first usable group removes every record of it.
    if (!first.ok.empty()) {
        const std::string gone = first.ok.front().group;
        fuzz::Check(store::RemoveSubscription(path, gone), "cannot remove a subscription");
        for (const std::string& g : store::SubscribedGroups(path))
            fuzz::Check(!EqualsNoCase(g, gone), "a removed group is still listed");
        const std::string after = fuzz::ReadFile(path);
        for (const store::SubscriptionRecord& rec : WalkFile(path, after.size()).ok)
            fuzz::Check(!EqualsNoCase(rec.group, gone), "the walk still finds a removed group");
    }

    // A record appended to a file the walk reads to its end is found last.
    const std::string before = fuzz::ReadFile(path);
    const Walk pre = WalkFile(path, before.size());
    if (store::AppendSubscription(path, "fuzz.appended", 5)) {
        const std::string after = fuzz::ReadFile(path);
        fuzz::Check(after.starts_with(before), "appending changed earlier records");
        const Walk post = WalkFile(path, after.size());
        if (pre.reachedEof) {
            fuzz::Check(!post.ok.empty() && post.ok.back().group == "fuzz.appended" &&
                            post.ok.back().start == -5,
                        "an appended record is not found at the end of the walk");
        }
    } else {
        fuzz::Fail("cannot append a subscription");
    }
    fuzz::Check(fuzz::Tree(fuzz::Root()).size() == 1, "a rewrite left a temporary file");
    return 0;
}
