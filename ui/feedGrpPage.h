#pragma once
// The "Newsfeed" page: the upstream server's name and port, and the
// subscriptions by category (store/Subscription). The category list and a
// category's groups are read from the all-groups file a slice at a time on
// the core's loop, so readers keep being served while the page fills; a
// double click (or Enter) on a group subscribes or unsubscribes it at once.

#include <memory>
#include <optional>

#include "store/Subscription.h"
#include "ui/SheetPage.h"

class QComboBox;

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

class feedGrpPage : public SheetPage {
    Q_OBJECT
public:
    // Lines of the all-groups file read in one step of the loop.
    static constexpr std::size_t kLinesPerStep = 4000;

    explicit feedGrpPage(SheetContext context, QWidget* parent = nullptr);
    ~feedGrpPage() override;

    QString Title() const override { return tr("Newsfeed"); }
    bool Apply() override;
    void CmCancel() override;

    void CategoryClick();
    void UnsubClick();
    void SubClick();
    void CmSearch();

    // A load of the all-groups file is under way.
    bool Loading() const { return scan_.has_value(); }

    QListWidget* Categories() const { return categories_; }
    QListWidget* Unsubscribed() const { return unsubscribed_; }
    QListWidget* Subscribed() const { return subscribed_; }
    QLineEdit* Name() const { return name_; }
    QLineEdit* Port() const { return port_; }
    QLineEdit* User() const { return user_; }
    QLineEdit* Password() const { return password_; }
    QComboBox* Security() const { return security_; }
    QLineEdit* VerifyCert() const { return verify_; }
    QLineEdit* CAFile() const { return caFile_; }
    QLineEdit* SearchText() const { return search_; }
    QLineEdit* Retrieve() const { return retrieve_; }

protected:
    void SetupWindow() override;

private:
    void MsgLoadCat();
    void Start(store::GroupListScan scan, bool categories);
    void LoadStep();
    void Loaded();
    void StopLoading();
    bool Refused(store::SubscriptionPage::Change change, const std::string& group);

    SheetContext context_;
    store::SubscriptionPage model_;
    std::optional<store::GroupListScan> scan_;
    bool scanningCategories_ = false;
    int stepTimer_ = 0;
    QListWidget* categories_ = nullptr;
    QListWidget* unsubscribed_ = nullptr;
    QListWidget* subscribed_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* port_ = nullptr;
    QLineEdit* user_ = nullptr;
    // Shows nothing of the stored password; only a typed one is stored.
    QLineEdit* password_ = nullptr;
    bool passwordTyped_ = false;
    QComboBox* security_ = nullptr;
    QLineEdit* verify_ = nullptr;
    QLineEdit* caFile_ = nullptr;
    QLineEdit* search_ = nullptr;
    QLineEdit* retrieve_ = nullptr;
    QLabel* progress_ = nullptr;
};
