#include "ui/mainSetPage.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

mainSetPage::mainSetPage(SheetContext context, QWidget* parent)
    : SheetPage(parent), model_(context.setup) {
    listenPort_ = LimitedEdit(9);
    postingHost_ = LimitedEdit(254);
    newsPath_ = LimitedEdit(254);
    timeout_ = LimitedEdit(6);
    const int digits = listenPort_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    listenPort_->setMaximumWidth(digits * 10 + 16);
    timeout_->setMaximumWidth(digits * 7 + 16);
    auto* timeoutRow = new QHBoxLayout;
    timeoutRow->addWidget(timeout_);
    timeoutRow->addWidget(new QLabel(tr("(seconds)")));
    timeoutRow->addStretch();
    auto* server = new QGroupBox(tr("Server"));
    auto* form = new QFormLayout(server);
    form->addRow(tr("Listen Port"), listenPort_);
    form->addRow(tr("Posting Host"), postingHost_);
    form->addRow(tr("News Path"), newsPath_);
    form->addRow(tr("Inactivity Timeout"), timeoutRow);

    allow_ = new QListWidget;
    allow_->setAccessibleName(tr("Serving IPs"));
    allow_->setSelectionMode(QAbstractItemView::SingleSelection);
    OnEntryAction(allow_, {Qt::Key_Delete}, [this] { DelIpButton(); });
    mask_ = LimitedEdit(29);
    auto* add = new QPushButton(tr("<<< Add"));
    connect(add, &QPushButton::clicked, this, &mainSetPage::AddIpButton);
    connect(mask_, &QLineEdit::returnPressed, this, &mainSetPage::AddIpButton);
    auto* users = new QPushButton(tr("Users"));
    users->setEnabled(false);
    auto* servingLabel = new QLabel(tr("Serving IPs"));
    servingLabel->setBuddy(allow_);
    auto* maskLabel = new QLabel(tr("IP Mask"));
    maskLabel->setBuddy(mask_);
    auto* note =
        new QLabel(tr("*Note: The wildcard * may be used for any section of the IP mask."));
    note->setWordWrap(true);
    auto* accept = new QGroupBox(tr("Accept Connections"));
    auto* grid = new QGridLayout(accept);
    grid->addWidget(servingLabel, 0, 0);
    grid->addWidget(allow_, 1, 0, 4, 1);
    grid->addWidget(maskLabel, 0, 2);
    grid->addWidget(add, 1, 1);
    grid->addWidget(mask_, 1, 2);
    grid->addWidget(users, 2, 1);
    grid->addWidget(note, 3, 1, 1, 2);
    grid->setRowStretch(4, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addWidget(accept, 1);
    FromPacket();
}

void mainSetPage::SetupWindow() {
    model_.SetupWindow();
    FromPacket();
}

void mainSetPage::ToPacket() {
    msPacket& p = model_.Transfer();
    p.listenPort = S(listenPort_->text());
    p.postingHost = S(postingHost_->text());
    p.newsPath = S(newsPath_->text());
    p.timeout = S(timeout_->text());
    p.mask = S(mask_->text());
    const QListWidgetItem* item = allow_->currentItem();
    p.selected = item != nullptr && item->isSelected() ? allow_->currentRow() : -1;
}

void mainSetPage::FromPacket() {
    const msPacket& p = model_.Transfer();
    listenPort_->setText(Q(p.listenPort));
    postingHost_->setText(Q(p.postingHost));
    newsPath_->setText(Q(p.newsPath));
    timeout_->setText(Q(p.timeout));
    mask_->setText(Q(p.mask));
    allow_->clear();
    for (const std::string& entry : p.allowList) allow_->addItem(Q(entry));
}

void mainSetPage::AddIpButton() {
    ToPacket();
    if (!model_.AddIpButton()) {
        Message("IP Mask", "An IP mask has four parts separated by dots, such as 192.168.1.*");
        return;
    }
    FromPacket();
}

void mainSetPage::DelIpButton() {
    ToPacket();
    model_.DelIpButton();
    FromPacket();
}

bool mainSetPage::Apply() {
    ToPacket();
    if (model_.Apply()) return true;
    Message("ERROR", "The settings file or allowip.ini could not be written.");
    return false;
}
