#include "settings/mainSet.h"

#include <cstdio>
#include <fstream>

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
