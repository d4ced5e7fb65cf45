#pragma once
// What the groups page of the settings sheet does, without its window: the
// page copies its controls into a gePacket, calls one of the operations and
// copies the packet back. Message boxes are returned as PageMessage values
// for the page to show; the one question (deleting a group) is asked
// through a callback.
//
// Every operation that writes refuses to run while the news directory is
// not configured, so that nothing is created relative to the program's
// directory by accident.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Setup;

namespace store {

// The transfer record of the groups page.
struct gePacket {
    gePacket() = default;
    // The page defaults come from the "expire" settings; each is also the
    // starting value of the corresponding group text.
    gePacket(std::string ageDefault, std::string sizeDefault, std::string condAgeDefault,
             std::string condSizeDefault);

    std::string defAge, defSize, defCondAge, defCondSize;  // "Article Expiration Defaults"
    std::string newGroup;                                  // "Local Group Name"
    std::string age, size, condAge, condSize;              // the selected group's limits
    bool local = false;                                    // "Local Group"
    bool allowPost = false;                                // "Posting Allowed"
    std::vector<std::string> groups;                       // "Current Groups"
};

// The packet as the page starts: defaults from the "expire" settings.
gePacket PacketFromSetup(const Setup& setup);

// A message box: caption and text.
struct PageMessage {
    std::string title;
    std::string text;
    bool operator==(const PageMessage&) const = default;
};

// Asked before a group is deleted; true means Yes.
using AskYesNo = std::function<bool(const PageMessage& question)>;

class GroupPage {
public:
    // newsDir ends with "/". subscriptionFile is the "Newsfeed01" /
    // "SubGroupFile" name (relative to the news directory); empty or
    // beginning with "?" when none is configured.
    GroupPage(std::string newsDir, std::string subscriptionFile, gePacket packet);
    // The page over the configured news directory and subscription file
    // ("Newsfeed01"/"SubGroupFile" of the main INI file).
    static GroupPage FromSetup(const Setup& setup);

    gePacket& Packet() { return packet_; }
    const gePacket& Packet() const { return packet_; }

    // Fills "Current Groups" from the group index, in index order.
    void LoadGroups();

    // Shows a group's limits (its own, or the page defaults where it has
    // none) and its two boxes. false, with defaults and cleared boxes, when
    // the group does not exist; an empty name (no selection) changes nothing.
    bool ShowGroup(std::string_view group);

    // Writes the group's limits (when they differ from the defaults or the
    // group already had its own) and its posting flag. Nothing for an empty
    // name; a message for an unknown group or a failed write.
    std::optional<PageMessage> SaveGroup(std::string_view group);

    // Adds the packet's new group name as a local group (surrounding blanks
    // dropped) and clears the name field. A message when the name is
    // refused, the group exists, or its directory or index entry cannot be
    // made.
    std::optional<PageMessage> AddGroup();

    // Deletes a group with all its articles: list entries (every one, if it
    // is listed several times) and section in the index, its subscription
    // record, the files of its directory and the directory. Refused while a
    // feed session holds the lock file; asks first. Returns the closing
    // message ("Operation Complete" or an error); nothing when there was no
    // selection or the answer was No.
    std::optional<PageMessage> DelGroup(std::string_view group, const AskYesNo& ask);

    // Writes the four page defaults to the main INI file's "expire"
    // section; a message when it cannot be written.
    std::optional<PageMessage> Apply(Setup& setup) const;

    // Whether the group has limits of its own ("ExpireAge" written), not
    // the defaults.
    bool HasOwnLimits(std::string_view group) const;
    // Why a limit typed on the page would not work as one: not a number of
    // at most nine digits. nullopt: it would. what: the limit's name.
    static std::optional<std::string> LimitProblem(std::string_view what, std::string_view value);

private:
    bool HaveNewsDirectory() const;
    bool LimitsDiffer() const;
    bool WriteLimits(std::string_view group) const;

    std::string newsDir_;
    std::string subscriptionFile_;
    gePacket packet_;
};

// Rewrites a subscription file without the records of one group (exact
// comparison of the text from the 13th character on). Every other line is
// kept byte for byte, including lines after a short line in the middle of
// the file. Goes through workPath, which is renamed over the file. true when
// the file is missing (nothing to remove) or was rewritten.
bool RemoveSubscriptionRecords(const std::string& subscriptionPath, const std::string& workPath,
                               std::string_view group);

}  // namespace store
