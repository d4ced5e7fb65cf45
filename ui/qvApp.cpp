#include "ui/qvApp.h"

#include <QApplication>
#include <QMessageBox>
#include <iostream>

#include "app/HostProcess.h"
#include "app/qvPaneSplit.h"
#include "core/Version.h"
#include "net/EventLoop.h"
#include "settings/Setup.h"
#include "ui/Icons.h"
#include "ui/LoopDriver.h"
#include "ui/RasDialogWindow.h"
#include "ui/SetupSheet.h"
#include "ui/qvAboutDlg.h"
#include "ui/qvFrame.h"
#include "ui/qvSplash.h"
#include "ui/schedSetPage.h"

qvApp::qvApp(DesktopOptions options)
    : options_(std::move(options)),
      frame_(std::make_unique<qvFrame>()),
      server_(std::make_unique<Server>(*frame_, options_.server)) {
    qvPaneSplit& controller = server_->Controller();
    dialWindow_ =
        std::make_unique<RasDialogWindow>(frame_.get(), [&controller] { controller.CmCancel(); });
    controller.SetDialView(dialWindow_.get());
    controller.SetInTray([frame = frame_.get()] { return frame->InTray(); });
    controller.SetExitHandler([this] { Exit(); });
    connect(frame_.get(), &qvFrame::Command, this, &qvApp::Command);
    driver_ = std::make_unique<LoopDriver>(server_->Loop());
}

qvApp::~qvApp() {
    driver_.reset();
    qvPaneSplit& controller = server_->Controller();
    controller.SetDialView(nullptr);
    controller.SetInTray(nullptr);
    controller.SetExitHandler(nullptr);
    dialWindow_.reset();
    server_.reset();
}

qvPaneSplit& qvApp::Controller() { return server_->Controller(); }

bool qvApp::InitMainWindow(std::string* why) {
    if (!server_->Start(why)) return false;
    if (options_.splash) {
        auto* splash = new qvSplash([frame = frame_.get()] { frame->show(); });
        splash->show();
    } else {
        frame_->show();
    }
    return true;
}

void qvApp::Command(int command) {
    qvPaneSplit& controller = server_->Controller();
    switch (command) {
        case qvFrame::kGetPost: controller.CmProcessQueue(); break;
        case qvFrame::kRefreshGroups: controller.CmRefreshGroups(); break;
        case qvFrame::kExpire: controller.CmExpireRun(); break;
        case qvFrame::kSetup: CmNewsFeed(); break;
        case qvFrame::kAbout: CmHelpAbout(); break;
        case qvFrame::kExit: controller.CmExit(); break;
        default: break;
    }
}

void qvApp::CmNewsFeed() {
    // The sheet is modal; a second one would be a second set of pages over
    // the same files.
    if (sheetOpen_ || exited_) return;
    sheetOpen_ = true;
    qvPaneSplit& controller = server_->Controller();
    Setup& setup = controller.GetSetup();
    const int sleepTimeBefore = setup.GetSleepTime();
    bool scheduleChanged = false;
    {
        SetupSheet sheet(SheetContext{server_->Loop(), setup, controller}, frame_.get());
        sheet.exec();
        for (int i = 0; i < sheet.PageCount(); ++i)
            if (const auto* page = qobject_cast<schedSetPage*>(sheet.Page(i)))
                scheduleChanged = page->ScheduleChanged();
    }
    sheetOpen_ = false;
    if (!exited_) controller.SettingsClosed(sleepTimeBefore, scheduleChanged);
}

void qvApp::CmHelpAbout() {
    qvAboutDlg about(frame_.get());
    about.exec();
}

void qvApp::Exit() {
    if (exited_) return;
    exited_ = true;
    server_->Loop().Stop();
    frame_->CloseForExit();
    emit exited();
}

int RunDesktop(const HostOptions& options, int& argc, char** argv) {
    PrepareHostProcess();
    // Before Qt starts threads of its own, so that they leave the signals
    // to the loop.
    ExitSignals exitSignals;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvel - NNTP Server for Window NT/95"));
    QApplication::setDesktopFileName(QStringLiteral("quorvel"));
    QApplication::setWindowIcon(icons::Icon(icons::kProgram));
    // The frame may be hidden in the tray while the last dialog closes;
    // only File > Exit ends the program.
    QApplication::setQuitOnLastWindowClosed(false);

    DesktopOptions desktop;
    desktop.server.home = options.home;
    desktop.server.version = options.version;
    desktop.server.tickMs = TickMsFromEnvironment();
    qvApp qv(desktop);
    std::string why;
    if (!qv.InitMainWindow(&why)) {
        std::cerr << "quorvel: " << why << "\n";
        QMessageBox::critical(nullptr, QStringLiteral("Quorvel"), QString::fromStdString(why));
        return 1;
    }
    exitSignals.Watch(qv.Core().Loop(), qv.Controller());
    QObject::connect(&qv, &qvApp::exited, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QApplication::exec();
    exitSignals.Unwatch(qv.Core().Loop());
    qv.Core().Stopped();
    return 0;
}
