#pragma once
// The "NT Service" page: run as a service, the service name, the start type
// and the units that must start first, with the install/remove button, over
// the service page's model (service/ServiceEditor). The model's question
// (whether to add the dial-up unit to the dependencies) comes once the page
// is on the screen.

#include "service/ServiceEditor.h"
#include "ui/SheetPage.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

class ServiceEditorPage : public SheetPage {
    Q_OBJECT
public:
    explicit ServiceEditorPage(SheetContext context, QWidget* parent = nullptr);

    QString Title() const override { return QString::fromLatin1(ServiceEditor::kTitle); }
    bool Apply() override;

    void CmInstallButton();
    void CmAddDependancy();
    void CmRemoveDependancy();

    QCheckBox* RunAsService() const { return run_; }
    QLineEdit* ServiceName() const { return name_; }
    QRadioButton* Automatically() const { return auto_; }
    QRadioButton* Manually() const { return manual_; }
    QRadioButton* Disabled() const { return disabled_; }
    QListWidget* Dependancies() const { return deps_; }
    QLineEdit* NewDependancy() const { return newDep_; }
    QPushButton* InstallButton() const { return install_; }
    // The model's set-up has run (it runs just after the page first shows).
    bool SetUp() const { return setUp_; }

protected:
    void SetupWindow() override;

private:
    void SetUpModel();
    void ToPacket();
    void FromPacket();
    void SetButtonState();

    ServiceEditor model_;
    bool setUp_ = false;
    QCheckBox* run_ = nullptr;
    QLineEdit* name_ = nullptr;
    QRadioButton* auto_ = nullptr;
    QRadioButton* manual_ = nullptr;
    QRadioButton* disabled_ = nullptr;
    QListWidget* deps_ = nullptr;
    QLineEdit* newDep_ = nullptr;
    QPushButton* install_ = nullptr;
};
