#include "ui/qvAboutDlg.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "core/Version.h"
#include "ui/Icons.h"
#include "ui/UiText.h"

namespace {

using uitext::Q;

}  // namespace

qvAboutDlg::qvAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About Quorvel"));
    auto* icon = new QLabel;
    icon->setPixmap(icons::Icon(icons::kProgram).pixmap(QSize(48, 48)));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    version_ = new QLabel(tr("Version"));
    version_->setObjectName(QStringLiteral("version"));
    QFont bold = version_->font();
    bold.setBold(true);
    version_->setFont(bold);
    auto* title = new QLabel(Q(version::kFrameTitle));
    legal_ = new QLabel;
    legal_->setObjectName(QStringLiteral("legal"));
    legal_->setWordWrap(true);
    special_ = new QLabel;
    special_->setObjectName(QStringLiteral("specialBuild"));
    for (QLabel* l : {version_, title, legal_, special_})
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(16);
    grid->addWidget(icon, 0, 0, 4, 1);
    grid->addWidget(version_, 0, 1);
    grid->addWidget(title, 1, 1);
    grid->addWidget(legal_, 2, 1);
    grid->addWidget(special_, 3, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    SetupWindow();
}

void qvAboutDlg::SetupWindow() {
    // "<product> Version <version>, Release A, Build 2" from the version
    // data; the static keeps its own word in the middle.
    version_->setText(Q(version::AboutLine(version_->text().toStdString())));
    legal_->setText(Q(version::kLegalNotice));
    special_->setText(Q(version::kSpecialBuild));
    special_->setVisible(!special_->text().isEmpty());
}
