#include "ui/ServiceEditorPage.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/UiText.h"

using uitext::Q;
using uitext::S;

ServiceEditorPage::ServiceEditorPage(SheetContext context, QWidget* parent)
    : SheetPage(parent),
      model_(
          context.setup, ServiceEnvironment::FromProcess(),
          [this](const ServiceMessage& m) { Message(m.title, m.text); },
          [this](const ServiceMessage& q) { return Question(q.title, q.text); }) {
    run_ = new QCheckBox(QString::fromLatin1(ServiceEditor::kSwitchCaption));
    name_ = LimitedEdit(static_cast<int>(ServicePacket::kTextMax));
    auto* nameLabel = new QLabel(tr("Service Name (do not use / or \\ characters)"));
    nameLabel->setBuddy(name_);

    auto_ = new QRadioButton(tr("Automatically"));
    manual_ = new QRadioButton(tr("Manually"));
    disabled_ = new QRadioButton(tr("Disabled"));
    auto* start = new QGroupBox(tr("Start Service"));
    auto* startLayout = new QVBoxLayout(start);
    for (QRadioButton* b : {auto_, manual_, disabled_}) startLayout->addWidget(b);
    startLayout->addStretch();

    deps_ = new QListWidget;
    deps_->setSelectionMode(QAbstractItemView::SingleSelection);
    deps_->setAccessibleName(tr("Dependancies"));
    newDep_ = LimitedEdit(static_cast<int>(ServicePacket::kTextMax));
    auto* newLabel = new QLabel(tr("New Dependancy"));
    newLabel->setBuddy(newDep_);
    auto* add = new QPushButton(tr("Add"));
    auto* remove = new QPushButton(tr("Remove"));
    connect(add, &QPushButton::clicked, this, &ServiceEditorPage::CmAddDependancy);
    connect(newDep_, &QLineEdit::returnPressed, this, &ServiceEditorPage::CmAddDependancy);
    connect(remove, &QPushButton::clicked, this, &ServiceEditorPage::CmRemoveDependancy);
    auto* addRow = new QHBoxLayout;
    addRow->addWidget(newDep_, 1);
    addRow->addWidget(add);
    addRow->addWidget(remove);
    auto* deps = new QGroupBox(tr("Dependancies"));
    auto* depsLayout = new QVBoxLayout(deps);
    depsLayout->addWidget(deps_, 1);
    depsLayout->addWidget(newLabel);
    depsLayout->addLayout(addRow);

    install_ = new QPushButton(tr("Install Service"));
    connect(install_, &QPushButton::clicked, this, &ServiceEditorPage::CmInstallButton);
    auto* installRow = new QHBoxLayout;
    installRow->addStretch();
    installRow->addWidget(install_);

    auto* middle = new QHBoxLayout;
    middle->addWidget(start);
    middle->addWidget(deps, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(run_);
    layout->addWidget(nameLabel);
    layout->addWidget(name_);
    layout->addLayout(middle, 1);
    layout->addLayout(installRow);
    FromPacket();
}

void ServiceEditorPage::SetupWindow() {
    // After the page is on the screen: the set-up may ask a question.
    QTimer::singleShot(0, this, &ServiceEditorPage::SetUpModel);
}

void ServiceEditorPage::SetUpModel() {
    if (setUp_) return;
    setUp_ = true;
    model_.SetupWindow();
    FromPacket();
}

void ServiceEditorPage::ToPacket() {
    ServicePacket& p = model_.Transfer();
    p.runAsService = run_->isChecked();
    p.serviceName = S(name_->text());
    p.newDependancy = S(newDep_->text());
    p.startAuto = auto_->isChecked();
    p.startManual = manual_->isChecked();
    p.startDisabled = disabled_->isChecked();
    const QListWidgetItem* item = deps_->currentItem();
    p.selected = item != nullptr && item->isSelected() ? deps_->currentRow() : -1;
}

void ServiceEditorPage::FromPacket() {
    const ServicePacket& p = model_.Transfer();
    run_->setChecked(p.runAsService);
    name_->setText(Q(p.serviceName));
    newDep_->setText(Q(p.newDependancy));
    auto_->setChecked(p.startAuto);
    manual_->setChecked(p.startManual);
    disabled_->setChecked(p.startDisabled);
    deps_->clear();
    for (const std::string& d : p.dependancies) deps_->addItem(Q(d));
    if (p.selected >= 0) deps_->setCurrentRow(p.selected);
    SetButtonState();
}

void ServiceEditorPage::SetButtonState() {
    install_->setText(Q(model_.InstallCaption()));
    const bool enabled = model_.NameAndStartTypeEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{name_, auto_, manual_, disabled_})
        w->setEnabled(enabled);
}

void ServiceEditorPage::CmInstallButton() {
    SetUpModel();
    ToPacket();
    model_.CmInstallButton();
    FromPacket();
}

void ServiceEditorPage::CmAddDependancy() {
    ToPacket();
    if (model_.CmAddDependancy()) {
        FromPacket();
        newDep_->setFocus();
    }
}

void ServiceEditorPage::CmRemoveDependancy() {
    ToPacket();
    model_.CmRemoveDependancy();
    FromPacket();
}

bool ServiceEditorPage::Apply() {
    // The saved dependencies come in with the set-up; a write before it
    // would drop them.
    if (!setUp_) SetUpModel();
    ToPacket();
    if (model_.Apply()) return true;
    Message("ERROR", "The settings file could not be written.");
    return false;
}
