#include "settings/Setup.h"

#include <unistd.h>

#include <cstdlib>

#include "core/Text.h"
#include "settings/Base64.h"
#include "settings/Cipher.h"
#include "settings/Profile.h"

namespace {

// The scramble key of the stored dial-up password; changing it makes every
// stored password unreadable.
constexpr std::string_view kPasswordKey = "<WSAQUEUEFULLY> SEND QUEUE IS FULL NOW";
static_assert(kPasswordKey.size() == 38);

// Longest values the getters read (the table's limits); longer values are cut.
constexpr std::size_t kNumberMax = 9;
constexpr std::size_t kTextMax = 199;
constexpr std::size_t kDependancyMax = 259;
// Paths are not cut: a cut path written back with a "/" would destroy it.
constexpr std::size_t kPathMax = 4095;

using text::EqualsNoCase;

using text::TrimBlanks;

std::string CurrentDirectory() {
    std::string buf(4096, '\0');
    if (::getcwd(buf.data(), buf.size()) == nullptr) return ".";
    buf.resize(buf.find('\0'));
    return buf;
}

}  // namespace

Setup::Setup(std::string_view file) {
    std::string name(file.empty() ? std::string_view(kMainIniName) : file);
    const auto slash = name.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (EqualsNoCase(std::string_view(name).substr(base), kMainIniName))
        name.replace(base, std::string::npos, kMainIniName);
    path_ = name.starts_with('/') ? name : CurrentDirectory() + "/" + name;
}

std::string Setup::Read(std::string_view section, std::string_view key, std::string_view def,
                        std::size_t max) const {
    return profile::GetString(path_, section, key, def, max + 1);
}

int Setup::ReadNumber(std::string_view section, std::string_view key, std::string_view def) const {
    return static_cast<int>(std::atol(Read(section, key, def, kNumberMax).c_str()));
}

bool Setup::Write(std::string_view section, std::string_view key, std::string_view value) const {
    return profile::WriteString(path_, section, key, value);
}

int Setup::GetListenPort() const { return ReadNumber("admin", "ListenPort", "119"); }
bool Setup::SetListenPort(std::string_view port) { return Write("admin", "ListenPort", port); }
bool Setup::SetListenPort(long port) { return SetListenPort(std::to_string(port)); }

int Setup::GetServerTimeout() const { return ReadNumber("admin", "ServerTimeout", "60"); }
bool Setup::SetServerTimeout(std::string_view seconds) {
    return Write("admin", "ServerTimeout", seconds);
}
bool Setup::SetServerTimeout(long seconds) { return SetServerTimeout(std::to_string(seconds)); }

int Setup::GetSleepTime() const { return ReadNumber("admin", "SleepTime", "0"); }
bool Setup::SetSleepTime(std::string_view minutes) { return Write("admin", "SleepTime", minutes); }
bool Setup::SetSleepTime(long minutes) { return SetSleepTime(std::to_string(minutes)); }

std::string Setup::GetNewsDirectory() const {
    std::string dir = Read("admin", "NewsPath", "!", kPathMax);
    if (dir.starts_with('!')) return dir;
    // An empty value would make every store path absolute under "/".
    if (dir.empty()) return "!";
    if (!dir.ends_with('/')) {
        dir += '/';
        Write("admin", "NewsPath", dir);
    }
    return dir;
}

bool Setup::SetNewsDirectory(std::string_view path) {
    std::string dir(TrimBlanks(path));
    if (dir.empty()) return Write("admin", "NewsPath", "!");
    if (!dir.ends_with('/')) dir += '/';
    return Write("admin", "NewsPath", dir);
}

std::string Setup::GetPostingHost() const { return Read("admin", "PostingHost", "!", kTextMax); }
bool Setup::SetPostingHost(std::string_view host) { return Write("admin", "PostingHost", host); }
std::string Setup::GetMessageIdHost() const {
    return Read("admin", "MessageIdHost", "!", kTextMax);
}
bool Setup::SetMessageIdHost(std::string_view host) {
    return Write("admin", "MessageIdHost", host);
}

std::string Setup::GetRasProfile() const { return Read("ras", "Profile", "(None)", kTextMax); }
bool Setup::SetRasProfile(std::string_view entry) { return Write("ras", "Profile", entry); }

std::string Setup::GetRasLogin() const { return Read("ras", "Login", " ", kTextMax); }
bool Setup::SetRasLogin(std::string_view login) { return Write("ras", "Login", login); }

namespace {

std::string Unscramble(const std::string& stored) {
    std::string plain = Decoder().DecodeString(stored);
    return Cipher().Decrypt(kPasswordKey, plain);
}

std::string Scramble(std::string_view password) {
    std::string text(password);
    Cipher().Encrypt(kPasswordKey, text);
    int column = 0;
    const std::string encoded = Encoder().EncodeString(text, column);
    // A profile value ends at the line end, and the decoder skips CR but
    // stops at LF: the encoder's line breaks stay out of the file.
    std::string oneLine;
    for (const char c : encoded)
        if (c != '\r' && c != '\n') oneLine += c;
    return oneLine;
}

}  // namespace

