#pragma once
// The "Setup" page of the settings sheet, without its window: the reader
// port, the posting host, the news directory and the inactivity time-out,
// and the reader allow list "allowip.ini" beside the main settings file. A
// front-end shows the transfer record and calls the page's commands; Apply
// writes the four settings and the allow list.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Setup;

// What the page's controls hold.
struct msPacket {
    std::string listenPort;              // "Listen Port", 9 characters
    std::string postingHost;             // "Posting Host", 254
    std::string newsPath;                // "News Path", 254
    std::string timeout;                 // "Inactivity Timeout", 6
    std::string mask;                    // "IP Mask", 29; empty when the page opens
    std::vector<std::string> allowList;  // "Serving IPs"
    int selected = -1;                   // the selected entry, -1 none
};

class mainSet {
public:
    static constexpr const char* kTitle = "Setup";
    static constexpr const char* kAllowFile = "allowip.ini";
    // Longest allow-list line read; shorter than kShortestEntry ends the list.
    static constexpr std::size_t kAllowLineMax = 89;
    static constexpr std::size_t kShortestEntry = 5;
    static constexpr std::size_t kMaskMax = 29;
    static constexpr std::size_t kTextMax = 254;  // "Posting Host", "News Path"

    // The four settings into the record; the allow list comes with
    // SetupWindow.
    explicit mainSet(Setup& setup);

    // Fills the allow list from the file: lines in file order up to the
    // first one shorter than kShortestEntry characters.
    void SetupWindow();
    // "<<< Add": appends the mask as typed and empties the field. false,
    // and nothing added, for a mask shorter than kShortestEntry: read back,
    // it would end the list and every entry after it would be lost.
    bool AddIpButton();
    // A double click: removes the selected entry.
    void DelIpButton();
    // Why the record cannot be applied as it stands, as the owner is told:
    // a port that is no port number, a time-out that is no number of
    // seconds, an empty or over-long posting host or news path. nullopt:
    // it can.
    std::optional<std::string> Check() const;
    // Why a mask could never admit anyone: not four parts separated by
    // dots, each a number from 0 to 255 or "*", or longer than the field.
    static std::optional<std::string> MaskProblem(std::string_view mask);

    // Writes the settings that differ from what the page was filled with,
    // and rewrites the allow list when it was changed (to a new file renamed
    // over the old, so readers never see half of it): a page that was only
    // looked at changes nothing, not even a default into the file. false
    // when something could not be written.
    bool Apply();

    msPacket& Transfer() { return packet_; }
    const msPacket& Transfer() const { return packet_; }
    std::string AllowPath() const;

private:
    bool WriteAllowList() const;

    Setup& setup_;
    msPacket packet_;
    msPacket filled_;  // what the page was filled with, or last applied
};
