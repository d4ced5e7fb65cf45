#include "ui/qvFrame.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <memory>

#include "app/ActivityLog.h"
#include "core/Version.h"
#include "ui/Icons.h"
#include "ui/UiText.h"
#include "ui/Wizard.h"

namespace {

using uitext::BoxText;
using uitext::Q;

QMessageBox::Icon BoxIcon(std::string_view title) {
    static constexpr std::string_view kErrors[] = {"ERROR", "error", "Error", "Exception",
                                                   "Program Error"};
    static constexpr std::string_view kWarnings[] = {"Server Connect Failed", "DNS Error",
                                                     "Operation Unsuccessful", "File not available",
                                                     "INFO"};
    for (std::string_view t : kErrors)
        if (title == t) return QMessageBox::Critical;
    for (std::string_view t : kWarnings)
        if (title == t) return QMessageBox::Warning;
    return QMessageBox::Information;
}

QMessageBox* MakeBox(QWidget* parent, std::string_view title, std::string_view text,
                     QMessageBox::StandardButtons buttons, QMessageBox::Icon icon) {
    auto* box = new QMessageBox(icon, Q(title), BoxText(text), buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    return box;
}

enum Root { kInformation, kClients, kServers, kRoots };

}  // namespace

qvFrame::qvFrame(QWidget* parent) : QMainWindow(parent) {
    setWindowTitle(Q(version::kFrameTitle));
    setWindowIcon(icons::Icon(icons::kProgram));
    BuildMenu();
    BuildToolBar();
    BuildPanes();
    BuildStatusBar();
    resize(760, 460);
}

qvFrame::~qvFrame() {
    if (tray_ != nullptr) tray_->hide();
}

QAction* qvFrame::AddCommand(QMenu* menu, const QString& text, int command, const QString& hint) {
    auto* action = new QAction(text, this);
    action->setData(command);
    // The hint replaces what the status bar shows while the item is
    // highlighted; an item without one leaves it empty.
    action->setStatusTip(hint);
    connect(action, &QAction::triggered, this, [this, command] { emit Command(command); });
    menu->addAction(action);
    actions_[command] = action;
    return action;
}

void qvFrame::BuildMenu() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    AddCommand(file, tr("&Setup"), kSetup, QString());
    file->addSeparator();
    QAction* exit = AddCommand(file, tr("E&xit"), kExit, tr(kExitHint));
    exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    exit->setShortcutContext(Qt::ApplicationShortcut);

    QMenu* events = menuBar()->addMenu(tr("&Events"));
    AddCommand(events, tr("&Reload Newsgroup Files"), kRefreshGroups,
               tr("Get a list of available groups from the news server"));
    AddCommand(events, tr("&Expire Old Articles"), kExpire,
               tr("Remove news articles based on expire settings"));
    AddCommand(events, tr("&Get/Post News Articles"), kGetPost, tr("Get/Post News Articles"));

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    AddCommand(help, tr("&About..."), kAbout, tr("About the Quorvel application"));
}

void qvFrame::BuildToolBar() {
    toolBar_ = new QToolBar(tr("Tool Bar"), this);
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    toolBar_->setMovable(true);
    toolBar_->setFloatable(true);
    QFont gadgets = toolBar_->font();
    gadgets.setPointSize(10);
    toolBar_->setFont(gadgets);
    toolBar_->setIconSize(QSize(24, 24));
    for (int command : {kGetPost, kRefreshGroups, kExpire}) {
        QAction* action = actions_.at(command);
        action->setIcon(icons::Icon(command));
        toolBar_->addAction(action);
    }
    addToolBar(Qt::TopToolBarArea, toolBar_);
}

