#include "ui/schedSetPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

namespace {

QComboBox* Choices(const std::vector<std::string>& choices) {
    auto* combo = new QComboBox;
    for (const std::string& c : choices) combo->addItem(Q(c));
    return combo;
}

}  // namespace

schedSetPage::schedSetPage(SheetContext context, QWidget* parent)
    : SheetPage(parent), model_(context.setup) {
    interval_ = LimitedEdit(static_cast<int>(schedSet::kIntervalMax));
    interval_->setMaximumWidth(interval_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 8 +
                               16);
    auto* every = new QHBoxLayout;
    every->addWidget(new QLabel(tr("Start a News session every")));
    every->addWidget(interval_);
    every->addWidget(new QLabel(tr("minutes.")));
    every->addStretch();
    auto* simple = new QGroupBox(tr("Simple Scheduling"));
    auto* simpleLayout = new QVBoxLayout(simple);
    simpleLayout->addLayout(every);
    simpleLayout->addWidget(new QLabel(tr("*Note: To disable Simple Scheduling, set") +
                                       QLatin1Char(' ') + tr("time to 0.")));

    news_ = new QRadioButton(tr("News"));
    expire_ = new QRadioButton(tr("Expire"));
    group_ = new QRadioButton(tr("Group"));
    auto* kinds = new QHBoxLayout;
    kinds->addWidget(news_);
    kinds->addWidget(group_);
    kinds->addWidget(expire_);
    kinds->addStretch();

    day_ = Choices(schedSet::DayChoices());
    hour_ = Choices(schedSet::HourChoices());
    minute_ = Choices(schedSet::MinuteChoices());
    auto* when = new QFormLayout;
    when->addRow(tr("&Day:"), day_);
    when->addRow(tr("&Hour:"), hour_);
    when->addRow(tr("&Minute:"), minute_);

    auto* add = new QPushButton(tr("Add Event"));        // 3109
    auto* remove = new QPushButton(tr("Remove Event"));  // 3110
    connect(add, &QPushButton::clicked, this, &schedSetPage::AddEventButton);
    connect(remove, &QPushButton::clicked, this, &schedSetPage::DelEventButton);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();

    events_ = new QListWidget;
    events_->setSelectionMode(QAbstractItemView::SingleSelection);
    events_->setAccessibleName(tr("Scheduled events"));

    auto* scheduled = new QGroupBox(tr("Scheduled Events"));
    auto* grid = new QVBoxLayout(scheduled);
    grid->addLayout(kinds);
    grid->addLayout(when);
    grid->addLayout(buttons);
    grid->addWidget(events_, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(simple);
    layout->addWidget(scheduled, 1);
}

void schedSetPage::SetupWindow() {
    model_.SetupWindow();
    FromPacket();
}

void schedSetPage::ToPacket() {
    sdPacket& p = model_.Transfer();
    p.interval = S(interval_->text());
    p.news = news_->isChecked();
    p.expire = expire_->isChecked();
    p.group = group_->isChecked();
    p.day = day_->currentIndex();
    p.hour = hour_->currentIndex();
    p.minute = minute_->currentIndex();
    p.selected = events_->currentRow();
    if (events_->currentItem() == nullptr || !events_->currentItem()->isSelected()) p.selected = -1;
}

void schedSetPage::FromPacket() {
    const sdPacket& p = model_.Transfer();
    interval_->setText(Q(p.interval));
    news_->setChecked(p.news);
    expire_->setChecked(p.expire);
    group_->setChecked(p.group);
    day_->setCurrentIndex(p.day);
    hour_->setCurrentIndex(p.hour);
    minute_->setCurrentIndex(p.minute);
    events_->clear();
    for (const std::string& line : p.events) events_->addItem(Q(line));
    if (p.selected >= 0) events_->setCurrentRow(p.selected);
}

void schedSetPage::AddEventButton() {
    ToPacket();
    if (!model_.AddEventButton())
        Message("Events", "No more events can be scheduled: the list holds " +
                              std::to_string(schedSet::kMaxEvents) + " already.");
    model_.Transfer().selected = -1;
    FromPacket();
}

void schedSetPage::DelEventButton() {
    ToPacket();
    model_.DelEventButton();
    FromPacket();
}

bool schedSetPage::Apply() {
    ToPacket();
    if (model_.Apply()) return true;
    Message("ERROR", "The settings file could not be written.");
    return false;
}
