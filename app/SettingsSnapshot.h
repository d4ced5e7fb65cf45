#pragma once
// The settings a running server holds, read as one set of named values, so
// that applying them (after the settings sheet, "ctl reload", SIGHUP) can
// tell the owner what changed since they were last applied.

#include <string>
#include <utility>
#include <vector>

class Setup;

// (name, value) in a fixed order. Lists (the allow list, the event lines)
// are one value each, their entries separated by line feeds; the password
// is a fingerprint of it, so that it is compared but never kept or shown.
using SettingsValues = std::vector<std::pair<std::string, std::string>>;

SettingsValues ReadSettingsValues(Setup& setup);

// The value named, or empty.
std::string SettingsValue(const SettingsValues& values, const std::string& name);

// One line per value that differs: "PostingHost: news.example.net ->
// news2.example.net", "Allow list: added 10.0.0.*; removed 192.168.1.*",
// "Events: 2 (were 1)", "Password: changed". Names in skip are left to the
// caller, which reports what it did with them.
std::vector<std::string> SettingsDifferences(const SettingsValues& before,
                                             const SettingsValues& after,
                                             const std::vector<std::string>& skip);
