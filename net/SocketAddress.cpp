#include "net/SocketAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

// ---- SocketAddress ---------------------------------------------------------

SocketAddress::SocketAddress(std::uint16_t family, const void* data, int length) {
    SetAddress(family, data, length);
}

void SocketAddress::SetAddress(std::uint16_t family, const void* data, int length) {
    family_ = family;
    const int n = std::clamp(length, 0, 14);
    if (data != nullptr && n > 0) std::memcpy(data_, data, static_cast<std::size_t>(n));
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return family_ == other.family_ && std::memcmp(data_, other.data_, sizeof data_) == 0;
}

void SocketAddress::ToSockAddr(sockaddr_in& out) const {
    static_assert(sizeof(sockaddr_in) == 16);
    std::memset(&out, 0, sizeof out);
    out.sin_family = family_;
    std::memcpy(&out.sin_port, data_, 2);
    std::memcpy(&out.sin_addr, data_ + 2, 4);
}

void SocketAddress::FromSockAddr(const sockaddr_in& in) {
    family_ = in.sin_family;
    std::memset(data_, 0, sizeof data_);
    std::memcpy(data_, &in.sin_port, 2);
    std::memcpy(data_ + 2, &in.sin_addr, 4);
}

// ---- INetSocketAddress -----------------------------------------------------

INetSocketAddress::INetSocketAddress() { SetAddress(AF_INET, 0, 0); }

INetSocketAddress::INetSocketAddress(std::uint16_t port, std::uint32_t address,
                                     std::uint16_t family) {
    SetAddress(family, port, address);
}

INetSocketAddress::INetSocketAddress(std::uint16_t port, const char* dotted, std::uint16_t family) {
    SetAddress(family, port, ConvertAddress(dotted));
}

void INetSocketAddress::SetAddress(std::uint16_t family, std::uint16_t port,
                                   std::uint32_t address) {
    family_ = family;
    std::memset(data_, 0, sizeof data_);
    SetPort(port);
    SetNetworkAddress(address);
}

std::uint16_t INetSocketAddress::GetPort() const {
    std::uint16_t port;
    std::memcpy(&port, data_, 2);
    return port;
}

void INetSocketAddress::SetPort(std::uint16_t port) { std::memcpy(data_, &port, 2); }

std::uint32_t INetSocketAddress::GetNetworkAddress() const {
    std::uint32_t address;
    std::memcpy(&address, data_ + 2, 4);
    return address;
}

void INetSocketAddress::SetNetworkAddress(std::uint32_t address) {
    std::memcpy(data_ + 2, &address, 4);
}

void INetSocketAddress::SetNetworkAddress(const char* dotted) {
    SetNetworkAddress(ConvertAddress(dotted));
}

std::uint32_t INetSocketAddress::ConvertAddress(const char* dotted) {
    if (dotted == nullptr) return kAddressNone;
    std::uint32_t host = 0;
    const char* p = dotted;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return kAddressNone;
            ++p;
        }
        if (*p < '0' || *p > '9') return kAddressNone;
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || value > 255) return kAddressNone;
            ++p;
        }
        host = (host << 8) | value;
    }
    if (*p != '\0') return kAddressNone;
    return htonl(host);
}

std::string INetSocketAddress::ConvertAddress(std::uint32_t address) {
    const std::uint32_t h = ntohl(address);
    return std::to_string(h >> 24) + "." + std::to_string((h >> 16) & 255) + "." +
           std::to_string((h >> 8) & 255) + "." + std::to_string(h & 255);
}

bool INetSocketAddress::IsAddressDottedDecimal(const char* text) {
    return ConvertAddress(text) != kAddressNone;
}

int INetSocketAddress::GetClass() const {
    const std::uint32_t h = ntohl(GetNetworkAddress());
    if ((h & 0x80000000u) == 0) return 0;
    if ((h & 0xC0000000u) == 0x80000000u) return 1;
    if ((h & 0xE0000000u) == 0xC0000000u) return 2;
    return 3;
}

namespace {
constexpr std::uint32_t kNetworkMask[] = {0xFF000000u, 0xFFFF0000u, 0xFFFFFF00u, 0};
}

