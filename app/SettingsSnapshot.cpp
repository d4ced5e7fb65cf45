#include "app/SettingsSnapshot.h"

#include <algorithm>
#include <functional>

#include "sched/schedSet.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "settings/mainSet.h"

namespace {

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) {
        if (!text.empty()) text += '\n';
        text += l;
    }
    return text;
}

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        if (lf == std::string::npos) lf = text.size();
        lines.push_back(text.substr(pos, lf - pos));
        pos = lf + 1;
    }
    return lines;
}

std::string Shown(const std::string& value) { return value.empty() ? "(empty)" : value; }

std::string ListChange(const std::string& before, const std::string& after) {
    const std::vector<std::string> was = Split(before);
    const std::vector<std::string> now = Split(after);
    std::string added, removed;
    for (const std::string& n : now)
        if (std::find(was.begin(), was.end(), n) == was.end())
            added += (added.empty() ? "" : ", ") + n;
    for (const std::string& w : was)
        if (std::find(now.begin(), now.end(), w) == now.end())
            removed += (removed.empty() ? "" : ", ") + w;
    std::string line;
    if (!added.empty()) line += "added " + added;
    if (!removed.empty()) line += (line.empty() ? "" : "; ") + std::string("removed ") + removed;
    return line.empty() ? "reordered" : line;
}

}  // namespace

SettingsValues ReadSettingsValues(Setup& setup) {
    const std::string& ini = setup.IniPath();
    // What the pages would show is what the server holds.
    mainSet main(setup);
    main.SetupWindow();
    schedSet sched(setup);
    sched.SetupWindow();
    const std::string login = setup.GetRasLogin();
    return {
        {"ListenPort", std::to_string(setup.GetListenPort())},
        {"NewsPath", setup.GetNewsDirectory()},
        {"PostingHost", setup.GetPostingHost()},
        {"ServerTimeout", std::to_string(setup.GetServerTimeout())},
        {"SleepTime", std::to_string(setup.GetSleepTime())},
        {"Events", Joined(sched.Transfer().events)},
        {"Allow list", Joined(main.Transfer().allowList)},
        {"Newsfeed Name", profile::GetString(ini, "Newsfeed01", "Name", "!", 255)},
        {"Newsfeed Port", profile::GetString(ini, "Newsfeed01", "Port", "119", 30)},
        {"RAS Profile", setup.GetRasProfile()},
        {"RAS Login", login == " " ? std::string() : login},
        // A fingerprint: what was stored is compared, never kept or shown.
        {"RAS Password", std::to_string(std::hash<std::string>{}(setup.GetRasPassword()))},
        {"RAS Redial Attempts", std::to_string(setup.GetRedialAttempts())},
        {"RAS Wait For Connection", std::to_string(setup.GetWaitForConnect())},
        {"RAS Drop Connection", setup.GetDropConnection() ? "yes" : "no"},
        {"Expire age", setup.GetExpireAge()},
        {"Expire size", setup.GetExpireSize()},
        {"Expire condage", setup.GetExpireCondAge()},
        {"Expire condsize", setup.GetExpireCondSize()},
    };
}

std::string SettingsValue(const SettingsValues& values, const std::string& name) {
    for (const auto& [n, v] : values)
        if (n == name) return v;
    return {};
}

std::vector<std::string> SettingsDifferences(const SettingsValues& before,
                                             const SettingsValues& after,
                                             const std::vector<std::string>& skip) {
    std::vector<std::string> lines;
    for (const auto& [name, now] : after) {
        if (std::find(skip.begin(), skip.end(), name) != skip.end()) continue;
        const std::string was = SettingsValue(before, name);
        if (was == now) continue;
        if (name == "RAS Password")
            lines.push_back(name + ": changed");
        else if (name == "Allow list")
            lines.push_back(name + ": " + ListChange(was, now));
        else if (name == "Events")
            lines.push_back(name + ": " + std::to_string(Split(now).size()) + " (were " +
                            std::to_string(Split(was).size()) + ")");
        else
            lines.push_back(name + ": " + Shown(was) + " -> " + Shown(now));
    }
    return lines;
}
