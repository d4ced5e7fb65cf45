#pragma once
// The schedule page ("Events") of the settings sheet, without a window: the
// simple-schedule interval, the kind buttons, the day/hour/minute choices
// and the event list, with the page's Add, Remove and Apply. A front-end
// shows the transfer record and calls the commands; Apply rewrites the
// event sections of the main settings file.

#include <string>
#include <string_view>
#include <vector>

class Setup;

// What the page's controls hold.
struct sdPacket {
    std::string interval;             // edit control 3111, up to 10 characters
    bool news = true;                 // 3102
    bool expire = false;              // 3103
    bool group = false;               // 3104
    int day = 0;                      // index into schedSet::DayChoices()  (combo 3105)
    int hour = 0;                     // index into schedSet::HourChoices() (combo 3106)
    int minute = 0;                   // index into schedSet::MinuteChoices() (combo 3107)
    std::vector<std::string> events;  // list 3108, one line per event
    int selected = -1;                // selected line of the list, -1 none
};

class schedSet {
public:
    static constexpr const char* kTitle = "Events";
    static constexpr std::size_t kIntervalMax = 10;
    // The schedule reads no more events than this; the page refuses more.
    static constexpr std::size_t kMaxEvents = 98;

    explicit schedSet(Setup& setup);

    // Fills the combos' choices and the event list from the file, and the
    // interval from the settings.
    void SetupWindow();

    // Adds a line for the chosen kind, day, hour and minute. false (nothing
    // added) when the list already holds kMaxEvents lines.
    bool AddEventButton();
    // Removes the selected line; nothing when none is selected.
    void DelEventButton();
    // Stores the interval and rewrites the sections "EVENT01", ... from the
    // list. false when the file could not be written.
    bool Apply();

    // The event list was edited on this page: the controller reloads
    // the schedule after the settings sheet has closed.
    bool ScheduleChanged() const { return scheduleChanged_; }

    sdPacket& Transfer() { return packet_; }
    const sdPacket& Transfer() const { return packet_; }

    static const std::vector<std::string>& DayChoices();     // "Every Day", "Monday", ...
    static const std::vector<std::string>& HourChoices();    // "All", "00" ... "23"
    static const std::vector<std::string>& MinuteChoices();  // "00", "05" ... "55"

    // "[News] - Every Monday, at  10:30. <N11030>" from the stored texts.
    static std::string EventLine(std::string_view type, std::string_view day, std::string_view hour,
                                 std::string_view minute);

private:
    Setup& setup_;
    sdPacket packet_;
    bool scheduleChanged_ = false;
};