std::uint32_t INetSocketAddress::GetNetwork() const {
    return ntohl(GetNetworkAddress()) & kNetworkMask[GetClass()];
}

std::uint32_t INetSocketAddress::GetNode() const {
    const int c = GetClass();
    if (c == 3) return 0;
    return ntohl(GetNetworkAddress()) & ~kNetworkMask[c];
}

// ---- HostEntry / HostInfoManager -------------------------------------------

std::uint32_t HostEntry::GetNthINetAddress(int n) const {
    if (n < 0 || n >= GetAddressCount()) return 0;
    return addresses[static_cast<std::size_t>(n)];
}

// One asynchronous lookup. The worker thread only fills error and entry and
// then posts; everything else happens on the loop's thread.
struct HostInfoManager::Request {
    int handle = 0;
    bool reverse = false;
    std::string name;
    std::uint32_t address = 0;
    MessageTarget* window = nullptr;
    std::uint64_t windowId = 0;
    int message = 0;
    Completion done;
    bool cancelled = false;  // loop thread only
    int error = 0;
    HostEntry entry;
};

int HostInfoManager::LookupErrorToWinsock(int gaiError) {
    switch (gaiError) {
        case 0: return 0;
        case EAI_NONAME: return 11001;
#ifdef EAI_NODATA
        case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY: return 11004;
#endif
        case EAI_AGAIN: return 11002;
        case EAI_FAIL: return 11003;
        case EAI_MEMORY: return 10055;
        case EAI_SYSTEM: return errno == 0 ? 11003 : 11002;
        default: return 11003;
    }
}

namespace {
// The resolver's answer for a name: the IPv4 addresses in its order,
// duplicates (one per socket type) removed.
int LookupName(const std::string& name, HostEntry& entry) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) return HostInfoManager::LookupErrorToWinsock(rc);
    HostEntry out;
    out.name = (list != nullptr && list->ai_canonname != nullptr) ? list->ai_canonname : name;
    out.addressType = AF_INET;
    out.addressLength = 4;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        const std::uint32_t address = in->sin_addr.s_addr;
        if (std::find(out.addresses.begin(), out.addresses.end(), address) == out.addresses.end())
            out.addresses.push_back(address);
    }
    freeaddrinfo(list);
    if (out.addresses.empty()) return 11004;
    entry = std::move(out);
    return 0;
}

int LookupAddress(std::uint32_t address, HostEntry& entry) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = address;
    char host[NI_MAXHOST];
    const int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host, sizeof host,
                               nullptr, 0, NI_NAMEREQD);
    if (rc != 0) return HostInfoManager::LookupErrorToWinsock(rc);
    HostEntry out;
    out.name = host;
    out.addressType = AF_INET;
    out.addressLength = 4;
    out.addresses.push_back(address);
    entry = std::move(out);
    return 0;
}
}  // namespace

HostInfoManager::HostInfoManager(EventLoop* loop) : loop_(loop) {}

HostInfoManager::~HostInfoManager() {
    if (pending_) pending_->cancelled = true;
}

int HostInfoManager::GetHostInfo(HostEntry& entry, const char* name) {
    if (name == nullptr) {
        lastError_ = 11001;
        return -1;
    }
    const int error = LookupName(name, entry);
    if (error != 0) {
        lastError_ = error;
        return -1;
    }
    return 0;
}

int HostInfoManager::GetHostInfo(HostEntry& entry, const INetSocketAddress& address) {
    const int error = LookupAddress(address.GetNetworkAddress(), entry);
    if (error != 0) {
        lastError_ = error;
        return -1;
    }
    return 0;
}

int HostInfoManager::GetHostAddress(std::string& dotted, const char* name) {
    HostEntry entry;
    if (GetHostInfo(entry, name) != 0) return -1;
    return HostEntryToAddress(entry, dotted);
}

int HostInfoManager::GetHostAddress(INetSocketAddress& address, const char* name) {
    HostEntry entry;
    if (GetHostInfo(entry, name) != 0) return -1;
    return HostEntryToAddress(entry, address);
}

