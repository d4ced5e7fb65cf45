#include "service/EventLog.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

std::string EventText(int id, const std::vector<std::string>& strings) {
    std::string text = "event " + std::to_string(id);
    const char* sep = ": ";
    for (const std::string& s : strings) {
        if (s.empty()) continue;
        text += sep;
        text += s;
        sep = " ";
    }
    return text;
}

SyslogSink::SyslogSink(std::string ident) : ident_(std::move(ident)) {
    const char* socket = std::getenv("QV_SYSLOG_SOCKET");
    socket_ = socket != nullptr && *socket != '\0' ? socket : "/dev/log";
}

std::string SyslogSink::Format(std::string_view ident, int pid, long long unixTime, int type,
                               int id, const std::vector<std::string>& strings) {
    const int priority = LOG_DAEMON | (type == kEventError ? LOG_ERR : LOG_INFO);
    const auto t = static_cast<std::time_t>(unixTime);
    std::tm local{};
    ::localtime_r(&t, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    return "<" + std::to_string(priority) + ">" + stamp + " " + std::string(ident) + "[" +
           std::to_string(pid) + "]: " + EventText(id, strings);
}

void SyslogSink::Report(int type, int id, const std::vector<std::string>& strings) {
    const std::string datagram =
        Format(ident_, static_cast<int>(::getpid()), static_cast<long long>(std::time(nullptr)),
               type, id, strings);
    if (!opened_) opened_ = sender_.Open(socket_) == 0;
    if (opened_ && sender_.Send(datagram) == 0) return;
    std::cerr << ident_ << ": " << EventText(id, strings) << std::endl;
}
