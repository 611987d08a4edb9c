#pragma once

// The program's icon in the tray, on QSystemTrayIcon: the XEmbed tray of X11
// panels and the StatusNotifierItem hosts of newer desktops both carry it.
// The icon shows whether a keyboard is attached (kIconDetached, kIconAttached,
// and kIconRecording while the keyboard records a macro on its own), its tooltip names the
// program, and its menu offers Open (the default item, in bold), About and
// Exit in the words of the language file, read anew at every display.
//
// Mouse: a double-click runs the menu's first command (Open); a single click
// runs the registered single-click command once the double-click time has
// passed without a second click. On a StatusNotifierItem host, whose
// activation is a single click, that click opens the window and the host's
// secondary activation (middle click) runs the single-click command; its
// request for the context menu shows the tray menu at the cursor.
//
// Commands reach the owner through the Command signal, on the GUI thread.
// SetIcon and SetTip may be called from any thread: the change is carried to
// the GUI thread and made there.

#include "app/MainWindowIds.h"
#include "common/Result.h"
#include "device/DeviceEvents.h" // the icon ids

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <filesystem>
#include <map>
#include <memory>

class QMenu;
class QWidget;

namespace kestrune {

inline constexpr int kTrayIconId = 140; // also the number of the tray menu

// The picture of an icon id in the skin folder: "Skins/tray<id>.png".
std::filesystem::path TrayIconFile(const std::filesystem::path& skinFolder, int iconId);
// The three icons loaded from the skin folder; the error names the first
// file that is missing or cannot be read as a picture.
struct TrayIcons {
    std::map<int, QIcon> byId;
};
Result<TrayIcons> LoadTrayIcons(const std::filesystem::path& skinFolder);

// Which kind of tray host will show the icon.
enum class TrayHost { XEmbed, StatusNotifier };
TrayHost CurrentTrayHost();

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    // Adds the icon with `iconResourceId` (kIconDetached, kIconAttached or
    // kIconRecording) and `tip`. False, and no icon, when there is no owner
    // or the icon pictures are missing.
    // Without a tray at this moment the icon appears once a tray starts, as
    // it comes back after a panel restart.
    bool Create(QWidget* owner, const TrayIcons& icons, const QString& tip, int iconResourceId,
                int iconId = kTrayIconId);
    // Removes the icon; later calls do nothing until Create.
    void Delete();

    void SetTip(const QString& tip);         // any thread
    void SetIcon(int iconResourceId);        // any thread; the id already shown does nothing
    void SetSingleClickCommand(int command); // 0: none

    bool IsCreated() const { return m_icon != nullptr; }
    int ShownIcon() const { return m_shownIcon; }
    QString Tip() const;
    bool IsClickPending() const { return m_clickPending; }
    void SetHost(TrayHost host) { m_host = host; }

    // The tray menu, localised from the language file now.
    QMenu* Menu();
    // What the mouse did on icon `iconId`; false when it is not this icon.
    bool OnTrayNotification(int iconId, QSystemTrayIcon::ActivationReason reason);

Q_SIGNALS:
    void Command(int command);

private:
    void LocaliseMenu();
    void DeliverSingleClick();

    QPointer<QWidget> m_owner;
    QSystemTrayIcon* m_icon = nullptr;
    std::unique_ptr<QMenu> m_menu;
    std::map<int, QIcon> m_icons;
    int m_iconId = 0;
    int m_shownIcon = 0;
    int m_singleClickCommand = 0;
    bool m_clickPending = false;
    QTimer m_clickTimer;
    TrayHost m_host = TrayHost::XEmbed;
};

} // namespace kestrune
