#pragma once
// The "Events" page: the simple-schedule interval and the list of
// scheduled News, Group and Expire events, over the schedule page's model
// (sched/schedSet).

#include "sched/schedSet.h"
#include "ui/SheetPage.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

class schedSetPage : public SheetPage {
    Q_OBJECT
public:
    explicit schedSetPage(SheetContext context, QWidget* parent = nullptr);

    QString Title() const override { return QString::fromLatin1(schedSet::kTitle); }
    bool Apply() override;

    void AddEventButton();
    void DelEventButton();

    QLineEdit* Interval() const { return interval_; }
    QRadioButton* NewsButton() const { return news_; }
    QRadioButton* ExpireButton() const { return expire_; }
    QRadioButton* GroupButton() const { return group_; }
    QComboBox* Day() const { return day_; }
    QComboBox* Hour() const { return hour_; }
    QComboBox* Minute() const { return minute_; }
    QListWidget* Events() const { return events_; }
    // The event list was edited: the schedule is reloaded after the sheet.
    bool ScheduleChanged() const { return model_.ScheduleChanged(); }

protected:
    void SetupWindow() override;

private:
    void ToPacket();
    void FromPacket();

    schedSet model_;
    QLineEdit* interval_ = nullptr;   // 3111
    QRadioButton* news_ = nullptr;    // 3102
    QRadioButton* expire_ = nullptr;  // 3103
    QRadioButton* group_ = nullptr;   // 3104
    QComboBox* day_ = nullptr;        // 3105
    QComboBox* hour_ = nullptr;       // 3106
    QComboBox* minute_ = nullptr;     // 3107
    QListWidget* events_ = nullptr;   // 3108
};
