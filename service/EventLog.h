#pragma once
// The service's event log: an event is a type, an identifier and up to
// three insertion strings, reported under the service's name. On Linux the
// events go to syslog (facility daemon) with the service name as ident, so
// the journal files them under the unit; tests put their own sink in.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/UnixDatagram.h"

inline constexpr int kEventError = 1;
inline constexpr int kEventInformation = 4;

class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void Report(int type, int id, const std::vector<std::string>& strings) = 0;
};

// Writes "event <id>" (followed by ": " and the insertion strings, when
// there are any) to the syslog socket: QV_SYSLOG_SOCKET when set, else
// /dev/log. Without a syslog daemon the line goes to standard error instead,
// so no event is lost on a machine that has none.
class SyslogSink : public EventSink {
public:
    explicit SyslogSink(std::string ident);
    void Report(int type, int id, const std::vector<std::string>& strings) override;

    // The datagram for one event, as RFC 3164 writes it:
    // "<PRI>Mmm dd hh:mm:ss IDENT[PID]: event ID: STRINGS".
    static std::string Format(std::string_view ident, int pid, long long unixTime, int type, int id,
                              const std::vector<std::string>& strings);

private:
    std::string ident_;
    std::string socket_;
    UnixDatagramSender sender_;
    bool opened_ = false;
};

// "event 106", "event 100: Quorvel".
std::string EventText(int id, const std::vector<std::string>& strings);
