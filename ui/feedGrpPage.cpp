#include "ui/feedGrpPage.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "net/EventLoop.h"
#include "net/TlsSocket.h"
#include "settings/Profile.h"
#include "settings/Setup.h"
#include "ui/UiText.h"

using store::GroupListScan;
using store::SubscriptionPage;
using uitext::Q;
using uitext::S;

namespace {

QListWidget* GroupList(const QString& name) {
    auto* list = new QListWidget;
    list->setAccessibleName(name);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setUniformItemSizes(true);
    return list;
}

// The lists keep themselves sorted without regard to case, as the page's
// list boxes do.
void InsertSorted(QListWidget* list, const QString& text) {
    int lo = 0;
    int hi = list->count();
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (QString::compare(list->item(mid)->text(), text, Qt::CaseInsensitive) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    list->insertItem(lo, text);
}

void Fill(QListWidget* list, const std::vector<std::string>& names) {
    QStringList items;
    items.reserve(static_cast<qsizetype>(names.size()));
    for (const std::string& n : names) items << Q(n);
    list->clear();
    list->addItems(items);
}

QString Selected(const QListWidget* list) {
    const QListWidgetItem* item = list->currentItem();
    return item != nullptr && item->isSelected() ? item->text() : QString();
}

}  // namespace

feedGrpPage::feedGrpPage(SheetContext context, QWidget* parent)
    : SheetPage(parent), context_(context), model_(SubscriptionPage::FromSetup(context.setup)) {
    categories_ = GroupList(tr("Categories"));
    unsubscribed_ = GroupList(tr("Unscubscribed Groups"));
    subscribed_ = GroupList(tr("Subscribed Groups"));
    OnEntryAction(categories_, {Qt::Key_Return, Qt::Key_Enter}, [this] { CategoryClick(); });
    OnEntryAction(unsubscribed_, {Qt::Key_Return, Qt::Key_Enter}, [this] { UnsubClick(); });
    OnEntryAction(subscribed_, {Qt::Key_Return, Qt::Key_Enter}, [this] { SubClick(); });
    auto* lists = new QGridLayout;
    int column = 0;
    for (QListWidget* list : {categories_, unsubscribed_, subscribed_}) {
        auto* caption = new QLabel(list->accessibleName());
        caption->setBuddy(list);
        lists->addWidget(caption, 0, column);
        lists->addWidget(list, 1, column);
        lists->setColumnStretch(column, column == 0 ? 2 : 3);
        ++column;
    }
    progress_ = new QLabel;
    progress_->setObjectName(QStringLiteral("loadProgress"));

    name_ = LimitedEdit(255);
    port_ = LimitedEdit(5);
    port_->setMaximumWidth(port_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 6 + 16);
    auto* server = new QGroupBox(tr("Server Information"));
    auto* serverForm = new QFormLayout(server);
    serverForm->addRow(tr("Name"), name_);
    serverForm->addRow(tr("Port"), port_);
    user_ = LimitedEdit(99);
    password_ = LimitedEdit(static_cast<int>(Setup::kMaxPassword));
    password_->setEchoMode(QLineEdit::Password);
    connect(password_, &QLineEdit::textEdited, this, [this] { passwordTyped_ = true; });
    security_ = new QComboBox;
    security_->addItems(
        {QStringLiteral("none"), QStringLiteral("tls"), QStringLiteral("starttls")});
    verify_ = LimitedEdit(99);
    verify_->setToolTip(tr("Yes, No, or the SHA-256 fingerprint of the certificate to accept"));
    caFile_ = LimitedEdit(4095);
    serverForm->addRow(tr("User"), user_);
    serverForm->addRow(tr("Password"), password_);
    serverForm->addRow(tr("Security"), security_);
    serverForm->addRow(tr("Verify Certificate"), verify_);
    serverForm->addRow(tr("CA File"), caFile_);

    search_ = LimitedEdit(99);
    auto* searchButton = new QPushButton(tr("Search"));
    connect(searchButton, &QPushButton::clicked, this, &feedGrpPage::CmSearch);
    connect(search_, &QLineEdit::returnPressed, this, &feedGrpPage::CmSearch);
    auto* searchRow = new QHBoxLayout;
    auto* searchLabel = new QLabel(tr("Search unsubscribed groups for:"));
    searchLabel->setBuddy(search_);
    searchRow->addWidget(searchLabel);
    searchRow->addWidget(search_, 1);
    searchRow->addWidget(searchButton);

    retrieve_ = LimitedEdit(5);
    retrieve_->setText(QStringLiteral("all"));
    retrieve_->setMaximumWidth(retrieve_->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 6 +
                               16);
    auto* retrieveRow = new QHBoxLayout;
    auto* retrieveLabel = new QLabel(tr("Retrieve"));
    retrieveLabel->setBuddy(retrieve_);
    retrieveRow->addWidget(retrieveLabel);
    retrieveRow->addWidget(retrieve_);
    retrieveRow->addWidget(new QLabel(tr("articles for new groups.")));
    retrieveRow->addStretch();

    auto* right = new QVBoxLayout;
    right->addLayout(searchRow);
    right->addLayout(retrieveRow);
    right->addStretch();
    auto* lower = new QHBoxLayout;
    lower->addWidget(server, 1);
    lower->addLayout(right, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(lists, 1);
    layout->addWidget(progress_);
    layout->addLayout(lower);
}

feedGrpPage::~feedGrpPage() { StopLoading(); }

void feedGrpPage::SetupWindow() {
    const std::string& ini = context_.setup.IniPath();
    name_->setText(Q(profile::GetString(ini, "Newsfeed01", "name", "?", 254)));
    port_->setText(Q(profile::GetString(ini, "Newsfeed01", "port", "?", 8)));
    user_->setText(Q(context_.setup.GetFeedUser()));
    password_->clear();
    password_->setPlaceholderText(context_.setup.GetFeedPassword().empty() ? tr("(none)")
                                                                           : tr("(set)"));
    passwordTyped_ = false;
    security_->setCurrentText(Q(context_.setup.GetFeedSecurity()));
    verify_->setText(Q(context_.setup.GetFeedVerifyCert()));
    caFile_->setText(Q(context_.setup.GetFeedCAFile()));
    // Once the page is on the screen, so that its messages have a window.
    stepTimer_ = context_.loop.After(0, [this] {
        stepTimer_ = 0;
        MsgLoadCat();
    });
}

void feedGrpPage::MsgLoadCat() {
    categories_->clear();
    Start(GroupListScan::Categories(model_), true);
}

void feedGrpPage::Start(GroupListScan scan, bool categories) {
    StopLoading();
    scanningCategories_ = categories;
    scan_.emplace(std::move(scan));
    LoadStep();
}

void feedGrpPage::LoadStep() {
    stepTimer_ = 0;
    if (!scan_) return;
    if (scan_->Step(kLinesPerStep) == GroupListScan::Status::Running) {
        progress_->setText(tr("Reading the group list: %L1 lines").arg(scan_->LinesRead()));
        stepTimer_ = context_.loop.After(0, [this] { LoadStep(); });
        return;
    }
    Loaded();
}

void feedGrpPage::Loaded() {
    const GroupListScan scan = std::move(*scan_);
    scan_.reset();
    progress_->clear();
    switch (scan.GetStatus()) {
        case GroupListScan::Status::Running: return;
        case GroupListScan::Status::NotConfigured:
        case GroupListScan::Status::Unreadable:
            // A category without a group list still shows its subscriptions.
            if (!scanningCategories_) break;
            // Shown from Qt's loop: this runs in a step of the core's, which
            // must not wait for a person.
            QTimer::singleShot(0, this, [this, status = scan.GetStatus()] {
                Message(SubscriptionPage::kFileTitle, status == GroupListScan::Status::NotConfigured
                                                          ? SubscriptionPage::kNoGroupFileSetting
                                                          : SubscriptionPage::kNoGroupFile);
            });
            return;
        case GroupListScan::Status::Done: break;
    }
    if (scanningCategories_) {
        Fill(categories_, scan.CategoryList());
    } else {
        Fill(subscribed_, scan.Subscribed());
        Fill(unsubscribed_, scan.Unsubscribed());
    }
}

void feedGrpPage::StopLoading() {
    if (stepTimer_ != 0) context_.loop.Cancel(stepTimer_);
    stepTimer_ = 0;
    scan_.reset();
    if (progress_ != nullptr) progress_->clear();
}

void feedGrpPage::CategoryClick() {
    const QString category = Selected(categories_);
    if (category.isEmpty()) return;
    subscribed_->clear();
    unsubscribed_->clear();
    Start(GroupListScan::Category(model_, S(category)), false);
}

bool feedGrpPage::Refused(SubscriptionPage::Change change, const std::string& group) {
    switch (change) {
        case SubscriptionPage::Change::Done: return false;
        case SubscriptionPage::Change::Locked:
            Message(SubscriptionPage::kLockedTitle, SubscriptionPage::kLocked);
            break;
        case SubscriptionPage::Change::BadName:
            Message("ERROR", group + " cannot be a group name.");
            break;
        case SubscriptionPage::Change::Failed:
            Message("ERROR", "The subscription file " + model_.SubscriptionPath() +
                                 " could not be written.");
            break;
    }
    return true;
}

void feedGrpPage::UnsubClick() {
    const QString group = Selected(unsubscribed_);
    if (group.isEmpty()) return;
    if (Refused(model_.UnsubClick(S(group), S(retrieve_->text())), S(group))) return;
    delete unsubscribed_->takeItem(unsubscribed_->currentRow());
    InsertSorted(subscribed_, group);
}

void feedGrpPage::SubClick() {
    const QString group = Selected(subscribed_);
    if (group.isEmpty()) return;
    if (Refused(model_.SubClick(S(group)), S(group))) return;
    delete subscribed_->takeItem(subscribed_->currentRow());
    InsertSorted(unsubscribed_, group);
}

void feedGrpPage::CmSearch() {
    std::vector<std::string> entries;
    entries.reserve(static_cast<std::size_t>(unsubscribed_->count()));
    for (int i = 0; i < unsubscribed_->count(); ++i)
        entries.push_back(S(unsubscribed_->item(i)->text()));
    const long after = Selected(unsubscribed_).isEmpty() ? -1 : unsubscribed_->currentRow();
    const auto found = SubscriptionPage::CmSearch(entries, after, S(search_->text()));
    if (!found) {
        Message(SubscriptionPage::kNotFoundTitle, SubscriptionPage::kNotFound);
        return;
    }
    unsubscribed_->setCurrentRow(static_cast<int>(*found));
    unsubscribed_->scrollToItem(unsubscribed_->currentItem());
}

bool feedGrpPage::Apply() {
    // A load under way ends: the sheet is about to close.
    StopLoading();
    const std::string& ini = context_.setup.IniPath();
    Setup& setup = context_.setup;
    const QString typed = verify_->text().trimmed();
    std::string verify;
    if (typed.isEmpty() || typed.startsWith(QLatin1Char('Y'), Qt::CaseInsensitive))
        verify = "Yes";
    else if (typed.startsWith(QLatin1Char('N'), Qt::CaseInsensitive))
        verify = "No";
    else
        verify = TlsSocket::NormalizeFingerprint(S(typed));
    if (verify.empty()) {
        Message("ERROR",
                "Verify Certificate must be Yes, No or the certificate's SHA-256 fingerprint "
                "(64 hexadecimal digits).");
        return false;
    }
    const std::string password = S(password_->text());
    if (passwordTyped_ && (!Setup::PasswordStorable(password) ||
                           password.find_first_of("\r\n") != std::string::npos)) {
        Message("ERROR", "The password may have at most 99 characters and no line breaks.");
        return false;
    }
    bool ok = profile::WriteString(ini, "Newsfeed01", "name", S(name_->text())) &&
              profile::WriteString(ini, "Newsfeed01", "port", S(port_->text()));
    // Only what changed is written: a page saved as it was shown leaves the
    // file without login or TLS keys.
    const std::string user = S(user_->text().trimmed());
    const std::string security = S(security_->currentText());
    const std::string caFile = S(caFile_->text().trimmed());
    if (user != setup.GetFeedUser()) ok = setup.SetFeedUser(user) && ok;
    if (security != setup.GetFeedSecurity()) ok = setup.SetFeedSecurity(security) && ok;
    if (verify != setup.GetFeedVerifyCert()) ok = setup.SetFeedVerifyCert(verify) && ok;
    if (caFile != setup.GetFeedCAFile()) ok = setup.SetFeedCAFile(caFile) && ok;
    if (passwordTyped_) ok = setup.SetFeedPassword(password) && ok;
    if (!ok) Message("ERROR", "The settings file could not be written.");
    return ok;
}

void feedGrpPage::CmCancel() { StopLoading(); }
