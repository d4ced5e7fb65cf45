#pragma once
// The main window: the frame with its menu, tool bar and status bar (menu
// hints and a clock), the three panes of the controller (connection tree,
// status list, activity log) and the tray icon. It is the Shell the core
// reports to: everything the controller shows lands here, and message boxes
// and questions open window-modal and return at once, so no core handler
// ever waits for a person.
//
// Commands leave the frame as Command(number); the host (qvApp) sends them
// on to the controller, the settings sheet or the About box.

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <vector>

#include "app/Shell.h"

class QAction;
class QLabel;
class QListWidget;
class QSplitter;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;

class qvFrame : public QMainWindow, public Shell {
    Q_OBJECT
public:
    // Command numbers of the menu and the tool bar.
    static constexpr int kSetup = 51682;
    static constexpr int kExit = 24310;
    static constexpr int kRefreshGroups = 5011;
    static constexpr int kExpire = 5008;
    static constexpr int kGetPost = 5022;
    static constexpr int kAbout = 2009;
    static constexpr const char* kExitHint = "Quits Quorvel and prompts to save the documents";

    explicit qvFrame(QWidget* parent = nullptr);
    ~qvFrame() override;

    // Shell.
    void AddLogLine(std::string_view line) override;
    void ShowStatus(std::span<const std::string> lines) override;
    void ShowConnections(const ConnectionTree& tree) override;
    void ShowMessage(std::string_view title, std::string_view text) override;
    void SetTrayTip(std::string_view tip) override;
    void RemoveTray() override;

    // A yes/no box, window-modal; answer runs once with the choice (def
    // when the box is closed without one).
    void AskYesNo(std::string_view title, std::string_view text, bool def,
                  std::function<void(bool yes)> answer) override;
    // The quick start wizard, window-modal; done runs once it has closed,
    // with whether it wrote the settings.
    void RunWizard(std::function<void(bool configured)> done) override;

    // The panes' sizes as the start sequence sets them: the left column as
    // wide as "Quorvel InformationXXXX" in the tree's font, the status pane
    // four and a half lines high.
    void SizePanes();

    // Minimise hides the frame into the tray when the desktop has one
    // (otherwise it stays an ordinary minimised window); a double click on
    // the tray icon brings it back.
    bool InTray() const { return inTray_; }
    void RestoreFromTray();
    bool TrayShown() const;
    QString TrayTip() const;

    // Runs fn once the frame has been shown (at once when it has): what the
    // core asks before the splash has gone waits for the window it belongs to.
    void WhenShown(std::function<void()> fn);
    // The parent for a box or dialog the core opens: the dialog the person
    // is working in, or the frame.
    QWidget* DialogParent();

    // Leaves for good: the close that follows File > Exit.
    void CloseForExit();

    QAction* Action(int command) const;
    QToolBar* ToolBar() const { return toolBar_; }
    QTreeWidget* Tree() const { return tree_; }
    QListWidget* StatusList() const { return status_; }
    QListWidget* LogList() const { return log_; }
    QLabel* Clock() const { return clock_; }
    QSplitter* Columns() const { return columns_; }
    QSplitter* LeftColumn() const { return left_; }

signals:
    void Command(int command);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildMenu();
    void BuildToolBar();
    void BuildPanes();
    void BuildStatusBar();
    QAction* AddCommand(QMenu* menu, const QString& text, int command, const QString& hint);
    void TickClock();
    void HideToTray();
    void OnTray(QSystemTrayIcon::ActivationReason reason);

    std::map<int, QAction*> actions_;
    QToolBar* toolBar_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QListWidget* status_ = nullptr;
    QListWidget* log_ = nullptr;
    QSplitter* columns_ = nullptr;
    QSplitter* left_ = nullptr;
    QLabel* clock_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    std::vector<std::string> shownStatus_;
    std::vector<std::function<void()>> whenShown_;
    bool shown_ = false;
    bool inTray_ = false;
    bool exiting_ = false;
};
