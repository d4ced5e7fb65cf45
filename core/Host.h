#pragma once
// What sessions and the dial-up code report to whoever hosts the core: the
// activity log, traffic totals and message boxes. The controller implements
// it; tests record it. No call waits for a person.

#include <cstdint>
#include <string_view>

class Host {
public:
    virtual ~Host() = default;
    // One activity-log line without its date: "[10.0.0.1] 211 ...", "[RAS] ...".
    virtual void UpdLog(std::string_view text) = 0;
    // Bytes a session sent or received, for the status pane's totals.
    virtual void IncSent(std::int64_t bytes) = 0;
    virtual void IncRecvd(std::int64_t bytes) = 0;
    // A message box with one OK button; it returns at once.
    virtual void MessageBox(std::string_view text, std::string_view title) = 0;
};
