#pragma once
// The desktop host: builds the main window as the core's Shell, the core
// itself (one Server) and the driver that runs the core's loop from Qt's;
// shows the splash, then the frame; and carries the frame's commands to the
// controller, the settings sheet and the About box.

#include <QObject>
#include <memory>
#include <string>

#include "app/HeadlessHost.h"  // HostOptions
#include "app/Server.h"

class LoopDriver;
class RasDialogWindow;
class qvFrame;
class qvPaneSplit;

struct DesktopOptions {
    ServerOptions server;
    // The splash goes first and the frame shows when it has gone; tests
    // show the frame at once.
    bool splash = true;
};

class qvApp : public QObject {
    Q_OBJECT
public:
    explicit qvApp(DesktopOptions options);
    ~qvApp() override;

    // Starts the core and shows the splash, then the frame. false, with
    // the reason in *why, when another server runs in the same home.
    bool InitMainWindow(std::string* why = nullptr);

    // A command of the menu or the tool bar, by its number.
    void Command(int command);
    // File > Setup: the settings sheet, run modally; what follows its
    // closing runs whether it closed by OK or by Cancel.
    void CmNewsFeed();
    // Help > About...
    void CmHelpAbout();

    qvFrame& Frame() { return *frame_; }
    Server& Core() { return *server_; }
    qvPaneSplit& Controller();
    LoopDriver& Driver() { return *driver_; }
    bool Exited() const { return exited_; }

signals:
    // File > Exit has run: the controller has let go and the loop stopped.
    void exited();

private:
    void Exit();

    DesktopOptions options_;
    // Built in this order, taken down in reverse: the loop's driver and the
    // dial-up window go before the core, the core before its shell.
    std::unique_ptr<qvFrame> frame_;
    std::unique_ptr<Server> server_;
    std::unique_ptr<RasDialogWindow> dialWindow_;
    std::unique_ptr<LoopDriver> driver_;
    bool sheetOpen_ = false;
    bool exited_ = false;
};

// The whole desktop run: the Qt application, qvApp and Qt's loop until
// File > Exit. The process's exit code.
int RunDesktop(const HostOptions& options, int& argc, char** argv);
