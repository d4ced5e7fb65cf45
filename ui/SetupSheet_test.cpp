// The settings sheet's pages over their models: each fills from the files
// and writes exactly what it owns, only when it has been shown.

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <atomic>
#include <thread>

#include "app/qvPaneSplit.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "ui/RasSetPage.h"
#include "ui/ServiceEditorPage.h"
#include "ui/SetupSheet.h"
#include "ui/UiTestUtil.h"
#include "ui/Wizard.h"
#include "ui/feedGrpPage.h"
#include "ui/groupSetPage.h"
#include "ui/mainSetPage.h"
#include "ui/qvFrame.h"
#include "ui/schedSetPage.h"

using uitest::BoxWatcher;
using uitest::Desktop;
using uitest::Home;
using uitest::WaitFor;

namespace {

std::string Ini(const Home& home, const char* section, const char* key) {
    return profile::GetString(home / "Quorvel.INI", section, key, "(none)");
}

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
    return items;
}

void DoubleClick(QListWidget* list, const QString& text) {
    const auto found = list->findItems(text, Qt::MatchExactly);
    QVERIFY2(!found.isEmpty(), qPrintable(text));
    list->setCurrentItem(found.front());
    emit list->itemDoubleClicked(found.front());
}

// The sheet over a running desktop, shown without running modally.
struct Sheet {
    explicit Sheet(Desktop& d)
        : sheet(SheetContext{d.app.Core().Loop(), d.app.Controller().GetSetup(),
                             d.app.Controller()}) {
        sheet.show();
    }
    template <class Page>
    Page* Show(int index) {
        sheet.Tabs()->setCurrentIndex(index);
        return qobject_cast<Page*>(sheet.Page(index));
    }
    void Click(QDialogButtonBox::StandardButton b) {
        QTest::mouseClick(sheet.Buttons()->button(b), Qt::LeftButton);
    }
    SetupSheet sheet;
};

constexpr const char* kAllGroups =
    "215 Newsgroups follow\r\n"
    "comp.lang.c 140 101 y\r\n"
    "comp.lang.ada 10 1 y\r\n"
    "comp.os.linux 10 1 y\r\n"
    "alt.test 500 1 y\r\n"
    "control 1 1 n\r\n"
    ".\r\n"
    "205 Bye\r\n";

}  // namespace

class SetupSheetTest : public QObject {
    Q_OBJECT
private slots:
    void pagesInOrderAndOnlyShownOnesApply();
    void eventsPageListsAndApplies();
    void groupsPageAddsSavesAndDeletes();
    void newsfeedPageSubscribesAndSearches();
    void newsfeedLoadLeavesReadersServed();
    void servicePageButtonsAndQuestion();
    void wizardWritesTheSettings();
};

