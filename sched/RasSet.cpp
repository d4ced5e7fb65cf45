#include "sched/RasSet.h"

#include <strings.h>

#include "core/Text.h"
#include "sched/DialUp.h"
#include "settings/Setup.h"

RasSet::RasSet(Setup& setup) : setup_(setup) {
    // An unset login reads as one blank; the box shows it empty.
    packet_.login = setup.GetRasLogin();
    if (packet_.login == " ") packet_.login.clear();
    packet_.password = setup.GetRasPassword();
    packet_.wait = std::to_string(setup.GetWaitForConnect());
    packet_.redial = std::to_string(setup.GetRedialAttempts());
    packet_.drop = setup.GetDropConnection();
}

RasSet::~RasSet() { *alive_ = false; }

void RasSet::LoadProfiles(DialUp* dialUp, std::function<void()> done) {
    if (dialUp == nullptr) {
        Fill({});
        if (done) done();
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    dialUp->ListEntries(
        [this, alive, done = std::move(done)](bool ok, std::vector<std::string> names) {
            const auto token = alive.lock();
            if (!token || !*token) return;
            Fill(ok ? std::move(names) : std::vector<std::string>{});
            if (done) done();
        });
}

void RasSet::Fill(const std::vector<std::string>& names) {
    packet_.profiles = {kNone};
    for (std::size_t i = 0; i < names.size() && i < kMaxProfiles; ++i)
        packet_.profiles.push_back(names[i]);
    const std::string stored = setup_.GetRasProfile();
    packet_.selected = -1;
    for (std::size_t i = 0; i < packet_.profiles.size(); ++i)
        if (::strcasecmp(packet_.profiles[i].c_str(), stored.c_str()) == 0) {
            packet_.selected = static_cast<int>(i);
            break;
        }
}

std::optional<std::string> RasSet::Check() const {
    if (text::DecimalIn(packet_.redial, 0, 99) < 0)
        return "Redial Attempts must be a number from 0 to 99.";
    if (text::DecimalIn(packet_.wait, 1, 9999) < 0)
        return "Wait for Connection must be a number of seconds from 1 to 9999.";
    if (packet_.login.size() > 254) return "The Login may have at most 254 characters.";
    if (packet_.password.size() > Setup::kMaxPassword)
        return "The password may have at most " + std::to_string(Setup::kMaxPassword) +
               " characters.";
    if (!Setup::PasswordStorable(packet_.password))
        return "The password cannot be stored: one of its characters would be lost.";
    return std::nullopt;
}

bool RasSet::Apply(std::string* why) {
    bool ok = true;
    if (packet_.selected >= 0 && packet_.selected < static_cast<int>(packet_.profiles.size()))
        ok = setup_.SetRasProfile(packet_.profiles[static_cast<std::size_t>(packet_.selected)]);
    ok = setup_.SetRasLogin(packet_.login) && ok;
    ok = setup_.SetWaitForConnect(std::string_view(packet_.wait)) && ok;
    ok = setup_.SetRedialAttempts(std::string_view(packet_.redial)) && ok;
    ok = setup_.SetDropConnection(packet_.drop) && ok;
    // Last, so that a password refused leaves the rest stored.
    if (packet_.password.size() > Setup::kMaxPassword) {
        if (why)
            *why = "The password may have at most " + std::to_string(Setup::kMaxPassword) +
                   " characters.";
        return false;
    }
    ok = setup_.SetRasPassword(packet_.password) && ok;
    if (!ok && why) *why = "The settings file could not be written.";
    return ok;
}
