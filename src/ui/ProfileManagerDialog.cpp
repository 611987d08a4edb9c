#include "ui/ProfileManagerDialog.h"

#include "config/ConfigStore.h"
#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/Transfer.h"
#include "ui/UserDialogs.h"
#include "wire/Protocol.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTableWidget>

#include <memory>
#include <vector>

namespace kestrune {

namespace {

// The headings speak the language shown; the built-in texts are the Chinese ones.
constexpr std::string_view kHeadingKeys[] = {kProfileActiveHeadingKey, kProfileNameHeadingKey, kProfilePathHeadingKey};
constexpr int kColumnWidths[] = {60, 120, 230};
constexpr int kCheckColumn = 0;
constexpr int kNameColumn = 1;
constexpr int kFolderColumn = 2;
// Column 0 keeps the keyboard profile a row stands for (-1: a file row),
// column 1 the file's full path.
constexpr int kRowDataRole = Qt::UserRole;

QString FromPath(const std::filesystem::path& path)
{
    return QString::fromStdU16String(path.u16string());
}

std::filesystem::path ToPath(const QString& text)
{
    return std::filesystem::path(text.toStdU16String());
}

} // namespace

ProfileRowText RowTextOf(const std::filesystem::path& file)
{
    QString folder = FromPath(file.parent_path());
    if (!folder.endsWith(u'/')) folder += u'/';
    return {FromPath(file.stem()), folder};
}

QString KeptPathOf(const ProfileRowText& row)
{
    return row.folder + row.name + QStringLiteral(".kpf");
}

QString NewProfileOffer(const std::filesystem::path& profileFolder, std::u16string_view text)
{
    QString name = QString::fromStdU16String(std::u16string(text));
    name.replace(u'\\', u'/');
    return FromPath(profileFolder) + name;
}

ProfileManagerDialog::ProfileManagerDialog(QWidget* parent, Transfer& transfer, DeviceJobRunner runDevice,
                                           UserSettings& settings, const LanguageTable& language,
                                           ProfileManagerOwner& owner)
    : DeviceJobDialog(parent, ProgramFolder() / std::filesystem::path(kProfileSkin), std::move(runDevice), language),
      m_transfer(transfer), m_settings(settings), m_owner(owner), m_list(new QTableWidget(0, 3, this)),
      m_add(new ImageButton(this)), m_load(new ImageButton(this)), m_delete(new ImageButton(this)),
      m_ok(new ImageButton(this)), m_cancel(new ImageButton(this)), m_apply(new ImageButton(this)),
      m_test(new QPushButton(QStringLiteral("Test"), this))
{
    // A button of the dialog's resource that nothing shows and nothing answers.
    m_test->setObjectName(QStringLiteral("1013"));
    m_test->setEnabled(false);
    m_test->hide();
    SetUpList();
    connect(m_add, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnAdd);
    connect(m_load, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnLoad);
    connect(m_delete, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnDelete);
    connect(m_apply, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnApply);
    connect(m_ok, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnOK);
    connect(m_cancel, &QAbstractButton::clicked, this, &ProfileManagerDialog::OnCancel);
    connect(m_list, &QTableWidget::itemChanged, this, &ProfileManagerDialog::OnItemChanged);
}

ProfileManagerDialog::~ProfileManagerDialog() = default;

void ProfileManagerDialog::SetUpList()
{
    m_list->setObjectName(QStringLiteral("PROGRAM_LIST"));
    m_list->setStyleSheet(SkinnedListStyle());
    SetHeadings();
    for (int column = 0; column < 3; ++column) m_list->setColumnWidth(column, kColumnWidths[column]);
    QHeaderView* header = m_list->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
    m_list->verticalHeader()->hide();
    m_list->setShowGrid(true);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->setWordWrap(false);
}

void ProfileManagerDialog::SetHeadings()
{
    QStringList headings;
    for (std::string_view key : kHeadingKeys)
        headings << QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), key));
    m_list->setHorizontalHeaderLabels(headings);
    // The title the taskbar and the window switcher show.
    setWindowTitle(QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), kProfileTitleKey)));
}

bool ProfileManagerDialog::OnInitDialog()
{
    if (!SkinnedDialog::OnInitDialog()) return false;
    ++m_openCount;
    ++m_opening;
    LoadPicturesOnce(kProfilePictures);
    PlaceControls();
    SetHeadings();
    FillList();
    return true;
}

