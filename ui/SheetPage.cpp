#include "ui/SheetPage.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <vector>

#include "ui/UiText.h"

void SheetPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    SetupWindow();
}

void SheetPage::Message(std::string_view title, std::string_view text) {
    const bool error = title == "ERROR" || title == "Error" || title == "Program Error";
    QMessageBox box(error ? QMessageBox::Warning : QMessageBox::Information, uitext::Q(title),
                    uitext::BoxText(text), QMessageBox::Ok, this);
    box.exec();
}

bool SheetPage::Question(std::string_view title, std::string_view text) {
    QMessageBox box(QMessageBox::Question, uitext::Q(title), uitext::BoxText(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    return box.exec() == QMessageBox::Yes;
}

QLineEdit* LimitedEdit(int limit, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setMaxLength(limit);
    return edit;
}

namespace {

class EntryKeys : public QObject {
public:
    EntryKeys(QListWidget* list, std::vector<int> keys, std::function<void()> fn)
        : QObject(list), list_(list), keys_(std::move(keys)), fn_(std::move(fn)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != list_ || event->type() != QEvent::KeyPress ||
            list_->currentItem() == nullptr)
            return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        for (int k : keys_)
            if (k == key) {
                fn_();
                return true;
            }
        return false;
    }

private:
    QListWidget* list_;
    std::vector<int> keys_;
    std::function<void()> fn_;
};

}  // namespace

void OnEntryAction(QListWidget* list, std::initializer_list<int> keys, std::function<void()> fn) {
    QObject::connect(list, &QListWidget::itemDoubleClicked, list, [fn] { fn(); });
    list->installEventFilter(new EntryKeys(list, std::vector<int>(keys), std::move(fn)));
}