void qvFrame::BuildPanes() {
    tree_ = new QTreeWidget;
    tree_->setObjectName(QStringLiteral("connectionTree"));  // control 4032
    tree_->setAccessibleName(tr("Connections"));
    tree_->setColumnCount(1);
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setIconSize(QSize(16, 16));
    tree_->setSelectionMode(QAbstractItemView::SingleSelection);
    tree_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    tree_->header()->setStretchLastSection(false);

    // "Small Fonts" of the design: a size below the desktop's own, fixed
    // pitch for the log so that its columns line up.
    QFont small = QApplication::font();
    const qreal size = small.pointSizeF() > 0 ? small.pointSizeF() : 10.0;
    small.setPointSizeF(std::max(7.0, size - 1.0));
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSizeF(small.pointSizeF());

    status_ = new QListWidget;
    status_->setObjectName(QStringLiteral("statusList"));  // control 4011
    status_->setAccessibleName(tr("Status"));
    status_->setSelectionMode(QAbstractItemView::NoSelection);
    status_->setSortingEnabled(false);
    status_->setFont(small);
    status_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    log_ = new QListWidget;
    log_->setObjectName(QStringLiteral("activityLog"));  // control 4008
    log_->setAccessibleName(tr("Activity log"));
    log_->setSelectionMode(QAbstractItemView::NoSelection);
    log_->setSortingEnabled(false);
    log_->setFont(fixed);
    log_->setUniformItemSizes(true);
    log_->setTextElideMode(Qt::ElideNone);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    log_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    left_ = new QSplitter(Qt::Vertical);
    left_->addWidget(tree_);
    left_->addWidget(status_);
    left_->setChildrenCollapsible(false);
    columns_ = new QSplitter(Qt::Horizontal);
    columns_->addWidget(left_);
    columns_->addWidget(log_);
    columns_->setChildrenCollapsible(false);
    columns_->setStretchFactor(1, 1);
    left_->setStretchFactor(0, 1);
    setCentralWidget(columns_);
    setTabOrder(tree_, status_);
    setTabOrder(status_, log_);

    ShowConnections(ConnectionTree{});
}

void qvFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setSizeGripEnabled(true);
    clock_ = new QLabel(bar);
    clock_->setObjectName(QStringLiteral("clock"));
    clock_->setAlignment(Qt::AlignCenter);
    clock_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    // Twelve characters wide, as the clock gadget of the design.
    clock_->setMinimumWidth(clock_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 12 + 8);
    bar->addPermanentWidget(clock_);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &qvFrame::TickClock);
    timer->start(500);  // twice a second, so the seconds never skip one
    TickClock();
}

void qvFrame::TickClock() {
    const QLocale locale;
    // The desktop's own time format with seconds, without a time zone.
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    format = format.trimmed();
    clock_->setText(locale.toString(QTime::currentTime(), format));
}

QAction* qvFrame::Action(int command) const {
    const auto it = actions_.find(command);
    return it == actions_.end() ? nullptr : it->second;
}

// ---- Shell

void qvFrame::AddLogLine(std::string_view line) {
    // The newest line comes into view unless the person has scrolled back
    // to read older ones.
    QScrollBar* bar = log_->verticalScrollBar();
    const bool follow = bar->value() >= bar->maximum();
    while (static_cast<std::size_t>(log_->count()) >= ActivityLog::kMaxLines)
        delete log_->takeItem(0);
    log_->addItem(Q(line));
    if (follow) log_->scrollToBottom();
}

void qvFrame::ShowStatus(std::span<const std::string> lines) {
    // The traffic messages redo the status with every transfer; most of
    // them change nothing that shows.
    if (std::equal(lines.begin(), lines.end(), shownStatus_.begin(), shownStatus_.end())) return;
    shownStatus_.assign(lines.begin(), lines.end());
    status_->clear();
    for (const std::string& l : lines) {
        // The pane is narrow; a line cut short shows whole on hovering.
        auto* item = new QListWidgetItem(Q(l), status_);
        item->setToolTip(item->text());
    }
}

void qvFrame::ShowConnections(const ConnectionTree& tree) {
    // Rebuilt whole each time; a branch the person opened stays open.
    bool expanded[kRoots] = {false, false, false};
    for (int i = 0; i < kRoots && i < tree_->topLevelItemCount(); ++i)
        expanded[i] = tree_->topLevelItem(i)->isExpanded();

    tree_->setUpdatesEnabled(false);
    tree_->clear();
    const auto add = [this](QTreeWidgetItem* parent, const QString& text, int icon) {
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree_);
        item->setText(0, text);
        item->setIcon(0, icons::Icon(icon));
        return item;
    };
    QTreeWidgetItem* info = add(nullptr, tr("Quorvel Information"), icons::kProgram);
    add(info, tr("Serving on Port: %1").arg(tree.listenPort), icons::kProgram);
    add(info, tr("Max Client Connections: %1").arg(tree.maxClients), icons::kProgram);
    QTreeWidgetItem* clients = add(nullptr, tr("Client Connections"), icons::kReaders);
    for (const std::string& label : tree.readers) add(clients, Q(label), icons::kReaders);
    QTreeWidgetItem* servers = add(nullptr, tr("Server Connections"), icons::kFeeds);
    for (const std::string& label : tree.feeds) add(servers, Q(label), icons::kFeeds);
    for (int i = 0; i < kRoots; ++i) tree_->topLevelItem(i)->setExpanded(expanded[i]);
    tree_->setUpdatesEnabled(true);
}

void qvFrame::ShowMessage(std::string_view title, std::string_view text) {
    WhenShown([this, t = std::string(title), x = std::string(text)] {
        MakeBox(DialogParent(), t, x, QMessageBox::Ok, BoxIcon(t))->open();
    });
}