void ProfileManagerDialog::PlaceControls()
{
    const std::filesystem::path& ini = SkinIniPath();
    for (auto [button, key] : {std::pair{m_ok, kProfileOkKey}, std::pair{m_cancel, kProfileCancelKey},
                               std::pair{m_add, kProfileAddKey}, std::pair{m_load, kProfileLoadKey},
                               std::pair{m_delete, kProfileDeleteKey}, std::pair{m_apply, kProfileApplyKey}}) {
        // A button a previous skin hid comes back when this one places it.
        button->setEnabled(true);
        PlaceImageButton(*button, ini, kPlacementSection, key, m_normal, m_over, m_down, m_disable, m_normal);
    }
    PlaceControl(*m_list, ini, kPlacementSection, kProfileListKey);
}

void ProfileManagerDialog::FillList()
{
    m_list->setRowCount(0);
    // The folder may be impossible to create; the rows still say where it belongs.
    const Result<std::filesystem::path> working = WorkingProfilePath();
    const std::filesystem::path workingFile = working ? *working : WorkingProfileLocation();
    for (int profile = 0; profile < wire::kProfileCount; ++profile) AppendRow(workingFile, profile);
    // The cached value: the attach and every switch keep it, and the GUI
    // thread never waits for the keyboard.
    const int active = m_transfer.CachedActiveProfile();
    if (active >= 0 && active < m_list->rowCount()) m_list->item(active, kCheckColumn)->setCheckState(Qt::Checked);
    SetApplyPending(false);
}

void ProfileManagerDialog::AppendRow(const std::filesystem::path& file, int keyboardProfile)
{
    const ProfileRowText text = RowTextOf(file);
    const int row = m_list->rowCount();
    m_list->insertRow(row);
    auto* check = new QTableWidgetItem();
    check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    check->setData(kRowDataRole, keyboardProfile);
    check->setCheckState(Qt::Unchecked);
    // The keyboard rows share one working file: they go by their profile's name.
    auto* name = new QTableWidgetItem(keyboardProfile >= 0 ? KeyboardProfileName(keyboardProfile) : text.name);
    name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    name->setData(kRowDataRole, FromPath(file));
    auto* folder = new QTableWidgetItem(text.folder);
    folder->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_list->setItem(row, kCheckColumn, check);
    m_list->setItem(row, kNameColumn, name);
    m_list->setItem(row, kFolderColumn, folder);
}

int ProfileManagerDialog::FirstCheckedRow() const
{
    for (int row = 0; row < m_list->rowCount(); ++row) {
        if (m_list->item(row, kCheckColumn)->checkState() == Qt::Checked) return row;
    }
    return -1;
}

QString ProfileManagerDialog::RowFile(int row) const
{
    return m_list->item(row, kNameColumn)->data(kRowDataRole).toString();
}

int ProfileManagerDialog::KeyboardProfileOfRow(int row) const
{
    return m_list->item(row, kCheckColumn)->data(kRowDataRole).toInt();
}

void ProfileManagerDialog::OnItemChanged(QTableWidgetItem* item)
{
    if (item == nullptr || item->column() != kCheckColumn) return;
    // Single-check mode: checking a row unchecks every other one.
    if (!m_checking && item->checkState() == Qt::Checked) {
        m_checking = true;
        for (int row = 0; row < m_list->rowCount(); ++row) {
            QTableWidgetItem* other = m_list->item(row, kCheckColumn);
            if (other != nullptr && other != item && other->checkState() != Qt::Unchecked)
                other->setCheckState(Qt::Unchecked);
        }
        m_checking = false;
    }
    SetApplyPending(true);
}

void ProfileManagerDialog::SetApplyPending(bool pending)
{
    m_applyPending = pending;
    m_apply->setEnabled(pending);
}

void ProfileManagerDialog::OnAdd()
{
    if (Busy()) return;
    const Result<std::filesystem::path> folder = ProfileFolder();
    if (!folder) {
        Inform("PROFILE_FILE_NOT_WRITTEN", {folder.error()});
        return;
    }
    FileDialogRequest request;
    request.save = true; // with the overwrite question
    request.initialPath = NewProfileOffer(*folder, m_language.Text("PROFILE_NEW"));
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty()) return;
    const std::filesystem::path file = ToPath(chosen);
    // A row for a file that is not there would stand for nothing.
    if (Status written = CreateDefaultConfiguration(file); !written) {
        Inform("PROFILE_FILE_NOT_WRITTEN", {written.error()});
        return;
    }
    AppendRow(file, -1);
    SetApplyPending(true);
}

