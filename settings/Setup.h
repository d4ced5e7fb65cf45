#pragma once
// Typed access to the main settings file "Quorvel.INI". Nothing is held in
// memory: every getter reads the file at the moment of the call and every
// setter writes it at once, so a value set anywhere is seen by the next read
// everywhere. A missing file or key reads as the setting's default; numbers
// are read as atol reads them (leading digits; none gives 0). Setters return
// false only when the file could not be written (or, for the password, when
// the value cannot be stored); callers that show errors report it.

#include <string>
#include <string_view>

// The canonical name of the main settings file. Any spelling of it in other
// letters cases is taken as this name.
inline constexpr const char* kMainIniName = "Quorvel.INI";

class Setup {
public:
    // The file, fixed now: a relative name is taken against the current
    // directory at construction, and a base name of "quorvel.ini" in any
    // letter case becomes the canonical "Quorvel.INI".
    explicit Setup(std::string_view file = kMainIniName);

    const std::string& IniPath() const { return path_; }

    // "admin"
    int GetListenPort() const;  // default 119
    bool SetListenPort(std::string_view port);
    bool SetListenPort(long port);
    int GetServerTimeout() const;  // seconds, default 60
    bool SetServerTimeout(std::string_view seconds);
    bool SetServerTimeout(long seconds);
    int GetSleepTime() const;  // minutes; 0 = simple schedule off
    bool SetSleepTime(std::string_view minutes);
    bool SetSleepTime(long minutes);
    // The news directory, always ending in "/", or a text beginning with "!"
    // when it is not configured. A stored value without the "/" is corrected
    // in the file as well. Callers append file and group names directly.
    std::string GetNewsDirectory() const;
    // Blanks around the path are dropped and a "/" is appended when missing;
    // an empty path stores "!" (not configured) rather than the root directory.
    bool SetNewsDirectory(std::string_view path);
    std::string GetPostingHost() const;  // "!" = not configured
    bool SetPostingHost(std::string_view host);
    // The right-hand side of the Message-IDs given to postings that carry
    // none; "!" = not configured (the system's host name is used).
    std::string GetMessageIdHost() const;
    bool SetMessageIdHost(std::string_view host);

    // "Newsfeed01": the login and the transport security towards the
    // upstream. Nothing is set by default: no login, no TLS.
    std::string GetFeedUser() const;  // empty: no login
    bool SetFeedUser(std::string_view user);
    // Scrambled as the dial-up password is; the same limits hold.
    std::string GetFeedPassword() const;
    bool SetFeedPassword(std::string_view password);
    // "none" (also for anything unknown), "tls" (TLS from the first byte)
    // or "starttls" (STARTTLS after the greeting), in lower case.
    std::string GetFeedSecurity() const;
    bool SetFeedSecurity(std::string_view security);
    // "Yes" (default): the chain and the host name are checked; "No":
    // nothing is checked; else the SHA-256 fingerprint of the certificate
    // to accept, as stored.
    std::string GetFeedVerifyCert() const;
    bool SetFeedVerifyCert(std::string_view verify);
    // A PEM file of trusted certificates to use instead of the system's;
    // empty: the system's.
    std::string GetFeedCAFile() const;
    bool SetFeedCAFile(std::string_view path);

    // "ras"
    std::string GetRasProfile() const;  // "(None)" = do not dial
    bool SetRasProfile(std::string_view entry);
    std::string GetRasLogin() const;  // default " "
    bool SetRasLogin(std::string_view login);
    // The plain password; empty when none is stored. Stored scrambled and
    // Base64-encoded on one line.
    std::string GetRasPassword() const;
    // false and nothing written for a password longer than kMaxPassword.
    bool SetRasPassword(std::string_view password);
    static constexpr std::size_t kMaxPassword = 99;
    // Whether the password reads back whole once stored: at most
    // kMaxPassword characters, and none that the scramble turns into a
    // zero byte (which the decoder drops).
    static bool PasswordStorable(std::string_view password);
    int GetWaitForConnect() const;  // seconds, default 60
    bool SetWaitForConnect(std::string_view seconds);
    bool SetWaitForConnect(long seconds);
    int GetRedialAttempts() const;  // default 5
    bool SetRedialAttempts(std::string_view count);
    bool SetRedialAttempts(long count);
    // false only when the value begins with an upper-case "N".
    bool GetDropConnection() const;
    bool SetDropConnection(bool drop);  // writes "Yes" or "No"
    // Which dial-up machinery to use: "nm" (NetworkManager) unless set.
    std::string GetRasBackend() const;
    bool SetRasBackend(std::string_view backend);

    // "expire": defaults for groups without limits of their own, as texts.
    std::string GetExpireAge() const;  // days, default "31"
    bool SetExpireAge(std::string_view days);
    std::string GetExpireSize() const;  // kilobytes, default "9999"
    bool SetExpireSize(std::string_view kilobytes);
    std::string GetExpireCondAge() const;  // days, default "999"
    bool SetExpireCondAge(std::string_view days);
    std::string GetExpireCondSize() const;  // kilobytes, default "9999"
    bool SetExpireCondSize(std::string_view kilobytes);

    // "Service"/"Dependancy<n>", n counting from 1. false when the key is
    // missing (its value reads as "/"), which ends the list.
    bool GetDependancy(std::string& name, int n) const;
    bool SetDependancy(std::string_view name, int n);

    // "Service"/"RunAsService": service mode when it begins with "Y" or "y".
    bool GetRunAsService() const;
    bool SetRunAsService(bool service);  // writes "Yes" or "No"
    std::string GetServiceName() const;  // default "Quorvel"
    bool SetServiceName(std::string_view name);

private:
    std::string Read(std::string_view section, std::string_view key, std::string_view def,
                     std::size_t max) const;
    int ReadNumber(std::string_view section, std::string_view key, std::string_view def) const;
    bool Write(std::string_view section, std::string_view key, std::string_view value) const;

    std::string path_;
};
