#pragma once
// The quick start wizard "Quorvel - Quick Start Wizard", shown at the first
// start when no upstream server is configured: the upstream server and its
// port, the news directory and the reader port. "Continue" writes them
// (app/FirstRun's WriteWizard: the settings, the two subscription file
// names and an allow list admitting every address); closing it any other
// way writes nothing, and it comes again at the next start.

#include <QDialog>

#include "app/FirstRun.h"

class QLineEdit;
class QPushButton;

class Wizard : public QDialog {
    Q_OBJECT
public:
    // The host name offered, which the person replaces with the provider's.
    static constexpr const char* kSampleHost = "news.example.net";

    explicit Wizard(QWidget* parent = nullptr);

    // The "Continue" button: writes everything and closes with OK. A file
    // that cannot be written is said, and the dialog stays.
    void WizContinue();
    // Whether Continue wrote the settings.
    bool Configured() const { return configured_; }

    QLineEdit* HostName() const { return host_; }
    QLineEdit* Port() const { return port_; }
    QLineEdit* NewsDirectory() const { return news_; }
    QLineEdit* ListenPort() const { return listen_; }
    QPushButton* ContinueButton() const { return continue_; }

private:
    WizardValues TransferData() const;
    void CheckInput();

    QLineEdit* host_ = nullptr;    // 254 characters
    QLineEdit* port_ = nullptr;    // 4
    QLineEdit* news_ = nullptr;    // 254
    QLineEdit* listen_ = nullptr;  // 4
    QPushButton* continue_ = nullptr;
    bool configured_ = false;
};
