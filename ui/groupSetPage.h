#pragma once
// The "Groups" page: the expire defaults, and the group index's groups
// with a local group's creation, a group's own limits and posting flag, and
// deletion by double click (or the Delete key), over the groups page's
// model (store/GroupPage).

#include "store/GroupPage.h"
#include "ui/SheetPage.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;

class groupSetPage : public SheetPage {
    Q_OBJECT
public:
    explicit groupSetPage(SheetContext context, QWidget* parent = nullptr);

    QString Title() const override { return tr("Groups"); }
    bool Apply() override;

    void ShowGroup();
    void SaveGroup();
    void AddGroup();
    void DelGroup();

    // The controls, in the order of the record.
    QLineEdit* DefaultEdit(int i) const { return defaults_[i]; }  // age, size, cond. age, size
    QLineEdit* NewGroup() const { return newGroup_; }
    QLineEdit* GroupEdit(int i) const { return limits_[i]; }
    QCheckBox* Local() const { return local_; }
    QCheckBox* AllowPost() const { return allowPost_; }
    QListWidget* Groups() const { return groups_; }
    QPushButton* AddButton() const { return add_; }
    QPushButton* SaveButton() const { return save_; }

protected:
    void SetupWindow() override;

private:
    void ToPacket();
    void FromPacket();
    std::string Selected() const;
    void Show(const std::optional<store::PageMessage>& message);

    Setup& setup_;
    store::GroupPage model_;
    QLineEdit* defaults_[4] = {};
    QLineEdit* newGroup_ = nullptr;
    QLineEdit* limits_[4] = {};
    QCheckBox* local_ = nullptr;
    QCheckBox* allowPost_ = nullptr;
    QListWidget* groups_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* save_ = nullptr;
};
