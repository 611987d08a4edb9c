#pragma once

// The firmware update dialog. The program carries no firmware and writes
// none: the user picks a separate updater program, may back the
// configuration up to a profile file first, and Update switches the keyboard
// into its boot loader and starts the updater.
//
// The updater is checked (there, a file, executable) before the keyboard is
// sent to its boot loader, so the keyboard is never left waiting there for
// an updater that cannot run. It starts detached, without a shell.
//
// Threading: the boot request and the backup (which waits for the
// configuration lock a running download holds) run through the
// DeviceJobRunner.

#include "ui/DeviceJobDialog.h"
#include "ui/ImageButton.h"

#include <QString>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class QComboBox;

namespace kestrune {

class ColourLabel;
class CommandProtocol;
class ConfigStore;

// Control ids, as the rest of the program knows them.
inline constexpr int kUpdateCaptionControl = 1179;
inline constexpr int kUpdatePathControl = 1178;
inline constexpr int kUpdateOpenControl = 1181;
inline constexpr int kUpdateBackupControl = 1182;
inline constexpr int kUpdateStartControl = 1147;
inline constexpr int kUpdateCancelControl = 1180;

// Skin keys of the update dialog (section BUTTONINFO of UpdateDlg.ini).
inline constexpr std::string_view kUpdateCaptionKey = "CONTROL_UPStatic";
inline constexpr std::string_view kUpdatePathKey = "CONTROL_UPCombox";
inline constexpr std::string_view kUpdateOpenKey = "CONTROL_OPENButton";
inline constexpr std::string_view kUpdateBackupKey = "CONTROL_BACKUPButton";
inline constexpr std::string_view kUpdateStartKey = "CONTROL_UPButton";
inline constexpr std::string_view kUpdateCancelKey = "CONTROL_CUPButton";

inline constexpr std::string_view kUpdaterFilter = "MyType Files (*)";
inline constexpr std::string_view kUpdateCaptionLanguageKey = "MAIN_UPDATE_FILE_LABEL";
inline constexpr std::string_view kUpdateTitleLanguageKey = "MAIN_UPDATE_TITLE";

enum class UpdaterCheck { Usable, Missing, NotExecutable };
// Whether `path` names a file this user may run.
UpdaterCheck CheckUpdater(const QString& path);

class FirmwareUpdateDialog : public DeviceJobDialog {
    Q_OBJECT
public:
    FirmwareUpdateDialog(QWidget* parent, CommandProtocol& protocol, ConfigStore& store, DeviceJobRunner runDevice,
                         const LanguageTable& language);
    ~FirmwareUpdateDialog() override;

    bool OnInitDialog() override;
    // The updater has started: close.
    void OnOK() override;
    // Forgets the chosen updater and closes.
    void OnCancel() override;

    void OnOpen();
    void OnBackup();
    void OnUpdate();

    // The chosen updater; kept while the program runs, empty after every
    // update attempt that reached the updater, and after every cancel.
    const QString& UpdateFilePath() const { return m_updateFilePath; }

private:
    void PlaceControls();
    void SetUpdateFilePath(const QString& path);
    void FinishUpdate(const QString& updater, int sent);

    CommandProtocol& m_protocol;
    ConfigStore& m_store;

    ColourLabel* m_caption;
    QComboBox* m_path;
    ImageButton* m_open;
    ImageButton* m_backup;
    ImageButton* m_update;
    ImageButton* m_cancel;

    QString m_updateFilePath;
};

} // namespace kestrune
