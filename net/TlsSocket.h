#pragma once
// A stream socket that can carry TLS, as a client. Until StartClient it is a
// plain StreamSocket; after it the owner drives the handshake with
// ContinueHandshake from its read and write notifications, and once that
// has reported 1, Read and Write move plain text through the TLS engine
// with the base's conventions (would block: success with nothing moved;
// length 0 without EWOULDBLOCK: the peer closed). Nothing blocks: a read
// that needs a write arms the write notification, and a write that needs a
// read is retried when the owner's next Read has taken data, which arms a
// write notification for it. Failures keep a text for the log (Failure()).
//
// Writes go through the descriptor with write(2): the process must ignore
// SIGPIPE, as SocketManager's start-up and the hosts arrange.

#include <memory>
#include <string>

#include "net/Socket.h"

struct TlsClientOptions {
    enum class Verify {
        Chain,  // the chain against the trust store, and the host name
        Pin,    // only the certificate's SHA-256 fingerprint
        None,   // nothing
    };
    std::string hostName;  // checked (Chain) and sent as the server name
    Verify verify = Verify::Chain;
    std::string fingerprint;  // Pin: hex, colons, blanks and letter case ignored
    std::string caFile;       // Chain: PEM file to trust instead of the system's store
};

class TlsSocket : public StreamSocket {
public:
    TlsSocket();
    explicit TlsSocket(EventLoop& loop);
    TlsSocket(EventLoop& loop, const SocketAddress& address, int family, int type, int protocol);
    ~TlsSocket() override;
    TlsSocket(const TlsSocket&) = delete;
    TlsSocket& operator=(const TlsSocket&) = delete;

    // Begins the client side of a handshake on the connected socket. -1
    // when it cannot (Failure() says why).
    int StartClient(const TlsClientOptions& options);
    // 1 done, 0 under way (a later read or write notification goes on),
    // -1 failed (Failure() says why, e.g. "certificate has expired").
    int ContinueHandshake();
    bool Handshaking() const { return tls_ != nullptr && !secured_; }
    bool Secured() const { return secured_; }
    const std::string& Failure() const { return failure_; }
    // The protocol and cipher in use, e.g. "TLSv1.3, TLS_AES_256_GCM_SHA384".
    std::string Description() const;
    // Sends the closing alert if the socket takes it now; never waits.
    void SendCloseNotify();

    int Read(char* buffer, int& length) override;
    int Write(const char* data, int& length, int flags = 0) override;
    int GetTotalWaitingSize() const override;

    // "AB:CD:..." or "abcd..." to lower-case hex without separators; empty
    // when anything else is in it or it is not 64 digits long.
    static std::string NormalizeFingerprint(const std::string& text);

private:
    struct Engine;
    // The engine's error as words, after a failed call returning r.
    std::string ErrorText(int r, const char* during);
    void ArmWrite();
    void DeliverPendingLater();

    std::unique_ptr<Engine> tls_;
    bool secured_ = false;
    bool writeWantsRead_ = false;
    int pendingReadTimer_ = 0;
    TlsClientOptions options_;
    std::string failure_;
};
