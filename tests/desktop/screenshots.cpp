// Opens every window of the desktop front-end on the display it is given
// and saves a picture of each: the splash, the main window with a reader
// connected, the settings sheet on each of its pages, the quick start
// wizard, the dial-up dialog following the simulated dial-up machinery, and
// the About box. tests/desktop_screenshots.sh runs it under Xvfb.
//
//   ui_screenshots OUTDIR HOME     (HOME prepared by the script)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <iostream>
#include <vector>

#include "app/qvPaneSplit.h"
#include "net/EventLoop.h"
#include "settings/Setup.h"
#include "ui/RasDialogWindow.h"
#include "ui/SetupSheet.h"
#include "ui/Wizard.h"
#include "ui/qvAboutDlg.h"
#include "ui/qvApp.h"
#include "ui/qvFrame.h"
#include "ui/qvSplash.h"

namespace {

QString outDir;
int failures = 0;

// A newsreader's connection, so that the tree shows one; the kernel
// completes it while the server's loop gets round to it.
int ConnectReader(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// What the X server shows of the window, frame and all.
void Shoot(QWidget* w, const QString& name) {
    if (w == nullptr || !w->isVisible()) {
        std::cerr << "not shown: " << name.toStdString() << "\n";
        ++failures;
        return;
    }
    const QRect g = w->frameGeometry();
    const QPixmap shot = w->screen()->grabWindow(0, g.x(), g.y(), g.width(), g.height());
    const QString path = outDir + "/" + name + ".png";
    if (!shot.save(path)) {
        std::cerr << "cannot save " << path.toStdString() << "\n";
        ++failures;
        return;
    }
    std::cout << path.toStdString() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: ui_screenshots OUTDIR HOME\n";
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(outDir);
    const std::string home = argv[2];
    if (::chdir(home.c_str()) != 0) return 2;

    DesktopOptions options;
    options.server.home = home;
    options.server.version = "1.0";
    options.server.directory = home;
    options.splash = false;
    qvApp qv(options);
    if (!qv.InitMainWindow()) return 1;
    qvFrame& frame = qv.Frame();
    frame.move(40, 40);
    frame.resize(820, 480);

    int reader = -1;
    std::unique_ptr<SetupSheet> sheet;
    std::unique_ptr<Wizard> wizard;
    std::unique_ptr<qvAboutDlg> about;
    qvSplash* splash = nullptr;
    const auto sheetOn = [&](int page) {
        return [&, page] {
            if (!sheet) {
                sheet = std::make_unique<SetupSheet>(
                    SheetContext{qv.Core().Loop(), qv.Controller().GetSetup(), qv.Controller()},
                    &frame);
                sheet->resize(720, 520);
                sheet->move(60, 60);
                sheet->show();
            }
            sheet->Tabs()->setCurrentIndex(page);
        };
    };
    const auto shootSheet = [&](const char* name) {
        return [&, name] { Shoot(sheet.get(), name); };
    };

    // Each step runs after the one before has had time to be drawn.
    const std::vector<std::function<void()>> steps = {
        [&] {
            splash = new qvSplash([] {}, 60000);
            splash->show();
        },
        [&] {
            Shoot(splash, "splash");
            splash->close();
            reader = ConnectReader(qv.Controller().GetSetup().GetListenPort());
        },
        [&] {
            frame.Tree()->expandAll();
            frame.activateWindow();
        },
        [&] { Shoot(&frame, "main-window"); },
        sheetOn(0),
        shootSheet("sheet-1-setup"),
        sheetOn(1),
        shootSheet("sheet-2-events"),
        sheetOn(2),
        shootSheet("sheet-3-groups"),
        sheetOn(3),
        shootSheet("sheet-4-ras"),
        sheetOn(4),
        shootSheet("sheet-5-newsfeed"),
        sheetOn(5),
        shootSheet("sheet-6-nt-service"),
        [&] {
            sheet->reject();
            sheet.reset();
            wizard = std::make_unique<Wizard>(&frame);
            wizard->move(120, 100);
            wizard->show();
        },
        [&] { Shoot(wizard.get(), "wizard"); },
        [&] {
            wizard->reject();
            wizard.reset();
            // The simulated line takes its time to come up; the time-left
            // line shows from the first five-second tick on.
            qv.Controller().CmProcessQueue();
        },
        [] {},
        [] {},
        [] {},
        [] {},
        [] {},
        [] {},
        [] {},
        [] {},
        [&] {
            QWidget* dial = nullptr;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("rasDialog") && w->isVisible()) dial = w;
            Shoot(dial, "dialup-dialog");
            qv.Controller().CmCancel();
        },
        [&] {
            about = std::make_unique<qvAboutDlg>(&frame);
            about->move(160, 140);
            about->show();
        },
        [&] { Shoot(about.get(), "about"); },
        [&] {
            about.reset();
            qv.Controller().CmExit();
        },
    };
    std::size_t next = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (next < steps.size()) steps[next++]();
    });
    timer.start(700);
    QObject::connect(&qv, &qvApp::exited, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QApplication::exec();
    qv.Core().Stopped();
    if (reader >= 0) ::close(reader);
    return failures == 0 ? 0 : 1;
}
