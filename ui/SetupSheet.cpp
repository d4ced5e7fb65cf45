#include "ui/SetupSheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "ui/RasSetPage.h"
#include "ui/ServiceEditorPage.h"
#include "ui/feedGrpPage.h"
#include "ui/groupSetPage.h"
#include "ui/mainSetPage.h"
#include "ui/schedSetPage.h"

SetupSheet::SetupSheet(SheetContext context, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Setup Information"));
    setObjectName(QStringLiteral("setupSheet"));
    tabs_ = new QTabWidget;
    pages_ = {
        new mainSetPage(context), new schedSetPage(context), new groupSetPage(context),
        new RasSetPage(context),  new feedGrpPage(context),  new ServiceEditorPage(context),

    };
    for (SheetPage* page : pages_) tabs_->addTab(page, page->Title());

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                                    QDialogButtonBox::Apply);
    connect(buttons_, &QDialogButtonBox::accepted, this, &SetupSheet::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &SetupSheet::reject);
    connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &SetupSheet::ApplyPages);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);
}

bool SetupSheet::ApplyPages() {
    bool ok = true;
    for (SheetPage* page : pages_)
        if (page->WasShown()) ok = page->Apply() && ok;
    return ok;
}

void SetupSheet::accept() {
    if (ApplyPages()) QDialog::accept();
}

void SetupSheet::reject() {
    for (SheetPage* page : pages_) page->CmCancel();
    QDialog::reject();
}
