// The desktop host: the frame's commands reach the controller, the panes
// keep what the design says, minimising never loses the window, and a
// question the core asks leaves the readers served.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>
#include <thread>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "settings/Profile.h"
#include "ui/LoopDriver.h"
#include "ui/SetupSheet.h"
#include "ui/UiTestUtil.h"
#include "ui/Wizard.h"
#include "ui/qvAboutDlg.h"
#include "ui/qvFrame.h"

using uitest::BoxWatcher;
using uitest::Desktop;
using uitest::Home;
using uitest::WaitFor;

namespace {

// A feed session that has ended as soon as it starts.
struct EndedSession : SessionHandle {
    int State() const override { return 2; }
};

bool Logged(qvFrame& frame, const QString& part) {
    for (int i = 0; i < frame.LogList()->count(); ++i)
        if (frame.LogList()->item(i)->text().contains(part)) return true;
    return false;
}

// A free loopback port below 10000; 0 when none is.
int FourDigitPort() {
    for (int port = 9100 + ::getpid() % 800; port < 9999; ++port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

// Runs fn on the dialog that is modal next, from Qt's loop.
void OnModal(std::function<void(QWidget*)> fn) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, fn] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            fn(w);
        }
    });
    timer->start();
}

}  // namespace

class qvAppTest : public QObject {
    Q_OBJECT
private slots:
    void commandsReachTheController();
    void logKeepsTheLast101Lines();
    void treeShowsTheConnectionsAndKeepsOpenBranches();
    void minimiseWithoutTrayKeepsAWindow();
    void questionLeavesReadersServed();
    void firstStartRunsTheWizardThenNextStep();
};

void qvAppTest::commandsReachTheController() {
    Home home;
    Desktop d(home);
    QVERIFY(d.started);
    qvFrame& frame = d.app.Frame();
    qvPaneSplit& controller = d.app.Controller();
    std::vector<int> kinds;
    controller.SetFeedFactory([&kinds](auto&, const FeedRequest& r) {
        kinds.push_back(r.kind);
        return std::unique_ptr<SessionHandle>(std::make_unique<EndedSession>());
    });
    const auto idle = [&controller] { return !controller.FeedWorkBusy(); };

    struct Case {
        int command;
        std::vector<int> kinds;  // feed sessions the command starts
    } cases[] = {{qvFrame::kGetPost, {4005, 4004}}, {qvFrame::kRefreshGroups, {4003}}};
    for (const Case& c : cases) {
        // Once from the menu, once from the tool bar.
        for (bool toolBar : {false, true}) {
            kinds.clear();
            QAction* action = frame.Action(c.command);
            QVERIFY(action != nullptr);
            if (toolBar)
                QTest::mouseClick(frame.ToolBar()->widgetForAction(action), Qt::LeftButton);
            else
                action->trigger();
            QVERIFY2(WaitFor([&] { return kinds == c.kinds && idle(); }),
                     qPrintable(QString::number(c.command)));
        }
    }

    frame.Action(qvFrame::kExpire)->trigger();
    QVERIFY(WaitFor([&] { return Logged(frame, "[EXPIRE]") && idle(); }));
    frame.LogList()->clear();
    QTest::mouseClick(frame.ToolBar()->widgetForAction(frame.Action(qvFrame::kExpire)),
                      Qt::LeftButton);
    QVERIFY(WaitFor([&] { return Logged(frame, "[EXPIRE]") && idle(); }));

    // File > Setup: the sheet, and after Cancel what the controller does
    // then (the news directory comes back).
    std::filesystem::remove_all(home / "news");
    QString sheetTitle;
    OnModal([&sheetTitle](QWidget* w) {
        sheetTitle = w->windowTitle();
        qobject_cast<QDialog*>(w)->reject();
    });
    frame.Action(qvFrame::kSetup)->trigger();
    QCOMPARE(sheetTitle, QStringLiteral("Setup Information"));
    QVERIFY(std::filesystem::is_directory(home / "news/POSTS"));

    QString version;
    OnModal([&version](QWidget* w) {
        auto* about = qobject_cast<qvAboutDlg*>(w);
        if (about != nullptr) version = about->VersionLine()->text();
        qobject_cast<QDialog*>(w)->accept();
    });
    frame.Action(qvFrame::kAbout)->trigger();
    QCOMPARE(version, QStringLiteral("Quorvel Version 1.0, Release A, Build 2"));

    QCOMPARE(frame.TrayTip(), QStringLiteral("Quorvel Active"));
    frame.Action(qvFrame::kExit)->trigger();
    QVERIFY(d.app.Exited());
    QVERIFY(d.app.Core().Loop().Stopped());
    QCOMPARE(frame.TrayTip(), QStringLiteral("Inactive"));
    QVERIFY(!frame.isVisible());
}

void qvAppTest::logKeepsTheLast101Lines() {
    qvFrame frame;
    for (int i = 1; i <= 102; ++i) frame.AddLogLine("line " + std::to_string(i));
    QCOMPARE(frame.LogList()->count(), 101);
    QCOMPARE(frame.LogList()->item(0)->text(), QStringLiteral("line 2"));
    QCOMPARE(frame.LogList()->item(100)->text(), QStringLiteral("line 102"));
}

