#include "settings/mainSet.h"

#include <cstdio>
#include <fstream>

#include "core/Text.h"
#include "settings/Setup.h"

mainSet::mainSet(Setup& setup) : setup_(setup) {
    packet_.listenPort = std::to_string(setup.GetListenPort());
    packet_.postingHost = setup.GetPostingHost();
    const std::string news = setup.GetNewsDirectory();
    packet_.newsPath = news.starts_with('!') ? std::string() : news;
    packet_.timeout = std::to_string(setup.GetServerTimeout());
    filled_ = packet_;
}

std::string mainSet::AllowPath() const {
    const std::string& ini = setup_.IniPath();
    const std::size_t slash = ini.rfind('/');
    return slash == std::string::npos ? std::string(kAllowFile)
                                      : ini.substr(0, slash + 1) + kAllowFile;
}

void mainSet::SetupWindow() {
    packet_.allowList.clear();
    packet_.selected = -1;
    std::ifstream in(AllowPath(), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kAllowLineMax) line.resize(kAllowLineMax);
        if (line.size() < kShortestEntry) break;
        packet_.allowList.push_back(line);
    }
    filled_.allowList = packet_.allowList;
}

std::optional<std::string> mainSet::Check() const {
    const msPacket& p = packet_;
    if (text::DecimalIn(p.listenPort, 1, 65535) < 0)
        return "Listen Port must be a number from 1 to 65535.";
    if (text::DecimalIn(p.timeout, 1, 999999) < 0)
        return "Inactivity Timeout must be a number of seconds from 1 to 999999.";
    if (p.postingHost.empty() || p.postingHost.size() > kTextMax ||
        p.postingHost.find_first_of(" \t") != std::string::npos)
        return "Posting Host must be a host name or address of at most 254 characters.";
    if (text::TrimBlanks(p.newsPath).empty() || p.newsPath.size() > kTextMax)
        return "News Path must name a directory in at most 254 characters.";
    return std::nullopt;
}

std::optional<std::string> mainSet::MaskProblem(std::string_view mask) {
    const std::string problem =
        "The IP Mask must be four parts separated by dots, each a number from 0 to 255 or *, in "
        "at most 29 characters.";
    if (mask.size() > kMaskMax || mask.size() < kShortestEntry) return problem;
    int parts = 0;
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = mask.find('.', start);
        const std::string_view part = mask.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (part != "*" && text::DecimalIn(part, 0, 255) < 0) return problem;
        ++parts;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (parts != 4) return problem;
    return std::nullopt;
}

bool mainSet::AddIpButton() {
    if (packet_.mask.size() < kShortestEntry) return false;
    packet_.allowList.push_back(packet_.mask);
    packet_.mask.clear();
    return true;
}

void mainSet::DelIpButton() {
    if (packet_.selected < 0 || packet_.selected >= static_cast<int>(packet_.allowList.size()))
        return;
    packet_.allowList.erase(packet_.allowList.begin() + packet_.selected);
    packet_.selected = -1;
}

bool mainSet::Apply() {
    const msPacket& p = packet_;
    bool ok = true;
    if (p.listenPort != filled_.listenPort)
        ok = setup_.SetListenPort(std::string_view(p.listenPort)) && ok;
    if (p.newsPath != filled_.newsPath) ok = setup_.SetNewsDirectory(p.newsPath) && ok;
    if (p.postingHost != filled_.postingHost) ok = setup_.SetPostingHost(p.postingHost) && ok;
    if (p.timeout != filled_.timeout)
        ok = setup_.SetServerTimeout(std::string_view(p.timeout)) && ok;
    if (p.allowList != filled_.allowList) ok = WriteAllowList() && ok;
    if (ok) filled_ = packet_;
    return ok;
}

bool mainSet::WriteAllowList() const {
    const std::string path = AllowPath();
    const std::string work = path + ".new";
    {
        std::ofstream out(work, std::ios::binary | std::ios::trunc);
        for (const std::string& entry : packet_.allowList) out << entry << '\n';
        out.flush();
        if (!out) {
            std::remove(work.c_str());
            return false;
        }
    }
    if (std::rename(work.c_str(), path.c_str()) == 0) return true;
    std::remove(work.c_str());
    return false;
}