void qvFrame::AskYesNo(std::string_view title, std::string_view text, bool def,
                       std::function<void(bool yes)> answer) {
    WhenShown([this, t = std::string(title), x = std::string(text), def,
               answer = std::move(answer)] {
        const QMessageBox::Icon icon =
            t == "Program Question" ? QMessageBox::Information : QMessageBox::Question;
        QMessageBox* box = MakeBox(DialogParent(), t, x, QMessageBox::Yes | QMessageBox::No, icon);
        box->setDefaultButton(def ? QMessageBox::Yes : QMessageBox::No);
        connect(box, &QMessageBox::finished, box, [box, def, answer](int) {
            const QAbstractButton* clicked = box->clickedButton();
            answer(clicked == nullptr ? def : clicked == box->button(QMessageBox::Yes));
        });
        box->open();
    });
}

void qvFrame::RunWizard(std::function<void(bool configured)> done) {
    WhenShown([this, done = std::move(done)] {
        auto* wizard = new Wizard(DialogParent());
        wizard->setAttribute(Qt::WA_DeleteOnClose);
        wizard->setWindowModality(Qt::WindowModal);
        connect(wizard, &QDialog::finished, wizard,
                [wizard, done](int) { done(wizard->Configured()); });
        wizard->open();
    });
}

void qvFrame::SetTrayTip(std::string_view tip) {
    if (tray_ == nullptr) {
        tray_ = new QSystemTrayIcon(icons::Icon(icons::kProgram), this);
        connect(tray_, &QSystemTrayIcon::activated, this, &qvFrame::OnTray);
        // Desktops that only report single clicks still get a way back.
        auto* menu = new QMenu(this);
        menu->addAction(tr("&Restore"), this, &qvFrame::RestoreFromTray);
        menu->addAction(actions_.at(kExit));
        tray_->setContextMenu(menu);
    }
    tray_->setToolTip(Q(tip));
    tray_->show();
}

void qvFrame::RemoveTray() {
    if (tray_ == nullptr) return;
    tray_->setToolTip(QStringLiteral("Inactive"));
    tray_->hide();
    // Nothing is left to restore the window from.
    if (inTray_) RestoreFromTray();
}

bool qvFrame::TrayShown() const { return tray_ != nullptr && tray_->isVisible(); }

QString qvFrame::TrayTip() const { return tray_ ? tray_->toolTip() : QString(); }

// ---- window

void qvFrame::OnTray(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) RestoreFromTray();
}

void qvFrame::HideToTray() {
    // Only into a tray that is there: a window is never hidden with no way
    // back.
    if (!isMinimized() || !TrayShown() || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    hide();
    inTray_ = true;
}

void qvFrame::RestoreFromTray() {
    inTray_ = false;
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void qvFrame::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Hidden after the minimise has been carried out, not inside it.
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, &qvFrame::HideToTray);
}

void qvFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    SizePanes();
    // Once the window is on the screen: boxes asked for before then get it
    // as their parent.
    QTimer::singleShot(0, this, [this] {
        std::vector<std::function<void()>> waiting;
        waiting.swap(whenShown_);
        for (auto& fn : waiting) fn();
    });
}

void qvFrame::WhenShown(std::function<void()> fn) {
    if (shown_ && whenShown_.empty())
        fn();
    else
        whenShown_.push_back(std::move(fn));
}

QWidget* qvFrame::DialogParent() {
    QWidget* modal = QApplication::activeModalWidget();
    return modal != nullptr ? modal : this;
}

void qvFrame::SizePanes() {
    const QFontMetrics treeFont(tree_->font());
    const int left = treeFont.horizontalAdvance(QStringLiteral("Quorvel InformationXXXX")) +
                     tree_->indentation() + tree_->iconSize().width() + 2 * tree_->frameWidth();
    const int total = std::max(columns_->width(), left + 100);
    columns_->setSizes({left, total - left});

    // Four and a half lines of the status list.
    const int row = std::max(status_->fontMetrics().height(),
                             status_->count() > 0 ? status_->sizeHintForRow(0) : 0);
    const int high = row * 9 / 2 + 2 * status_->frameWidth();
    const int height = std::max(left_->height(), high + 60);
    left_->setSizes({height - high, high});
}

void qvFrame::CloseForExit() {
    exiting_ = true;
    close();
}

void qvFrame::closeEvent(QCloseEvent* event) {
    if (exiting_) {
        event->accept();
        return;
    }
    // Closing the frame is File > Exit: the controller decides and ends.
    event->ignore();
    emit Command(kExit);
}
