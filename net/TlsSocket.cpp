#include "net/TlsSocket.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cerrno>

struct TlsSocket::Engine {
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    ~Engine() {
        if (ssl != nullptr) SSL_free(ssl);
        if (ctx != nullptr) SSL_CTX_free(ctx);
    }
};

namespace {

bool IsAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

std::string Hex(const unsigned char* bytes, unsigned int n) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

}  // namespace

TlsSocket::TlsSocket() = default;
TlsSocket::TlsSocket(EventLoop& loop) : StreamSocket(loop) {}
TlsSocket::TlsSocket(EventLoop& loop, const SocketAddress& address, int family, int type,
                     int protocol)
    : StreamSocket(loop, address, family, type, protocol) {}

TlsSocket::~TlsSocket() {
    if (pendingReadTimer_ != 0 && loop_ != nullptr) loop_->Cancel(pendingReadTimer_);
}

std::string TlsSocket::NormalizeFingerprint(const std::string& text) {
    std::string hex;
    for (const char c : text) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() == 64 ? hex : std::string();
}

int TlsSocket::StartClient(const TlsClientOptions& options) {
    options_ = options;
    failure_.clear();
    secured_ = false;
    if (!fd_.Valid()) {
        failure_ = "the connection is not open";
        return Fail(ENOTSOCK);
    }
    if (options.verify == TlsClientOptions::Verify::Pin &&
        NormalizeFingerprint(options.fingerprint).empty()) {
        failure_ = "the certificate fingerprint to accept is not 64 hexadecimal digits";
        return Fail(EINVAL);
    }
    auto engine = std::make_unique<Engine>();
    ERR_clear_error();
    engine->ctx = SSL_CTX_new(TLS_client_method());
    if (engine->ctx == nullptr) {
        failure_ = ErrorText(0, "setting up TLS");
        return Fail(ENOMEM);
    }
    SSL_CTX_set_min_proto_version(engine->ctx, TLS1_2_VERSION);
    // Write reports what went out record by record, and a retry may offer
    // the same bytes from another address: the owner's queue moves.
    SSL_CTX_set_mode(engine->ctx,
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (options.verify == TlsClientOptions::Verify::Chain) {
        const bool loaded =
            options.caFile.empty()
                ? SSL_CTX_set_default_verify_paths(engine->ctx) == 1
                : SSL_CTX_load_verify_locations(engine->ctx, options.caFile.c_str(), nullptr) == 1;
        if (!loaded) {
            failure_ = options.caFile.empty()
                           ? "the system's trusted certificates cannot be loaded"
                           : "the trusted certificates in " + options.caFile + " cannot be loaded";
            return Fail(EINVAL);
        }
        SSL_CTX_set_verify(engine->ctx, SSL_VERIFY_PEER, nullptr);
    } else {
        SSL_CTX_set_verify(engine->ctx, SSL_VERIFY_NONE, nullptr);
    }
    engine->ssl = SSL_new(engine->ctx);
    if (engine->ssl == nullptr || SSL_set_fd(engine->ssl, fd_.Get()) != 1) {
        failure_ = ErrorText(0, "setting up TLS");
        return Fail(ENOMEM);
    }
    const std::string& host = options.hostName;
    if (!host.empty() && !IsAddressLiteral(host))
        SSL_set_tlsext_host_name(engine->ssl, host.c_str());
    if (options.verify == TlsClientOptions::Verify::Chain && !host.empty()) {
        X509_VERIFY_PARAM* param = SSL_get0_param(engine->ssl);
        const int ok = IsAddressLiteral(host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                                              : X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0);
        if (ok != 1) {
            failure_ = "the host name " + host + " cannot be checked";
            return Fail(EINVAL);
        }
    }
    SSL_set_connect_state(engine->ssl);
    tls_ = std::move(engine);
    return 0;
}

int TlsSocket::ContinueHandshake() {
    if (tls_ == nullptr) {
        failure_ = "TLS was not started";
        return -1;
    }
    if (secured_) return 1;
    ERR_clear_error();
    const int r = SSL_do_handshake(tls_->ssl);
    if (r != 1) {
        const int e = SSL_get_error(tls_->ssl, r);
        if (e == SSL_ERROR_WANT_READ) return 0;
        if (e == SSL_ERROR_WANT_WRITE) {
            ArmWrite();
            return 0;
        }
        const long verified = SSL_get_verify_result(tls_->ssl);
        if (options_.verify == TlsClientOptions::Verify::Chain && verified != X509_V_OK)
            failure_ = X509_verify_cert_error_string(verified);
        else
            failure_ = ErrorText(r, "the handshake");
        lastError_ = ECONNRESET;
        return -1;
    }
    if (options_.verify == TlsClientOptions::Verify::Pin) {
        X509* cert = SSL_get1_peer_certificate(tls_->ssl);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        const bool digested = cert != nullptr && X509_digest(cert, EVP_sha256(), md, &n) == 1;
        X509_free(cert);
        if (!digested) {
            failure_ = "the server sent no certificate";
            lastError_ = ECONNRESET;
            return -1;
        }
        const std::string got = Hex(md, n);
        if (got != NormalizeFingerprint(options_.fingerprint)) {
            failure_ = "the certificate's SHA-256 fingerprint " + got +
                       " is not the one configured to accept";
            lastError_ = ECONNRESET;
            return -1;
        }
    }
    secured_ = true;
    return 1;
}

std::string TlsSocket::Description() const {
    if (!secured_) return {};
    return std::string(SSL_get_version(tls_->ssl)) + ", " + SSL_get_cipher_name(tls_->ssl);
}

void TlsSocket::SendCloseNotify() {
    if (!secured_) return;
    ERR_clear_error();
    SSL_shutdown(tls_->ssl);  // one attempt; the close follows anyway
}

std::string TlsSocket::ErrorText(int r, const char* during) {
    const unsigned long code = ERR_peek_last_error();
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        ERR_clear_error();
        if (reason != nullptr) return reason;
        return std::string("TLS error during ") + during;
    }
    if (r == 0) return std::string("the connection was closed during ") + during;
    if (errno != 0) return std::string("the connection broke during ") + during;
    return std::string("TLS error during ") + during;
}

