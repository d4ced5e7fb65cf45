#pragma once
// The About box of Help > About...: the program icon, the version line
// "Quorvel Version 1.0, Release A, Build 2" made from the build's version
// data, the frame's title, the legal notice and the special-build line,
// and OK.

#include <QDialog>

class QLabel;

class qvAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit qvAboutDlg(QWidget* parent = nullptr);

    QLabel* VersionLine() const { return version_; }   // static 22001
    QLabel* LegalNotice() const { return legal_; }     // static 22002
    QLabel* SpecialBuild() const { return special_; }  // static 22003

private:
    void SetupWindow();

    QLabel* version_ = nullptr;
    QLabel* legal_ = nullptr;
    QLabel* special_ = nullptr;
};
