#include "ui/RasSetPage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

#include "app/qvPaneSplit.h"
#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

RasSetPage::RasSetPage(SheetContext context, QWidget* parent)
    : SheetPage(parent), controller_(context.controller), model_(context.setup) {
    login_ = LimitedEdit(254);
    password_ = LimitedEdit(254);
    password_->setEchoMode(QLineEdit::Password);
    profile_ = new QComboBox;
    profile_->setMinimumContentsLength(24);
    auto* provider = new QGroupBox(tr("Provider"));
    auto* providerForm = new QFormLayout(provider);
    providerForm->addRow(tr("Login"), login_);
    providerForm->addRow(tr("Password"), password_);
    providerForm->addRow(tr("Profile"), profile_);

    redial_ = LimitedEdit(2);
    wait_ = LimitedEdit(4);
    const int digits = redial_->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    redial_->setMaximumWidth(digits * 4 + 16);
    wait_->setMaximumWidth(digits * 6 + 16);
    drop_ = new QCheckBox(tr("Terminate RAS Session when Quorvel is finished."));
    auto* dial = new QGroupBox(tr("Dial Settings"));
    auto* dialForm = new QFormLayout(dial);
    dialForm->addRow(tr("Redial Attempts"), redial_);
    dialForm->addRow(tr("Wait for Connection (seconds)"), wait_);
    dialForm->addRow(drop_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(provider);
    layout->addWidget(dial);
    layout->addStretch();
    FromPacket();
}

void RasSetPage::SetupWindow() {
    ToPacket();
    model_.LoadProfiles(controller_.DialUpMachine(), [this] {
        loaded_ = true;
        FromPacket();
    });
}

void RasSetPage::ToPacket() {
    RasPacket& p = model_.Transfer();
    p.login = S(login_->text());
    p.password = S(password_->text());
    p.redial = S(redial_->text());
    p.wait = S(wait_->text());
    p.drop = drop_->isChecked();
    p.selected = profile_->currentIndex();
}

void RasSetPage::FromPacket() {
    const RasPacket& p = model_.Transfer();
    login_->setText(Q(p.login));
    password_->setText(Q(p.password));
    redial_->setText(Q(p.redial));
    wait_->setText(Q(p.wait));
    drop_->setChecked(p.drop);
    profile_->clear();
    for (const std::string& name : p.profiles) profile_->addItem(Q(name));
    profile_->setCurrentIndex(p.selected);
}

bool RasSetPage::Apply() {
    ToPacket();
    std::string why;
    if (model_.Apply(&why)) return true;
    Message("ERROR", why);
    return false;
}
