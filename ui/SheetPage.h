#pragma once
// One page of the settings sheet "Setup Information". A page builds its
// controls and its transfer record when the sheet is built, fills the
// controls from the record the first time it is shown (SetupWindow), and
// writes the record when the sheet applies; a page never shown writes
// nothing.

#include <QWidget>
#include <functional>
#include <initializer_list>
#include <string_view>

class EventLoop;
class QLineEdit;
class QListWidget;
class Setup;
class qvPaneSplit;

// What the pages work on: the core's loop (long loads run in its steps),
// the settings store and the controller.
struct SheetContext {
    EventLoop& loop;
    Setup& setup;
    qvPaneSplit& controller;
};

class SheetPage : public QWidget {
    Q_OBJECT
public:
    explicit SheetPage(QWidget* parent = nullptr) : QWidget(parent) {}

    // The tab's caption.
    virtual QString Title() const = 0;
    // Copies the controls into the record and writes it. false when
    // something could not be written (the page has said so).
    virtual bool Apply() = 0;
    // The sheet closes by Cancel.
    virtual void CmCancel() {}

    bool WasShown() const { return shown_; }

protected:
    // Fills the controls from the record.
    virtual void SetupWindow() = 0;
    void showEvent(QShowEvent* event) override;

    // A box over the sheet, run from the page's own handlers.
    void Message(std::string_view title, std::string_view text);
    bool Question(std::string_view title, std::string_view text);

private:
    bool shown_ = false;
};

// An edit box that takes at most limit characters.
QLineEdit* LimitedEdit(int limit, QWidget* parent = nullptr);

// What a double click on a list entry does, the keyboard does with one of
// keys while the list has the focus and an entry is current.
void OnEntryAction(QListWidget* list, std::initializer_list<int> keys, std::function<void()> fn);