void SetupSheetTest::pagesInOrderAndOnlyShownOnesApply() {
    Home home;
    home.Write("news/feed01.all", kAllGroups);
    Desktop d(home);
    QVERIFY(d.started);
    const std::string allow = home.Read("allowip.ini");
    Sheet s(d);
    QCOMPARE(s.sheet.windowTitle(), QStringLiteral("Setup Information"));
    QStringList titles;
    for (int i = 0; i < s.sheet.Tabs()->count(); ++i) titles << s.sheet.Tabs()->tabText(i);
    QCOMPARE(titles, (QStringList{"Setup", "Events", "Groups", "RAS", "Newsfeed", "NT Service"}));

    // The Setup page shows with the sheet and fills from the files.
    auto* setup = qobject_cast<mainSetPage*>(s.sheet.Page(0));
    QCOMPARE(setup->ListenPort()->text(), QString::number(home.Port()));
    QCOMPARE(setup->NewsPath()->text(), QStringLiteral("news/"));
    QCOMPARE(setup->PostingHost()->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(Items(setup->AllowList()), QStringList{"127.0.0.1"});

    // Visiting the RAS page and applying changes the "ras" section only.
    auto* ras = s.Show<RasSetPage>(3);
    QVERIFY(WaitFor([&] { return ras->Loaded(); }));
    QCOMPARE(ras->Profile()->itemText(0), QStringLiteral("(None)"));
    QCOMPARE(ras->Profile()->currentIndex(), 0);
    QCOMPARE(ras->Password()->echoMode(), QLineEdit::Password);
    const std::string password(45, 'p');
    ras->Login()->setText("owner");
    ras->Password()->setText(QString::fromStdString(password));
    ras->Redial()->setText("3");
    ras->Wait()->setText("90");
    ras->Drop()->setChecked(false);
    const std::string before = home.Read("Quorvel.INI");
    s.Click(QDialogButtonBox::Apply);
    const std::string after = home.Read("Quorvel.INI");
    // The file without its "ras" section and its blank lines.
    const auto withoutRas = [](std::string ini) {
        if (const std::size_t at = ini.find("[ras]"); at != std::string::npos) {
            const std::size_t next = ini.find('[', at + 1);
            ini = ini.substr(0, at) + (next == std::string::npos ? "" : ini.substr(next));
        }
        for (std::size_t at; (at = ini.find("\r\n\r\n")) != std::string::npos;) ini.erase(at, 2);
        return ini;
    };
    QCOMPARE(QString::fromStdString(withoutRas(after)), QString::fromStdString(withoutRas(before)));
    QCOMPARE(home.Read("allowip.ini"), allow);
    QCOMPARE(Ini(home, "ras", "Login"), std::string("owner"));
    QCOMPARE(Ini(home, "ras", "redialattempts"), std::string("3"));
    QCOMPARE(Ini(home, "ras", "WaitForConnect"), std::string("90"));
    QCOMPARE(Ini(home, "ras", "DropConnect"), std::string("No"));
    // The password is stored scrambled and reads back whole.
    QVERIFY(Ini(home, "ras", "Password") != password);
    Sheet again(d);
    auto* ras2 = again.Show<RasSetPage>(3);
    QCOMPARE(ras2->Password()->text(), QString::fromStdString(password));

    // The Setup page writes its own keys and the allow list.
    setup->Mask()->setText("192.168.1.*");
    setup->AddIpButton();
    setup->Timeout()->setText("120");
    s.Click(QDialogButtonBox::Ok);
    QCOMPARE(home.Read("allowip.ini"), std::string("127.0.0.1\n192.168.1.*\n"));
    QCOMPARE(Ini(home, "admin", "ServerTimeout"), std::string("120"));
    QVERIFY(home.Read("Quorvel.INI").find("EVENT") == std::string::npos);
    QVERIFY(home.Read("Quorvel.INI").find("[Service]") == std::string::npos);
    QVERIFY(home.Read("Quorvel.INI").find("[expire]") == std::string::npos);
}

void SetupSheetTest::eventsPageListsAndApplies() {
    Home home;
    profile::WriteString(home / "Quorvel.INI", "EVENT01", "Type", "News");
    profile::WriteString(home / "Quorvel.INI", "EVENT01", "Day", "1");
    profile::WriteString(home / "Quorvel.INI", "EVENT01", "Hour", "10");
    profile::WriteString(home / "Quorvel.INI", "EVENT01", "Minute", "30");
    Desktop d(home);
    QVERIFY(d.started);

    // Through File > Setup, so that what follows the sheet runs too.
    QStringList lines;
    QObject::connect(&d.app.Frame(), &qvFrame::Command, [] {});
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [&, timer] {
        auto* sheet = qobject_cast<SetupSheet*>(QApplication::activeModalWidget());
        if (sheet == nullptr) return;
        timer->stop();
        timer->deleteLater();
        sheet->Tabs()->setCurrentIndex(1);
        auto* page = qobject_cast<schedSetPage*>(sheet->Page(1));
        page->GroupButton()->setChecked(true);
        page->Day()->setCurrentText("Every Day");
        page->Hour()->setCurrentText("All");
        page->Minute()->setCurrentText("15");
        page->AddEventButton();
        page->Interval()->setText("12");
        lines = Items(page->Events());
        sheet->accept();
    });
    timer->start();
    d.app.Frame().Action(qvFrame::kSetup)->trigger();

    QCOMPARE(lines, (QStringList{"[News] - Every Monday, at  10:30. <N11030>",
                                 "[Group] - Daily at 15 minutes past the hour. <G***15>"}));
    QCOMPARE(Ini(home, "EVENT02", "Type"), std::string("Group"));
    QCOMPARE(Ini(home, "EVENT02", "Day"), std::string("*"));
    QCOMPARE(Ini(home, "EVENT02", "Hour"), std::string("**"));
    QCOMPARE(Ini(home, "EVENT02", "Minute"), std::string("15"));
    QCOMPARE(Ini(home, "admin", "SleepTime"), std::string("12"));
    // The controller took the new schedule and countdown at once.
    const auto& status = d.app.Controller().StatusLines();
    QVERIFY(!status.empty());
    QCOMPARE(status.back(), std::string("Fetch in 12 minutes."));
    int triggers = 0;
    for (int i = 0; i < d.app.Frame().LogList()->count(); ++i)
        if (d.app.Frame().LogList()->item(i)->text().contains("[SCHED] Next Trigger: ")) ++triggers;
    QCOMPARE(triggers, 2 + 1);  // at start (one event), after the sheet (two)
}