void ProfileManagerDialog::OnLoad()
{
    if (Busy()) return;
    const Result<std::filesystem::path> folder = ProfileFolder();
    FileDialogRequest request;
    request.initialPath = FromPath((folder ? *folder : WorkingProfileLocation().parent_path()) / "*.kpf");
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty()) return;
    AppendRow(ToPath(chosen), -1);
    SetApplyPending(true);
}

void ProfileManagerDialog::OnDelete()
{
    if (Busy()) return;
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    if (selected.isEmpty()) return;
    const int row = selected.constFirst().row();
    const int next = row + 1 < m_list->rowCount() ? row + 1 : row - 1;
    if (next >= 0) m_list->selectRow(next);
    m_list->removeRow(row);
    SetApplyPending(true);
}

void ProfileManagerDialog::OnApply()
{
    StartApply(false);
}

void ProfileManagerDialog::OnOK()
{
    StartApply(true);
}

void ProfileManagerDialog::StartApply(bool closeAfter)
{
    if (Busy() || m_settling) return;
    m_settling = true;
    const unsigned opening = m_opening;
    m_owner.SettleUnappliedChanges([this, opening, closeAfter](bool goOn) {
        m_settling = false;
        // Edits the keyboard did not take stay in the window, and the dialog
        // open, rather than being replaced by the keyboard's configuration.
        if (goOn && IsOpen() && opening == m_opening) RunApply(closeAfter);
    });
}

void ProfileManagerDialog::RunApply(bool closeAfter)
{
    if (Busy()) return;
    std::vector<std::u16string> kept;
    // From the row's file, not its shown name, which for a keyboard row is no file's.
    for (int row = 0; row < m_list->rowCount(); ++row)
        kept.push_back(KeptPathOf(RowTextOf(ToPath(RowFile(row)))).toStdU16String());
    if (Status saved = WriteProfileList(m_settings, kept); !saved) Inform("PROFILE_LIST_NOT_SAVED", {saved.error()});

    const int checked = FirstCheckedRow();
    // Rows follow their profile when rows above them are deleted; a file row
    // stands for no profile of the keyboard, which is told so.
    const int profile = checked < 0 ? -1 : KeyboardProfileOfRow(checked);
    if (checked >= 0 && profile < 0) Inform("PROFILE_NOT_ON_KEYBOARD", {RowFile(checked).toStdString()});

    const unsigned opening = m_opening;
    setCursor(Qt::BusyCursor);
    auto switchedTo = std::make_shared<int>(-1);
    RunDeviceJob(
        [transfer = &m_transfer, profile, switchedTo] {
            transfer->SetActiveProfile(profile);
            *switchedTo = transfer->CachedActiveProfile();
            transfer->RefreshFromKeyboard(false);
        },
        [this, opening, profile, switchedTo, closeAfter] { FinishApply(opening, profile, *switchedTo, closeAfter); });
}

void ProfileManagerDialog::FinishApply(unsigned opening, int profile, int switchedTo, bool closeAfter)
{
    unsetCursor();
    m_owner.BuildProfileMenu(false);
    const bool sameOpening = IsOpen() && opening == m_opening;
    if (sameOpening) SetApplyPending(false);
    m_owner.SetUnappliedChanges(false);
    if (profile >= 0 && switchedTo != profile) Inform("PROFILE_SWITCH_FAILED", {std::to_string(profile + 1)});
    if (closeAfter && sameOpening) CloseDialog(true);
}

void ProfileManagerDialog::OnCancel()
{
    CloseDialog(false);
}

void ProfileManagerDialog::CloseDialog(bool accepted)
{
    if (m_openCount > 0) --m_openCount;
    SetApplyPending(false);
    if (accepted) {
        SkinnedDialog::OnOK();
    } else {
        SkinnedDialog::OnCancel();
    }
}

int ProfileManagerDialog::CloseProfileManager()
{
    if (IsOpen()) OnCancel();
    return 1;
}

void ProfileManagerDialog::ShowSwitchedProfile(int profile)
{
    if (!IsOpen()) return;
    for (int row = 0; row < m_list->rowCount(); ++row) {
        if (KeyboardProfileOfRow(row) == profile) {
            m_list->item(row, kCheckColumn)->setCheckState(Qt::Checked);
            break;
        }
    }
    SetApplyPending(false);
}

void ProfileManagerDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_F1:
        OpenHelp(this);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // OK is the default button.
        OnOK();
        return;
    default:
        SkinnedDialog::keyPressEvent(event);
    }
}

} // namespace kestrune