std::string Setup::GetRasPassword() const {
    return Unscramble(Read("ras", "Password", " ", kTextMax));
}

bool Setup::PasswordStorable(std::string_view password) {
    if (password.size() > kMaxPassword) return false;
    std::string text(password);
    Cipher().Encrypt(kPasswordKey, text);
    return text.find('\0') == std::string::npos;
}

bool Setup::SetRasPassword(std::string_view password) {
    if (password.size() > kMaxPassword) return false;
    return Write("ras", "Password", Scramble(password));
}

std::string Setup::GetFeedUser() const {
    return std::string(TrimBlanks(Read("Newsfeed01", "User", "", kTextMax)));
}
bool Setup::SetFeedUser(std::string_view user) { return Write("Newsfeed01", "User", user); }

std::string Setup::GetFeedPassword() const {
    return Unscramble(Read("Newsfeed01", "Password", " ", kTextMax));
}
bool Setup::SetFeedPassword(std::string_view password) {
    if (password.size() > kMaxPassword) return false;
    return Write("Newsfeed01", "Password", Scramble(password));
}

std::string Setup::GetFeedSecurity() const {
    const std::string value(TrimBlanks(Read("Newsfeed01", "Security", "none", kTextMax)));
    if (EqualsNoCase(value, "tls")) return "tls";
    if (EqualsNoCase(value, "starttls")) return "starttls";
    return "none";
}
bool Setup::SetFeedSecurity(std::string_view security) {
    return Write("Newsfeed01", "Security", security);
}

std::string Setup::GetFeedVerifyCert() const {
    const std::string value(TrimBlanks(Read("Newsfeed01", "VerifyCert", "Yes", kTextMax)));
    return value.empty() ? "Yes" : value;
}
bool Setup::SetFeedVerifyCert(std::string_view verify) {
    return Write("Newsfeed01", "VerifyCert", verify);
}

std::string Setup::GetFeedCAFile() const {
    return std::string(TrimBlanks(Read("Newsfeed01", "CAFile", "", kPathMax)));
}
bool Setup::SetFeedCAFile(std::string_view path) { return Write("Newsfeed01", "CAFile", path); }

int Setup::GetWaitForConnect() const { return ReadNumber("ras", "WaitForConnect", "60"); }
bool Setup::SetWaitForConnect(std::string_view seconds) {
    return Write("ras", "WaitForConnect", seconds);
}
bool Setup::SetWaitForConnect(long seconds) { return SetWaitForConnect(std::to_string(seconds)); }

int Setup::GetRedialAttempts() const { return ReadNumber("ras", "redialattempts", "5"); }
bool Setup::SetRedialAttempts(std::string_view count) {
    return Write("ras", "redialattempts", count);
}
bool Setup::SetRedialAttempts(long count) { return SetRedialAttempts(std::to_string(count)); }

bool Setup::GetDropConnection() const {
    return !Read("ras", "DropConnect", "Y", kNumberMax).starts_with('N');
}
bool Setup::SetDropConnection(bool drop) {
    return Write("ras", "DropConnect", drop ? "Yes" : "No");
}

std::string Setup::GetRasBackend() const { return Read("ras", "Backend", "nm", kTextMax); }
bool Setup::SetRasBackend(std::string_view backend) { return Write("ras", "Backend", backend); }

std::string Setup::GetExpireAge() const { return Read("expire", "age", "31", kNumberMax); }
bool Setup::SetExpireAge(std::string_view days) { return Write("expire", "age", days); }
std::string Setup::GetExpireSize() const { return Read("expire", "size", "9999", kNumberMax); }
bool Setup::SetExpireSize(std::string_view kilobytes) { return Write("expire", "size", kilobytes); }
std::string Setup::GetExpireCondAge() const { return Read("expire", "CondAge", "999", kNumberMax); }
bool Setup::SetExpireCondAge(std::string_view days) { return Write("expire", "CondAge", days); }
std::string Setup::GetExpireCondSize() const {
    return Read("expire", "CondSize", "9999", kNumberMax);
}
bool Setup::SetExpireCondSize(std::string_view kilobytes) {
    return Write("expire", "CondSize", kilobytes);
}

bool Setup::GetDependancy(std::string& name, int n) const {
    name = Read("Service", "Dependancy" + std::to_string(n), "/", kDependancyMax);
    return name != "/";
}

bool Setup::SetDependancy(std::string_view name, int n) {
    return Write("Service", "Dependancy" + std::to_string(n), name);
}

bool Setup::GetRunAsService() const {
    const std::string v = Read("Service", "RunAsService", "No", kTextMax);
    return v.starts_with('Y') || v.starts_with('y');
}
bool Setup::SetRunAsService(bool service) {
    return Write("Service", "RunAsService", service ? "Yes" : "No");
}

std::string Setup::GetServiceName() const {
    return Read("Service", "ServiceName", "Quorvel", kTextMax);
}
bool Setup::SetServiceName(std::string_view name) { return Write("Service", "ServiceName", name); }