void SetupSheetTest::groupsPageAddsSavesAndDeletes() {
    Home home;
    Desktop d(home);
    QVERIFY(d.started);
    Sheet s(d);
    auto* page = s.Show<groupSetPage>(2);
    QVERIFY(page != nullptr);
    BoxWatcher boxes;

    page->NewGroup()->setText("local.test");
    QTest::mouseClick(page->AddButton(), Qt::LeftButton);
    QCOMPARE(Items(page->Groups()), QStringList{"local.test"});
    const std::string index = home / "news/newsrc.ini";
    QCOMPARE(profile::GetString(index, "local.test", "Local", "?"), std::string("Yes"));

    page->NewGroup()->setText("LOCAL.TEST");
    QTest::mouseClick(page->AddButton(), Qt::LeftButton);
    QVERIFY(boxes.WaitForBoxes(1));
    QCOMPARE(boxes.Seen()[0], std::string("ERROR: Group already exists.\n Add Aborted."));

    page->Groups()->setCurrentRow(0);
    page->GroupEdit(0)->setText("5");
    page->AllowPost()->setChecked(false);
    QTest::mouseClick(page->SaveButton(), Qt::LeftButton);
    QCOMPARE(profile::GetString(index, "local.test", "ExpireAge", "?"), std::string("5"));
    QCOMPARE(profile::GetString(index, "local.test", "AllowPost", "?"), std::string("No"));

    // Refused while a feed session holds the lock; then No keeps it, Yes
    // deletes it.
    home.Write("news/feed01.lck", "**");
    DoubleClick(page->Groups(), "local.test");
    QVERIFY(boxes.WaitForBoxes(2));
    QCOMPARE(boxes.Seen()[1],
             std::string("Operation Unsuccessful: Modification are not allowed while a server "
                         "session is in progress."));
    std::filesystem::remove(home / "news/feed01.lck");
    boxes.Answer(QMessageBox::No);
    DoubleClick(page->Groups(), "local.test");
    QVERIFY(boxes.WaitForBoxes(3));
    QCOMPARE(Items(page->Groups()), QStringList{"local.test"});
    boxes.Answer(QMessageBox::Yes);
    DoubleClick(page->Groups(), "local.test");
    QVERIFY(boxes.WaitForBoxes(5));
    QCOMPARE(boxes.Seen()[3], std::string("Delete Group: Are you sure you want to remove this "
                                          "group and all of its articles?"));
    QCOMPARE(boxes.Seen()[4], std::string("Operation Complete: Newsgroup has been removed."));
    QVERIFY(Items(page->Groups()).isEmpty());
    QCOMPARE(profile::GetString(index, "local.test", "Local", "?"), std::string("?"));

    // Apply writes the defaults, and only this page's keys.
    page->DefaultEdit(0)->setText("14");
    s.Click(QDialogButtonBox::Apply);
    QCOMPARE(Ini(home, "expire", "age"), std::string("14"));
    QCOMPARE(Ini(home, "Service", "RunAsService"), std::string("(none)"));
}

