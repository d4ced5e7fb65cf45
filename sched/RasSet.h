#pragma once
// The "RAS" page of the settings sheet, without its window: the dial-up
// profile chosen from the phone book of the dial-up machinery, the login,
// the password, the redial attempts, the time allowed for a connection and
// whether to hang up when the work is done.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class DialUp;
class Setup;

// What the page's controls hold.
struct RasPacket {
    std::vector<std::string> profiles;  // "Profile": "(None)" first
    int selected = -1;                  // -1: none selected
    std::string login;                  // "Login", 254 characters
    std::string password;               // "Password", 254, shown masked
    std::string wait;                   // "Wait for Connection (seconds)", 4
    std::string redial;                 // "Redial Attempts", 2
    bool drop = true;                   // "Terminate RAS Session when Quorvel is finished."
};

class RasSet {
public:
    static constexpr const char* kTitle = "RAS";
    static constexpr const char* kNone = "(None)";
    // The phone book's table holds this many entries; the rest are not shown.
    static constexpr std::size_t kMaxProfiles = 50;

    // The record from the "ras" settings; the profile list is empty until
    // LoadProfiles has answered.
    explicit RasSet(Setup& setup);
    ~RasSet();
    RasSet(const RasSet&) = delete;
    RasSet& operator=(const RasSet&) = delete;

    // Asks dialUp (none: no phone book) for its entries; the list becomes
    // "(None)" and the entries in the order given, and the entry equal to
    // the stored profile (without regard to case) is selected, or none. done
    // runs when the record holds the list, on the loop's thread; never after
    // this page is gone.
    void LoadProfiles(DialUp* dialUp, std::function<void()> done);

    // Why the record cannot be applied as it stands, as the owner is told:
    // redial attempts that are no number from 0 to 99, a wait that is no
    // number of seconds from 1 to 9999, a login over 254 characters, a
    // password that would not read back whole. nullopt: it can.
    std::optional<std::string> Check() const;

    // Writes the record. With no profile selected (the stored one is not in
    // the phone book, or the list has not come yet) the stored profile stays.
    // false, with the reason in *why, when something could not be stored.
    bool Apply(std::string* why = nullptr);

    RasPacket& Transfer() { return packet_; }
    const RasPacket& Transfer() const { return packet_; }

private:
    void Fill(const std::vector<std::string>& names);

    Setup& setup_;
    RasPacket packet_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
