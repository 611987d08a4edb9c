#include "ui/FirmwareUpdateDialog.h"

#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "device/CommandProtocol.h"
#include "ui/ColourLabel.h"
#include "ui/Skin.h"
#include "ui/UserDialogs.h"

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>

#include <memory>

namespace kestrune {

namespace {

QString FromPath(const std::filesystem::path& path)
{
    return QString::fromStdU16String(path.u16string());
}

} // namespace

UpdaterCheck CheckUpdater(const QString& path)
{
    if (path.isEmpty()) return UpdaterCheck::Missing;
    const QFileInfo file(path);
    if (!file.exists() || !file.isFile()) return UpdaterCheck::Missing;
    return file.isExecutable() ? UpdaterCheck::Usable : UpdaterCheck::NotExecutable;
}

FirmwareUpdateDialog::FirmwareUpdateDialog(QWidget* parent, CommandProtocol& protocol, ConfigStore& store,
                                           DeviceJobRunner runDevice, const LanguageTable& language)
    : DeviceJobDialog(parent, ProgramFolder() / std::filesystem::path(kUpdateSkin), std::move(runDevice), language),
      m_protocol(protocol), m_store(store), m_caption(new ColourLabel(this)), m_path(new QComboBox(this)),
      m_open(new ImageButton(this)), m_backup(new ImageButton(this)), m_update(new ImageButton(this)),
      m_cancel(new ImageButton(this))
{
    // A path may be typed as well as chosen.
    m_path->setEditable(true);
    m_path->setInsertPolicy(QComboBox::NoInsert);
    m_path->setStyleSheet(SkinnedBoxStyle());
    connect(m_path, &QComboBox::editTextChanged, this, [this](const QString& text) { m_updateFilePath = text; });
    connect(m_open, &QAbstractButton::clicked, this, &FirmwareUpdateDialog::OnOpen);
    connect(m_backup, &QAbstractButton::clicked, this, &FirmwareUpdateDialog::OnBackup);
    connect(m_update, &QAbstractButton::clicked, this, &FirmwareUpdateDialog::OnUpdate);
    connect(m_cancel, &QAbstractButton::clicked, this, &FirmwareUpdateDialog::OnCancel);
}

FirmwareUpdateDialog::~FirmwareUpdateDialog() = default;

bool FirmwareUpdateDialog::OnInitDialog()
{
    if (!SkinnedDialog::OnInitDialog()) return false;
    LoadPicturesOnce(kUpdatePictures);
    PlaceControls();
    m_caption->setText(QString::fromStdU16String(ReadLanguageText(LanguageFilePath(), kUpdateCaptionLanguageKey)));
    setWindowTitle(QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), kUpdateTitleLanguageKey)));
    SetUpdateFilePath(m_updateFilePath);
    return true;
}

void FirmwareUpdateDialog::PlaceControls()
{
    const std::filesystem::path& ini = SkinIniPath();
    for (auto [button, key] : {std::pair{m_cancel, kUpdateCancelKey}, std::pair{m_update, kUpdateStartKey},
                               std::pair{m_open, kUpdateOpenKey}, std::pair{m_backup, kUpdateBackupKey}}) {
        button->setEnabled(true);
        PlaceImageButton(*button, ini, kPlacementSection, key, m_normal, m_over, m_over, m_over, m_over);
    }
    PlaceControl(*m_caption, ini, kPlacementSection, kUpdateCaptionKey);
    PlaceControl(*m_path, ini, kPlacementSection, kUpdatePathKey);
}

void FirmwareUpdateDialog::SetUpdateFilePath(const QString& path)
{
    m_updateFilePath = path;
    m_path->setEditText(path);
}

void FirmwareUpdateDialog::OnOpen()
{
    if (Busy()) return;
    FileDialogRequest request;
    request.initialPath = FromPath(PackageFolder());
    request.filter = QString::fromLatin1(kUpdaterFilter);
    request.executablesOnly = true;
    if (const QString chosen = AskFileName(this, request); !chosen.isEmpty()) {
        SetUpdateFilePath(chosen);
        update();
    }
    // The Windows dialog moved the process into the Package folder here, and
    // the updater inherited it; Qt's does not, so the updater is given that
    // folder when it starts instead (FinishUpdate).
}

void FirmwareUpdateDialog::OnBackup()
{
    if (Busy()) return;
    const Result<std::filesystem::path> folder = ProfileFolder();
    FileDialogRequest request;
    request.save = true; // with the overwrite question
    request.initialPath = FromPath((folder ? *folder : DocumentsFolder()) / "*.kpf");
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty()) return;
    const std::filesystem::path file(chosen.toStdU16String());
    // WriteProfileFile takes the configuration lock, which a download holds
    // for as long as it talks to the keyboard.
    auto written = std::make_shared<Status>();
    RunDeviceJob([store = &m_store, file, written] { *written = WriteProfileFile(*store, file); },
                 [this, written] {
                     if (*written) {
                         Inform("MAIN_UPDATE_BACKUP_OK");
                     } else {
                         Inform("MAIN_UPDATE_BACKUP_NG", {}, QString::fromStdString(written->error()));
                     }
                 });
}

void FirmwareUpdateDialog::OnUpdate()
{
    if (Busy()) return;
    // Made absolute, so the program started is the file checked and not a
    // namesake found through PATH.
    const QString updater = m_updateFilePath.isEmpty() ? QString() : QFileInfo(m_updateFilePath).absoluteFilePath();
    switch (CheckUpdater(updater)) {
    case UpdaterCheck::Missing:
        Inform("MAIN_UPDATE_ERROR_TEXT");
        return;
    case UpdaterCheck::NotExecutable:
        Inform("MAIN_UPDATE_NOT_EXECUTABLE", {updater.toStdString()});
        return;
    case UpdaterCheck::Usable:
        break;
    }
    auto sent = std::make_shared<int>(kResultNotSent);
    RunDeviceJob([protocol = &m_protocol, sent] { *sent = protocol->EnterBootMode(); },
                 [this, updater, sent] { FinishUpdate(updater, *sent); });
}

void FirmwareUpdateDialog::FinishUpdate(const QString& updater, int sent)
{
    if (sent != kResultOk) {
        // The keyboard is as it was; the chosen updater stays for another try.
        Inform("MAIN_BOOT_ERROR_TEXT");
        return;
    }
    QProcess process;
    process.setProgram(updater);
    const QFileInfo package(FromPath(PackageFolder()));
    if (package.isDir()) process.setWorkingDirectory(package.absoluteFilePath());
    const bool started = process.startDetached();
    SetUpdateFilePath({});
    if (!started) {
        Inform("MAIN_SHELL_ERROR_TEXT", {}, process.errorString());
    } else {
        OnOK();
    }
}

void FirmwareUpdateDialog::OnOK()
{
    SkinnedDialog::OnOK();
}

void FirmwareUpdateDialog::OnCancel()
{
    SetUpdateFilePath({});
    SkinnedDialog::OnCancel();
}

} // namespace kestrune