void SetupSheetTest::newsfeedPageSubscribesAndSearches() {
    Home home;
    home.Write("news/feed01.all", kAllGroups);
    home.Write("news/feed01.sub", "Y0000000000 comp.lang.c\r\n");
    Desktop d(home);
    QVERIFY(d.started);
    Sheet s(d);
    auto* page = s.Show<feedGrpPage>(4);
    QVERIFY(page != nullptr);
    BoxWatcher boxes;
    QVERIFY(WaitFor([&] { return page->Categories()->count() > 0 && !page->Loading(); }));
    QCOMPARE(Items(page->Categories()), (QStringList{"alt", "comp", "control"}));
    QCOMPARE(page->Name()->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(page->Retrieve()->text(), QStringLiteral("all"));

    DoubleClick(page->Categories(), "comp");
    QVERIFY(WaitFor([&] { return !page->Loading(); }));
    QCOMPARE(Items(page->Subscribed()), QStringList{"comp.lang.c"});
    QCOMPARE(Items(page->Unsubscribed()), (QStringList{"comp.lang.ada", "comp.os.linux"}));

    page->Retrieve()->setText("25");
    DoubleClick(page->Unsubscribed(), "comp.os.linux");
    page->Retrieve()->setText("all");
    DoubleClick(page->Unsubscribed(), "comp.lang.ada");
    QCOMPARE(home.Read("news/feed01.sub"),
             std::string("Y0000000000 comp.lang.c\r\nY*000000025 comp.os.linux\r\n"
                         "Y0000000000 comp.lang.ada\r\n"));
    QCOMPARE(Items(page->Subscribed()),
             (QStringList{"comp.lang.ada", "comp.lang.c", "comp.os.linux"}));
    DoubleClick(page->Subscribed(), "comp.lang.c");
    QCOMPARE(home.Read("news/feed01.sub"),
             std::string("Y*000000025 comp.os.linux\r\nY0000000000 comp.lang.ada\r\n"));
    QCOMPARE(Items(page->Unsubscribed()), QStringList{"comp.lang.c"});

    // Search: found, then nothing after the selection (no wrapping).
    page->SearchText()->setText("lang");
    page->CmSearch();
    QCOMPARE(page->Unsubscribed()->currentItem()->text(), QStringLiteral("comp.lang.c"));
    page->CmSearch();
    QVERIFY(boxes.WaitForBoxes(1));
    QCOMPARE(boxes.Seen()[0], std::string("Program Information: Group not found"));

    // While a feed session runs nothing changes.
    home.Write("news/feed01.lck", "**");
    const std::string sub = home.Read("news/feed01.sub");
    DoubleClick(page->Subscribed(), "comp.os.linux");
    DoubleClick(page->Unsubscribed(), "comp.lang.c");
    QVERIFY(boxes.WaitForBoxes(3));
    QCOMPARE(boxes.Seen()[1], std::string("Operation Unsuccessful: Modification are not allowed "
                                          "while a server session is in progress."));
    QCOMPARE(home.Read("news/feed01.sub"), sub);
    QCOMPARE(Items(page->Unsubscribed()), QStringList{"comp.lang.c"});

    page->Name()->setText("news.example.org");
    page->Port()->setText("563");
    s.Click(QDialogButtonBox::Apply);
    QCOMPARE(Ini(home, "Newsfeed01", "name"), std::string("news.example.org"));
    QCOMPARE(Ini(home, "Newsfeed01", "port"), std::string("563"));
    // Nothing of the login and TLS was touched: none of their keys is written.
    QCOMPARE(Ini(home, "Newsfeed01", "Password"), std::string("(none)"));
    QCOMPARE(Ini(home, "Newsfeed01", "Security"), std::string("(none)"));

    // Login and TLS: the password is stored scrambled, only when typed, and
    // a fingerprint that is not one is refused with nothing written.
    page->User()->setText("joe");
    QTest::keyClicks(page->Password(), "s3cret");
    page->Security()->setCurrentText("tls");
    page->VerifyCert()->setText("checked, please");
    s.Click(QDialogButtonBox::Apply);
    QVERIFY(boxes.WaitForBoxes(4));
    QCOMPARE(Ini(home, "Newsfeed01", "User"), std::string("(none)"));
    page->VerifyCert()->setText("AB:" + QString(62, QLatin1Char('c')));
    s.Click(QDialogButtonBox::Apply);
    Setup setup(home / "Quorvel.INI");
    QCOMPARE(setup.GetFeedUser(), std::string("joe"));
    QCOMPARE(setup.GetFeedPassword(), std::string("s3cret"));
    QCOMPARE(setup.GetFeedSecurity(), std::string("tls"));
    QCOMPARE(setup.GetFeedVerifyCert(), "ab" + std::string(62, 'c'));
    QVERIFY(home.Read("Quorvel.INI").find("s3cret") == std::string::npos);
}

void SetupSheetTest::newsfeedLoadLeavesReadersServed() {
    Home home;
    profile::WriteString(home / "Quorvel.INI", "Newsfeed01", "AllGroupFile", "?");
    // Without a group list: the page says so once.
    {
        Desktop d(home);
        QVERIFY(d.started);
        BoxWatcher boxes;
        Sheet s(d);
        s.Show<feedGrpPage>(4);
        QVERIFY(boxes.WaitForBoxes(1));
        QVERIFY(boxes.SawText("File not available: Group file does not yet exist."));
    }
    profile::WriteString(home / "Quorvel.INI", "Newsfeed01", "AllGroupFile", "feed01.all");
    std::string all = "215 list\r\n";
    for (int i = 0; i < 100000; ++i)
        all += (i % 3 ? "alt.g" : "c" + std::to_string(i / 3 % 900) + ".g") + std::to_string(i) +
               " 10 1 y\r\n";
    all += ".\r\n";
    home.Write("news/feed01.all", all);
    Desktop d(home);
    QVERIFY(d.started);

    // A reader keeps asking while the page reads the 100,000 lines.
    std::atomic<int> replies{0};
    std::atomic<int> failures{0};
    uitest::Background reader([&](const std::atomic<bool>& stop) {
        testutil::LineClient c;
        if (!c.Connect(home.Port()) || !c.ReadLine()) {
            ++failures;
            return;
        }
        while (!stop) {
            const auto line = c.Send("MODE READER\r\n") ? c.ReadLine() : std::nullopt;
            if (!line) {
                if (!stop) ++failures;  // after stop, no one runs the loop to answer
                return;
            }
            ++replies;
        }
    });
    QVERIFY(WaitFor([&] { return replies > 0; }));
    Sheet s(d);
    auto* page = s.Show<feedGrpPage>(4);
    int during = 0;
    QVERIFY(WaitFor([&] { return page->Loading(); }));
    for (auto* list : {page->Categories(), page->Unsubscribed()}) {
        const int before = replies;
        QVERIFY(WaitFor([&] { return !page->Loading(); }, 30000));
        during += replies - before;
        if (list == page->Categories()) {
            QCOMPARE(page->Categories()->count(), 901);
            DoubleClick(page->Categories(), "alt");
            QVERIFY(page->Loading());
        }
    }
    QCOMPARE(page->Unsubscribed()->count(), 66666);
    reader.Join();
    QCOMPARE(failures.load(), 0);
    QVERIFY2(during > 0, "no reply while the page was loading");
}

void SetupSheetTest::servicePageButtonsAndQuestion() {
    Home home;
    const std::string units = home / "units";
    std::filesystem::create_directories(units);
    qputenv("QV_UNIT_DIR", QByteArray::fromStdString(units));
    qputenv("QV_SYSTEMCTL", "/bin/true");
    profile::WriteString(home / "Quorvel.INI", "ras", "Profile", "ISP");
    profile::WriteString(home / "Quorvel.INI", "Service", "Dependancy1", "network-online.target");
    Desktop d(home);
    QVERIFY(d.started);
    BoxWatcher boxes;
    {
        Sheet s(d);
        boxes.Answer(QMessageBox::Yes);
        auto* page = s.Show<ServiceEditorPage>(5);
        QVERIFY(WaitFor([&] { return page->SetUp() && boxes.Seen().size() == 1; }));
        QVERIFY(boxes.SawText("Program Question: Warning!  Quorvel requires RAS services"));
        QCOMPARE(Items(page->Dependancies()),
                 (QStringList{"network-online.target", "NetworkManager"}));
        QCOMPARE(page->InstallButton()->text(), QStringLiteral("Install Service"));
        QVERIFY(page->ServiceName()->isEnabled());

        page->NewDependancy()->setText("networkmanager");
        page->CmAddDependancy();  // already listed, whatever the case
        QCOMPARE(page->Dependancies()->count(), 2);
        s.Click(QDialogButtonBox::Apply);  // install reads the saved list

        page->Disabled()->setChecked(true);
        QTest::mouseClick(page->InstallButton(), Qt::LeftButton);
        QVERIFY(boxes.WaitForBoxes(2));
        QVERIFY(boxes.SawText("Program Information: Service installation successful."));
        QCOMPARE(page->InstallButton()->text(), QStringLiteral("Remove Service"));
        for (QWidget* w : std::initializer_list<QWidget*>{
                 page->ServiceName(), page->Automatically(), page->Manually(), page->Disabled()})
            QVERIFY(!w->isEnabled());
        QTest::mouseClick(page->InstallButton(), Qt::LeftButton);
        QVERIFY(boxes.WaitForBoxes(3));
        QVERIFY(boxes.SawText("Program Information: Service removal successful."));
        QCOMPARE(page->InstallButton()->text(), QStringLiteral("Install Service"));
        QVERIFY(page->ServiceName()->isEnabled());
        QCOMPARE(Ini(home, "Service", "RunAsService"), std::string("No"));
    }
    // Saved with the dial-up unit: no question the next time.
    Sheet s(d);
    auto* page = s.Show<ServiceEditorPage>(5);
    QVERIFY(WaitFor([&] { return page->SetUp(); }));
    QTest::qWait(50);
    QCOMPARE(boxes.Seen().size(), std::size_t(3));
    QCOMPARE(page->Dependancies()->count(), 2);
    qunsetenv("QV_UNIT_DIR");
    qunsetenv("QV_SYSTEMCTL");
}

void SetupSheetTest::wizardWritesTheSettings() {
    Home home(true);
    home.Write("allowip.ini", "127.0.0.1\r\n");
    Wizard wizard;
    QCOMPARE(wizard.windowTitle(), QStringLiteral("Quorvel - Quick Start Wizard"));
    QCOMPARE(wizard.Port()->text(), QStringLiteral("119"));
    QCOMPARE(wizard.NewsDirectory()->text(), QStringLiteral("news/"));
    QCOMPARE(wizard.ListenPort()->text(), QStringLiteral("119"));
    QCOMPARE(wizard.HostName()->maxLength(), 254);
    QCOMPARE(wizard.Port()->maxLength(), 4);
    wizard.HostName()->setText("news.provider.test");
    wizard.NewsDirectory()->setText("spool");
    wizard.ListenPort()->setText("");
    QVERIFY(!wizard.ContinueButton()->isEnabled());  // no reader port, no server
    QTest::keyClicks(wizard.ListenPort(), "1119");
    QTest::mouseClick(wizard.ContinueButton(), Qt::LeftButton);
    QVERIFY(wizard.Configured());
    struct Want {
        const char* section;
        const char* key;
        const char* value;
    } wants[] = {{"admin", "ListenPort", "1119"},
                 {"admin", "NewsPath", "spool/"},
                 {"admin", "PostingHost", "news.provider.test"},
                 {"NewsFeed01", "Name", "news.provider.test"},
                 {"NewsFeed01", "Port", "119"},
                 {"NewsFeed01", "AllGroupFile", "feed01.all"},
                 {"NewsFeed01", "SubGroupFile", "feed01.sub"}};
    for (const Want& w : wants) QCOMPARE(Ini(home, w.section, w.key), std::string(w.value));
    QCOMPARE(home.Read("allowip.ini").substr(0, 7), std::string("*.*.*.*"));
}

QTEST_MAIN(SetupSheetTest)
#include "SetupSheet_test.moc"