void qvAppTest::treeShowsTheConnectionsAndKeepsOpenBranches() {
    qvFrame frame;
    ConnectionTree tree;
    tree.listenPort = 1119;
    tree.maxClients = 500;
    tree.readers = {"IP: 127.0.0.1"};
    frame.ShowConnections(tree);
    QTreeWidget* t = frame.Tree();
    QCOMPARE(t->topLevelItemCount(), 3);
    const QStringList roots{"Quorvel Information", "Client Connections", "Server Connections"};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(t->topLevelItem(i)->text(0), roots[i]);
        QVERIFY(!t->topLevelItem(i)->isExpanded());
    }
    QCOMPARE(t->topLevelItem(0)->child(0)->text(0), QStringLiteral("Serving on Port: 1119"));
    QCOMPARE(t->topLevelItem(0)->child(1)->text(0), QStringLiteral("Max Client Connections: 500"));
    t->topLevelItem(1)->setExpanded(true);
    tree.readers.push_back("IP: 10.0.0.7");
    tree.feeds = {"IP:10.0.0.1"};
    frame.ShowConnections(tree);
    QVERIFY(t->topLevelItem(1)->isExpanded());
    QCOMPARE(t->topLevelItem(1)->childCount(), 2);
    QCOMPARE(t->topLevelItem(1)->child(1)->text(0), QStringLiteral("IP: 10.0.0.7"));
    QCOMPARE(t->topLevelItem(2)->child(0)->text(0), QStringLiteral("IP:10.0.0.1"));
}

void qvAppTest::minimiseWithoutTrayKeepsAWindow() {
    if (QSystemTrayIcon::isSystemTrayAvailable()) QSKIP("this desktop has a tray");
    qvFrame frame;
    frame.SetTrayTip("Quorvel Active");
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.setWindowState(Qt::WindowMinimized);
    QTest::qWait(50);
    QVERIFY(!frame.InTray());
    QVERIFY(frame.isVisible());
    frame.RestoreFromTray();
    QVERIFY(!frame.isMinimized());
}

void qvAppTest::questionLeavesReadersServed() {
    Home home;
    Desktop d(home);
    QVERIFY(d.started);
    QVERIFY(d.app.Controller().Listening());

    // The reader talks from a thread of its own; this one runs the loops.
    std::atomic<int> stage{0};
    std::atomic<int> replies{0};
    uitest::Background reader([&](const std::atomic<bool>&) {
        testutil::LineClient c;
        if (!c.Connect(home.Port()) || !c.ReadLine()) return;
        stage = 1;
        while (stage == 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        for (int i = 0; i < 5; ++i) {
            if (!c.Send("MODE READER\r\n")) break;
            const auto line = c.ReadLine(std::chrono::seconds(5));
            if (!line || line->substr(0, 1) != "2") break;
            ++replies;
        }
        c.Send("QUIT\r\n");
        stage = 3;
    });
    QVERIFY(WaitFor([&] { return stage == 1; }));

    // Asked from inside a handler of the core, as the core asks.
    int answers = 0;
    bool yes = false;
    d.app.Core().Loop().After(0, [&] {
        d.app.Frame().AskYesNo("Delete Group", "Are you sure?", false, [&](bool y) {
            ++answers;
            yes = y;
        });
    });
    QVERIFY(WaitFor([] { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }));
    stage = 2;
    QVERIFY(WaitFor([&] { return stage == 3; }, 15000));
    reader.Join();
    QCOMPARE(replies.load(), 5);
    QCOMPARE(answers, 0);  // still open

    BoxWatcher boxes;
    boxes.Answer(QMessageBox::Yes);
    QVERIFY(boxes.WaitForBoxes(1));
    QVERIFY(WaitFor([&] { return answers == 1; }));
    QVERIFY(yes);
    QCOMPARE(boxes.Seen().front(), std::string("Delete Group: Are you sure?"));
}

void qvAppTest::firstStartRunsTheWizardThenNextStep() {
    Home home(/*bare=*/true);
    qvApp app(home.Options());
    QVERIFY(app.InitMainWindow());
    Wizard* wizard = nullptr;
    QVERIFY(WaitFor([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<Wizard*>(w); found && found->isVisible()) wizard = found;
        return wizard != nullptr;
    }));
    QCOMPARE(wizard->windowModality(), Qt::WindowModal);
    QVERIFY(!app.Controller().Listening());  // the start goes on once it is answered
    BoxWatcher boxes;
    wizard->HostName()->setText("news.provider.test");
    // The wizard's port box holds four digits.
    const int port = FourDigitPort();
    QVERIFY(port > 0);
    wizard->ListenPort()->setText(QString::number(port));
    QTest::mouseClick(wizard->ContinueButton(), Qt::LeftButton);
    QVERIFY(boxes.WaitForBoxes(1));
    QVERIFY(
        boxes.SawText("Next Step: If you are connected to your ISP, you may retrieve a list of "
                      "groups now."));
    QVERIFY(WaitFor([&] { return app.Controller().Listening(); }));
    QCOMPARE(home.Read("allowip.ini").substr(0, 7), std::string("*.*.*.*"));
    QCOMPARE(profile::GetString(home / "Quorvel.INI", "admin", "ListenPort", "?"),
             std::to_string(port));
}

QTEST_MAIN(qvAppTest)
#include "qvApp_test.moc"
