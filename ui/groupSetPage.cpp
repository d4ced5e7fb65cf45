#include "ui/groupSetPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "settings/Setup.h"
#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

namespace {

constexpr int kLimitMax = 9;

// The three expire rules as the page words them, over four edit boxes:
// "Remove articles after [age] days.", "Remove articles over [size] K.",
// "Remove articles after [age] days if over [size] K.".
QGridLayout* RuleGrid(QLineEdit* const edits[4]) {
    auto* grid = new QGridLayout;
    const auto label = [](const QString& text) { return new QLabel(text); };
    grid->addWidget(label(QObject::tr("Remove articles after ")), 0, 0);
    grid->addWidget(edits[0], 0, 1);
    grid->addWidget(label(QObject::tr("days.")), 0, 2, 1, 3);
    grid->addWidget(label(QObject::tr("Remove articles over")), 1, 0);
    grid->addWidget(edits[1], 1, 1);
    grid->addWidget(label(QObject::tr("K.")), 1, 2, 1, 3);
    grid->addWidget(label(QObject::tr("Remove articles after")), 2, 0);
    grid->addWidget(edits[2], 2, 1);
    grid->addWidget(label(QObject::tr("days if over")), 2, 2);
    grid->addWidget(edits[3], 2, 3);
    grid->addWidget(label(QObject::tr("K.")), 2, 4);
    grid->setColumnStretch(5, 1);
    for (int i = 0; i < 4; ++i)
        edits[i]->setMaximumWidth(edits[i]->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 9 +
                                  16);
    return grid;
}

}  // namespace

groupSetPage::groupSetPage(SheetContext context, QWidget* parent)
    : SheetPage(parent), setup_(context.setup), model_(store::GroupPage::FromSetup(context.setup)) {
    for (auto& e : defaults_) e = LimitedEdit(kLimitMax);
    for (auto& e : limits_) e = LimitedEdit(kLimitMax);
    auto* defaults = new QGroupBox(tr("Article Expiration Defaults"));
    defaults->setLayout(RuleGrid(defaults_));

    groups_ = new QListWidget;
    groups_->setSelectionMode(QAbstractItemView::SingleSelection);
    groups_->setAccessibleName(tr("Current Groups"));
    connect(groups_, &QListWidget::currentRowChanged, this, [this] { ShowGroup(); });
    OnEntryAction(groups_, {Qt::Key_Delete}, [this] { DelGroup(); });

    newGroup_ = LimitedEdit(254);
    add_ = new QPushButton(tr("<< Add Local"));
    connect(add_, &QPushButton::clicked, this, &groupSetPage::AddGroup);
    connect(newGroup_, &QLineEdit::returnPressed, this, &groupSetPage::AddGroup);
    auto* addRow = new QHBoxLayout;
    addRow->addWidget(add_);
    addRow->addWidget(newGroup_, 1);
    auto* nameLabel = new QLabel(tr("Local Group Name"));
    nameLabel->setBuddy(newGroup_);

    allowPost_ = new QCheckBox(tr("Posting Allowed"));
    local_ = new QCheckBox(tr("Local Group"));
    local_->setEnabled(false);  // shows the group's kind; a group never changes it
    save_ = new QPushButton(tr("Save Group"));
    connect(save_, &QPushButton::clicked, this, &groupSetPage::SaveGroup);
    auto* boxes = new QHBoxLayout;
    boxes->addWidget(allowPost_);
    boxes->addWidget(local_);
    boxes->addStretch();
    boxes->addWidget(save_);

    auto* right = new QVBoxLayout;
    right->addWidget(nameLabel);
    right->addLayout(addRow);
    right->addSpacing(8);
    right->addLayout(RuleGrid(limits_));
    right->addLayout(boxes);
    right->addStretch();
    auto* current = new QGroupBox(tr("Current Groups"));
    auto* currentLayout = new QHBoxLayout(current);
    currentLayout->addWidget(groups_, 1);
    currentLayout->addLayout(right, 2);

    auto* note = new QLabel(
        tr("*Note: External groups will not appear in the group list until they are retrieved "
           "from the Newsfeed."));
    note->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(defaults);
    layout->addWidget(current, 1);
    layout->addWidget(note);
}

void groupSetPage::SetupWindow() {
    model_.LoadGroups();
    FromPacket();
}

void groupSetPage::ToPacket() {
    store::gePacket& p = model_.Packet();
    std::string* const defaults[] = {&p.defAge, &p.defSize, &p.defCondAge, &p.defCondSize};
    std::string* const limits[] = {&p.age, &p.size, &p.condAge, &p.condSize};
    for (int i = 0; i < 4; ++i) {
        *defaults[i] = S(defaults_[i]->text());
        *limits[i] = S(limits_[i]->text());
    }
    p.newGroup = S(newGroup_->text());
    p.local = local_->isChecked();
    p.allowPost = allowPost_->isChecked();
}

void groupSetPage::FromPacket() {
    const store::gePacket& p = model_.Packet();
    const std::string* const defaults[] = {&p.defAge, &p.defSize, &p.defCondAge, &p.defCondSize};
    const std::string* const limits[] = {&p.age, &p.size, &p.condAge, &p.condSize};
    for (int i = 0; i < 4; ++i) {
        defaults_[i]->setText(Q(*defaults[i]));
        limits_[i]->setText(Q(*limits[i]));
    }
    newGroup_->setText(Q(p.newGroup));
    local_->setChecked(p.local);
    allowPost_->setChecked(p.allowPost);
    // The list follows the record, keeping the selection where it can.
    const QString selected = groups_->currentItem() ? groups_->currentItem()->text() : QString();
    QStringList names;
    for (const std::string& g : p.groups) names << Q(g);
    QStringList shown;
    for (int i = 0; i < groups_->count(); ++i) shown << groups_->item(i)->text();
    if (names != shown) {
        const QSignalBlocker block(groups_);
        groups_->clear();
        groups_->addItems(names);
        const auto found = groups_->findItems(selected, Qt::MatchExactly);
        if (!found.isEmpty()) groups_->setCurrentItem(found.front());
    }
}

std::string groupSetPage::Selected() const {
    const QListWidgetItem* item = groups_->currentItem();
    return item != nullptr && item->isSelected() ? S(item->text()) : std::string();
}

void groupSetPage::Show(const std::optional<store::PageMessage>& message) {
    if (message) Message(message->title, message->text);
}

void groupSetPage::ShowGroup() {
    ToPacket();
    model_.ShowGroup(S(groups_->currentItem() ? groups_->currentItem()->text() : QString()));
    FromPacket();
}

void groupSetPage::SaveGroup() {
    ToPacket();
    const auto message = model_.SaveGroup(Selected());
    FromPacket();
    Show(message);
}

void groupSetPage::AddGroup() {
    ToPacket();
    const auto message = model_.AddGroup();
    FromPacket();
    Show(message);
}

void groupSetPage::DelGroup() {
    ToPacket();
    const auto message = model_.DelGroup(
        Selected(), [this](const store::PageMessage& q) { return Question(q.title, q.text); });
    FromPacket();
    Show(message);
}

bool groupSetPage::Apply() {
    ToPacket();
    const auto message = model_.Apply(setup_);
    Show(message);
    return !message;
}
