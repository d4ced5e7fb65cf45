#pragma once
// The settings sheet "Setup Information": its pages as tabs, in the
// order Setup, Events, Groups, RAS, Newsfeed, NT Service, with OK, Cancel
// and Apply. OK and Apply write every page that has been shown at least
// once; Cancel writes nothing. The host runs it modally from File > Setup
// and tells the controller when it has closed.

#include <QDialog>
#include <vector>

#include "ui/SheetPage.h"

class QDialogButtonBox;
class QTabWidget;

class SetupSheet : public QDialog {
    Q_OBJECT
public:
    SetupSheet(SheetContext context, QWidget* parent = nullptr);

    // Applies every page that has been shown; false when one of them could
    // not write (the sheet then stays open on OK).
    bool ApplyPages();

    QTabWidget* Tabs() const { return tabs_; }
    SheetPage* Page(int index) const { return pages_.at(static_cast<std::size_t>(index)); }
    int PageCount() const { return static_cast<int>(pages_.size()); }
    QDialogButtonBox* Buttons() const { return buttons_; }

public slots:
    void accept() override;
    void reject() override;

private:
    std::vector<SheetPage*> pages_;
    QTabWidget* tabs_ = nullptr;
    QDialogButtonBox* buttons_ = nullptr;
};