void TlsSocket::ArmWrite() {
    ready_.writeArmed = true;
    Rearm();
}

// Bytes the engine holds decrypted raise no readiness on the descriptor:
// they are reported on the next turn of the loop instead.
void TlsSocket::DeliverPendingLater() {
    if (pendingReadTimer_ != 0 || loop_ == nullptr) return;
    pendingReadTimer_ = loop_->After(0, [this, alive = alive_] {
        if (!*alive) return;
        pendingReadTimer_ = 0;
        if (fd_.Valid() && secured_ && SSL_pending(tls_->ssl) > 0) Deliver(sockev::Read, 0);
    });
}

int TlsSocket::Read(char* buffer, int& length) {
    if (!secured_) {
        if (tls_ != nullptr) {  // nothing is plain text once TLS has begun
            length = 0;
            lastError_ = EWOULDBLOCK;
            return 0;
        }
        return StreamSocket::Read(buffer, length);
    }
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    const int wanted = length;
    int got = 0;
    bool closed = false;
    while (got < wanted) {
        ERR_clear_error();
        const int r = SSL_read(tls_->ssl, buffer + got, wanted - got);
        if (r > 0) {
            got += r;
            continue;
        }
        const int e = SSL_get_error(tls_->ssl, r);
        if (e == SSL_ERROR_WANT_READ) break;
        if (e == SSL_ERROR_WANT_WRITE) {
            ArmWrite();
            break;
        }
        if (e == SSL_ERROR_ZERO_RETURN) {
            closed = true;
            break;
        }
        if (got > 0) break;  // the error comes again with the next read
        failure_ = ErrorText(r, "reading");
        length = 0;
        return Fail(ECONNRESET);
    }
    length = got;
    if (got > 0 && writeWantsRead_) {
        writeWantsRead_ = false;
        ArmWrite();
    }
    if (got == wanted && SSL_pending(tls_->ssl) > 0) DeliverPendingLater();
    lastError_ = got == 0 && !closed ? EWOULDBLOCK : 0;
    return 0;
}

int TlsSocket::Write(const char* data, int& length, int flags) {
    if (!secured_) {
        if (tls_ != nullptr) {
            length = 0;
            lastError_ = EWOULDBLOCK;
            return 0;
        }
        return StreamSocket::Write(data, length, flags);
    }
    if (!fd_.Valid()) {
        length = 0;
        return Fail(ENOTSOCK);
    }
    const int wanted = length;
    int done = 0;
    while (done < wanted) {
        ERR_clear_error();
        const int r = SSL_write(tls_->ssl, data + done, wanted - done);
        if (r > 0) {
            done += r;
            continue;
        }
        const int e = SSL_get_error(tls_->ssl, r);
        if (e == SSL_ERROR_WANT_WRITE) {
            ArmWrite();
            break;
        }
        if (e == SSL_ERROR_WANT_READ) {
            writeWantsRead_ = true;
            break;
        }
        if (done > 0) break;
        failure_ = ErrorText(r, "writing");
        length = 0;
        return Fail(EPIPE);
    }
    length = done;
    if (done < wanted) lastError_ = EWOULDBLOCK;
    return 0;
}

int TlsSocket::GetTotalWaitingSize() const {
    const int driver = GetDriverWaitingSize();
    return secured_ ? driver + SSL_pending(tls_->ssl) : driver;
}
