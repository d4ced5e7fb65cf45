#pragma once
// Socket addresses (the 16-byte Internet address record: family, port and
// IPv4 address in network byte order, eight zero bytes) and host-name
// lookup.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/EventLoop.h"

struct sockaddr_in;

// The generic address: a family and 14 data bytes.
class SocketAddress {
public:
    SocketAddress() = default;
    SocketAddress(std::uint16_t family, const void* data, int length);
    SocketAddress(const SocketAddress&) = default;
    SocketAddress& operator=(const SocketAddress&) = default;
    virtual ~SocketAddress() = default;

    // Stores the family and the first min(length, 14) data bytes.
    void SetAddress(std::uint16_t family, const void* data, int length);
    std::uint16_t GetFamily() const { return family_; }
    const std::uint8_t* GetData() const { return data_; }

    bool operator==(const SocketAddress& other) const;

    // The system's sockaddr_in form, and back (always 16 bytes).
    void ToSockAddr(sockaddr_in& out) const;
    void FromSockAddr(const sockaddr_in& in);

protected:
    std::uint16_t family_ = 0;
    std::uint8_t data_[14] = {};
};

// The Internet form. Port and address are kept in network byte order, as
// callers store them (htons(119), ConvertAddress("127.0.0.1")).
class INetSocketAddress : public SocketAddress {
public:
    // The value ConvertAddress gives for a text that is not a dotted address
    // (also the value of 255.255.255.255, which is therefore not accepted).
    static constexpr std::uint32_t kAddressNone = 0xFFFFFFFFu;

    // Family 2, port 0, any address.
    INetSocketAddress();
    INetSocketAddress(std::uint16_t port, std::uint32_t address, std::uint16_t family = 2);
    INetSocketAddress(std::uint16_t port, const char* dotted, std::uint16_t family = 2);
    INetSocketAddress(const SocketAddress& other) : SocketAddress(other) {}
    INetSocketAddress& operator=(const SocketAddress& other) {
        SocketAddress::operator=(other);
        return *this;
    }

    void SetAddress(std::uint16_t family, std::uint16_t port, std::uint32_t address);
    std::uint16_t GetPort() const;
    void SetPort(std::uint16_t port);
    std::uint32_t GetNetworkAddress() const;
    void SetNetworkAddress(std::uint32_t address);
    void SetNetworkAddress(const char* dotted);

    // Four decimal numbers 0-255 separated by points, to the address in
    // network byte order; kAddressNone for anything else.
    static std::uint32_t ConvertAddress(const char* dotted);
    // The address (network byte order) as dotted-decimal text.
    static std::string ConvertAddress(std::uint32_t address);
    static bool IsAddressDottedDecimal(const char* text);

    // Classful view of the address: 0 A, 1 B, 2 C, 3 other; GetNetwork and
    // GetNode are in host byte order (0 for class 3).
    int GetClass() const;
    std::uint32_t GetNetwork() const;
    std::uint32_t GetNode() const;
};

// A host record: official name, aliases, address type and length, and the
// IPv4 addresses (network byte order) in the resolver's order.
class HostEntry {
public:
    std::string name;
    std::vector<std::string> aliases;
    int addressType = 0;
    int addressLength = 0;
    std::vector<std::uint32_t> addresses;

    int GetAddressCount() const { return static_cast<int>(addresses.size()); }
    // The n-th address (from 0), or 0 when n is out of range.
    std::uint32_t GetNthINetAddress(int n) const;
};

// Host-name lookup. The blocking forms stall the calling thread until the
// resolver answers; the asynchronous forms run the resolver on a short-lived
// thread and deliver the outcome on the loop's thread, so readers are served
// meanwhile.
class HostInfoManager {
public:
    // The completion messages of name and service lookups.
    static constexpr int kServiceLookup = 1326;
    static constexpr int kHostLookup = 1327;

    // Called on the loop's thread when an asynchronous lookup finishes:
    // error 0 and the record, or a lookup error (11001 host not found, ...).
    using Completion = std::function<void(int error, const HostEntry& entry)>;

    // loop: where asynchronous lookups complete; nullptr for a manager that
    // only looks up blocking.
    explicit HostInfoManager(EventLoop* loop);
    // Cancels an outstanding request: its completion is never delivered.
    ~HostInfoManager();
    HostInfoManager(const HostInfoManager&) = delete;
    HostInfoManager& operator=(const HostInfoManager&) = delete;

    // Blocking lookups: 0 and the record, or -1 with LastError().
    int GetHostInfo(HostEntry& entry, const char* name);
    int GetHostInfo(HostEntry& entry, const INetSocketAddress& address);
    // The first address of the host as dotted text; the text is left
    // untouched on failure.
    int GetHostAddress(std::string& dotted, const char* name);
    int GetHostAddress(INetSocketAddress& address, const char* name);
    static int HostEntryToAddress(const HostEntry& entry, std::string& dotted);
    static int HostEntryToAddress(const HostEntry& entry, INetSocketAddress& address);
    int GetHostName(char* buffer, int size);

    // Asynchronous lookups (by name, or reverse by address). handle
    // receives the request's id. On completion the record is kept in the
    // manager (AsyncResult) and message kHostLookup (1327) goes to the
    // manager's own handling (HostRequestCompleted), or, in the window
    // forms, the given message is posted to window with wParam = handle and
    // lParam = error << 16. One request at a time: starting another cancels
    // the outstanding one. 0, or -1 with LastError().
    int GetHostInfoAsync(int& handle, const char* name);
    int GetHostInfoAsync(int& handle, const INetSocketAddress& address);
    int GetHostInfoAsync(int& handle, MessageTarget* window, int message, const char* name);
    int GetHostInfoAsync(int& handle, MessageTarget* window, int message,
                         const INetSocketAddress& address);
    // The same with a callback instead of a message.
    int GetHostInfoAsync(int& handle, const char* name, Completion done);

    // Cancels the given request, or the outstanding one when handle is 0;
    // with neither, LastError() becomes 10022 and -1 is returned.
    int CancelHostRequest(int handle = 0);
    // Marks the outstanding request complete; a non-zero error becomes the
    // last error.
    void HostRequestCompleted(int error);

    bool Completed() const { return completed_; }
    // The record of the last completed asynchronous lookup.
    const HostEntry& AsyncResult() const { return result_; }
    int LastError() const { return lastError_; }

    // The resolver's error as a socket error code (11001 ... 11004).
    static int LookupErrorToWinsock(int gaiError);

private:
    struct Request;
    int Start(int& handle, bool reverse, const std::string& name, std::uint32_t address,
              MessageTarget* window, int message, Completion done);
    void Finish(const std::shared_ptr<Request>& request);

    EventLoop* loop_;
    bool completed_ = false;
    int lastError_ = 0;
    HostEntry result_;
    std::shared_ptr<Request> pending_;
    int nextHandle_ = 1;
};