int HostInfoManager::HostEntryToAddress(const HostEntry& entry, std::string& dotted) {
    if (entry.GetAddressCount() == 0) return -1;
    dotted = INetSocketAddress::ConvertAddress(entry.GetNthINetAddress(0));
    return 0;
}

int HostInfoManager::HostEntryToAddress(const HostEntry& entry, INetSocketAddress& address) {
    address.SetNetworkAddress(entry.GetNthINetAddress(0));
    return 0;
}

int HostInfoManager::GetHostName(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        lastError_ = 10014;
        return -1;
    }
    if (gethostname(buffer, static_cast<std::size_t>(size)) != 0) {
        lastError_ = errno == ENAMETOOLONG ? 10014 : 10050;
        return -1;
    }
    buffer[size - 1] = '\0';
    return 0;
}

int HostInfoManager::GetHostInfoAsync(int& handle, const char* name) {
    return Start(handle, false, name != nullptr ? name : "", 0, nullptr, 0, nullptr);
}

int HostInfoManager::GetHostInfoAsync(int& handle, const INetSocketAddress& address) {
    return Start(handle, true, {}, address.GetNetworkAddress(), nullptr, 0, nullptr);
}

int HostInfoManager::GetHostInfoAsync(int& handle, MessageTarget* window, int message,
                                      const char* name) {
    return Start(handle, false, name != nullptr ? name : "", 0, window, message, nullptr);
}

int HostInfoManager::GetHostInfoAsync(int& handle, MessageTarget* window, int message,
                                      const INetSocketAddress& address) {
    return Start(handle, true, {}, address.GetNetworkAddress(), window, message, nullptr);
}

int HostInfoManager::GetHostInfoAsync(int& handle, const char* name, Completion done) {
    return Start(handle, false, name != nullptr ? name : "", 0, nullptr, 0, std::move(done));
}

int HostInfoManager::Start(int& handle, bool reverse, const std::string& name,
                           std::uint32_t address, MessageTarget* window, int message,
                           Completion done) {
    if (loop_ == nullptr) {
        lastError_ = 10093;
        return -1;
    }
    if (pending_) pending_->cancelled = true;
    auto request = std::make_shared<Request>();
    request->handle = nextHandle_++;
    request->reverse = reverse;
    request->name = name;
    request->address = address;
    request->window = window;
    request->windowId = window != nullptr ? window->TargetId() : 0;
    request->message = message;
    request->done = std::move(done);
    completed_ = false;
    pending_ = request;
    handle = request->handle;

    // The worker owns its copies and reaches the loop only through the
    // remote queue, which refuses calls once the loop is gone; the manager
    // itself is touched on the loop's thread, after the cancel check.
    std::shared_ptr<EventLoop::RemoteQueue> remote = loop_->Remote();
    HostInfoManager* self = this;
    try {
        std::thread([request, remote, self] {
            HostEntry entry;
            const int error = request->reverse ? LookupAddress(request->address, entry)
                                               : LookupName(request->name, entry);
            remote->Post([request, self, error, entry = std::move(entry)]() mutable {
                if (request->cancelled) return;
                request->error = error;
                request->entry = std::move(entry);
                self->Finish(request);
            });
        }).detach();
    } catch (...) {
        // No thread to be had: the lookup cannot start.
        pending_.reset();
        lastError_ = 10055;
        return -1;
    }
    return 0;
}

void HostInfoManager::Finish(const std::shared_ptr<Request>& request) {
    if (pending_ == request) pending_.reset();
    result_ = request->entry;
    HostRequestCompleted(request->error);
    if (request->done) {
        request->done(request->error, result_);
    } else if (request->window != nullptr) {
        if (loop_->Alive(request->windowId))
            loop_->Post(request->window, request->message, static_cast<WPARAM>(request->handle),
                        static_cast<LPARAM>(request->error) << 16);
    }
}

int HostInfoManager::CancelHostRequest(int handle) {
    if (pending_ && (handle == 0 || handle == pending_->handle)) {
        pending_->cancelled = true;
        pending_.reset();
        return 0;
    }
    lastError_ = 10022;
    return -1;
}

void HostInfoManager::HostRequestCompleted(int error) {
    completed_ = true;
    if (error != 0) lastError_ = error;
}
