#pragma once
// The "RAS" page: the dial-up profile from the phone book of the dial-up
// machinery, the login and password, and the dial settings, over the page's
// model (sched/RasSet). The phone book is asked when the page first shows;
// the list fills when it answers.

#include "sched/RasSet.h"
#include "ui/SheetPage.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class qvPaneSplit;

class RasSetPage : public SheetPage {
    Q_OBJECT
public:
    explicit RasSetPage(SheetContext context, QWidget* parent = nullptr);

    QString Title() const override { return QString::fromLatin1(RasSet::kTitle); }
    bool Apply() override;

    QLineEdit* Login() const { return login_; }
    QLineEdit* Password() const { return password_; }
    QComboBox* Profile() const { return profile_; }
    QLineEdit* Redial() const { return redial_; }
    QLineEdit* Wait() const { return wait_; }
    QCheckBox* Drop() const { return drop_; }
    // The phone book has answered.
    bool Loaded() const { return loaded_; }

protected:
    void SetupWindow() override;

private:
    void ToPacket();
    void FromPacket();

    qvPaneSplit& controller_;
    RasSet model_;
    bool loaded_ = false;
    QLineEdit* login_ = nullptr;
    QLineEdit* password_ = nullptr;
    QComboBox* profile_ = nullptr;
    QLineEdit* redial_ = nullptr;
    QLineEdit* wait_ = nullptr;
    QCheckBox* drop_ = nullptr;
};
