#pragma once
// The "Setup" page: the server's own settings and the readers admitted,
// over the page's model (settings/mainSet).

#include "settings/mainSet.h"
#include "ui/SheetPage.h"

class QLineEdit;
class QListWidget;
class QPushButton;

class mainSetPage : public SheetPage {
    Q_OBJECT
public:
    explicit mainSetPage(SheetContext context, QWidget* parent = nullptr);

    QString Title() const override { return QString::fromLatin1(mainSet::kTitle); }
    bool Apply() override;

    void AddIpButton();
    void DelIpButton();

    QLineEdit* ListenPort() const { return listenPort_; }
    QLineEdit* PostingHost() const { return postingHost_; }
    QLineEdit* NewsPath() const { return newsPath_; }
    QLineEdit* Timeout() const { return timeout_; }
    QLineEdit* Mask() const { return mask_; }
    QListWidget* AllowList() const { return allow_; }

protected:
    void SetupWindow() override;

private:
    void ToPacket();
    void FromPacket();

    mainSet model_;
    QLineEdit* listenPort_ = nullptr;
    QLineEdit* postingHost_ = nullptr;
    QLineEdit* newsPath_ = nullptr;
    QLineEdit* timeout_ = nullptr;
    QLineEdit* mask_ = nullptr;
    QListWidget* allow_ = nullptr;
};
