#include "ui/Wizard.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "ui/SheetPage.h"
#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

namespace {

// Ports are up to four digits, as the boxes hold; the first is not 0.
QLineEdit* PortEdit(const QString& text) {
    QLineEdit* edit = LimitedEdit(4);
    edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[1-9][0-9]{0,3}")), edit));
    edit->setText(text);
    edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 6 + 16);
    return edit;
}

}  // namespace

Wizard::Wizard(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Quorvel - Quick Start Wizard"));
    setObjectName(QStringLiteral("wizard"));
    const WizardValues defaults;

    host_ = LimitedEdit(254);
    host_->setText(QString::fromLatin1(kSampleHost));
    port_ = PortEdit(Q(defaults.port));
    auto* feed = new QGroupBox(tr("Newsfeed Information"));
    auto* feedForm = new QFormLayout(feed);
    feedForm->addRow(tr("&Host Name"), host_);
    feedForm->addRow(tr("&Port"), port_);

    news_ = LimitedEdit(254);
    news_->setText(Q(defaults.newsDirectory));
    listen_ = PortEdit(Q(defaults.listenPort));
    auto* quorvel = new QGroupBox(tr("Quorvel Information"));
    auto* quorvelForm = new QFormLayout(quorvel);
    quorvelForm->addRow(tr("&News Directory"), news_);
    quorvelForm->addRow(tr("&Accept connections on Port"), listen_);

    continue_ = new QPushButton(tr("Continue"));
    continue_->setDefault(true);
    connect(continue_, &QPushButton::clicked, this, &Wizard::WizContinue);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(continue_);

    for (QLineEdit* e : {host_, port_, news_, listen_})
        connect(e, &QLineEdit::textChanged, this, &Wizard::CheckInput);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(feed);
    layout->addWidget(quorvel);
    layout->addLayout(buttons);
    setMinimumWidth(fontMetrics().averageCharWidth() * 60);
    host_->setFocus();
    host_->selectAll();
}

WizardValues Wizard::TransferData() const {
    WizardValues v;
    v.hostName = S(host_->text().trimmed());
    v.port = S(port_->text());
    v.newsDirectory = S(news_->text().trimmed());
    v.listenPort = S(listen_->text());
    return v;
}

void Wizard::CheckInput() {
    // Nothing to continue with while a box that every session needs is empty.
    continue_->setEnabled(!host_->text().trimmed().isEmpty() && !port_->text().isEmpty() &&
                          !news_->text().trimmed().isEmpty() && !listen_->text().isEmpty());
}

void Wizard::WizContinue() {
    if (!continue_->isEnabled()) return;
    if (!WriteWizard(TransferData())) {
        QMessageBox box(QMessageBox::Warning, tr("ERROR"),
                        tr("Quorvel.INI or allowip.ini could not be written."), QMessageBox::Ok,
                        this);
        box.exec();
        return;
    }
    configured_ = true;
    accept();
}
