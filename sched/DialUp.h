#pragma once
// The dial-up machinery behind one interface: the phone book (connection
// profiles), the connections that are up, an asynchronous dial with
// progress events and a hang-up. Every callback runs on the loop's thread,
// never inside the call that started the operation, so a caller may start
// an operation from anywhere without being re-entered.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class EventLoop;
class Setup;

// Connection states of the progress events (the classic dial-up numbering).
namespace rasstate {
inline constexpr int OpenPort = 0;
inline constexpr int PortOpened = 1;
inline constexpr int ConnectDevice = 2;
inline constexpr int DeviceConnected = 3;
inline constexpr int Authenticate = 5;
inline constexpr int AuthNotify = 6;
inline constexpr int AuthRetry = 7;
inline constexpr int AuthProject = 10;
inline constexpr int AuthLinkSpeed = 11;
inline constexpr int Authenticated = 14;
inline constexpr int LogonNetwork = 21;
inline constexpr int Connected = 0x2000;
inline constexpr int Disconnected = 0x2001;
}  // namespace rasstate

struct DialParams {
    std::string entry;  // phone-book entry (connection profile) name
    std::string login;
    std::string password;
};

class DialUp {
public:
    using LogFn = std::function<void(std::string_view)>;
    // ok false: the list could not be produced (names then empty).
    using ListDone = std::function<void(bool ok, std::vector<std::string> names)>;
    // state: a rasstate value; error: 0, or a dial-up error code (601-750).
    using Progress = std::function<void(int state, int error)>;

    virtual ~DialUp() = default;

    // false, with a reason for the user, when this machinery cannot work on
    // this machine at all (its tool is not installed).
    virtual bool Available(std::string* why) const = 0;
    virtual void ListEntries(ListDone done) = 0;
    // Names of the entries whose connections are up.
    virtual void ListActive(ListDone done) = 0;
    // Starts a dial. 0: started, handle set (never 0) and progress follows;
    // otherwise an error code and nothing follows.
    virtual int Dial(const DialParams& params, Progress progress, std::uintptr_t& handle) = 0;
    // Ends a dial or a connection that Dial made; progress of that dial stops.
    // Handle 0 (or one already hung up) does nothing.
    virtual void HangUp(std::uintptr_t handle) = 0;
};

// The machinery "ras"/"Backend" names: "sim" the simulation (its script is
// the file "ras"/"SimScript" names, relative to the current directory),
// anything else NetworkManager through nmcli.
std::unique_ptr<DialUp> MakeDialUp(EventLoop& loop, const Setup& setup, DialUp::LogFn log);
