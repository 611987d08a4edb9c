#include "app/TrayIcon.h"

#include "config/LanguageTable.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QImageReader>
#include <QMenu>
#include <QMetaObject>
#include <QThread>
#include <QWidget>

#include <array>

namespace kestrune {

namespace {

struct MenuItem {
    int command;
    const char* languageKey;
};
constexpr std::array<MenuItem, 3> kTrayMenu{{
    {mainwnd::kCmdOpen, "MENU_11"},
    {mainwnd::kCmdAbout, "MENU_22"},
    {mainwnd::kCmdExit, "MENU_33"},
}};

} // namespace

std::filesystem::path TrayIconFile(const std::filesystem::path& skinFolder, int iconId)
{
    return skinFolder / ("tray" + std::to_string(iconId) + ".png");
}

Result<TrayIcons> LoadTrayIcons(const std::filesystem::path& skinFolder)
{
    TrayIcons icons;
    for (int id : {kIconDetached, kIconAttached, kIconRecording}) {
        const std::filesystem::path file = TrayIconFile(skinFolder, id);
        QImageReader reader(QString::fromStdString(file.string()));
        const QImage picture = reader.read();
        if (picture.isNull())
            return Error{"cannot load the tray icon " + file.string() + ": " + reader.errorString().toStdString()};
        icons.byId[id] = QIcon(QPixmap::fromImage(picture));
    }
    return icons;
}

TrayHost CurrentTrayHost()
{
    // Qt shows the icon through a StatusNotifierItem only when the watcher on
    // the session bus says a host has registered, and it decides that once,
    // for the first tray icon of the process; otherwise the icon docks into an
    // XEmbed tray. A watcher without a host is no StatusNotifierItem host.
    static const TrayHost host = [] {
        const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected() || bus.interface() == nullptr || !bus.interface()->isServiceRegistered(watcher).value())
            return TrayHost::XEmbed;
        QDBusInterface watcherObject(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, bus);
        return watcherObject.isValid() && watcherObject.property("IsStatusNotifierHostRegistered").toBool()
                   ? TrayHost::StatusNotifier
                   : TrayHost::XEmbed;
    }();
    return host;
}

TrayIcon::TrayIcon(QObject* parent) : QObject(parent)
{
    m_clickTimer.setSingleShot(true);
    connect(&m_clickTimer, &QTimer::timeout, this, &TrayIcon::DeliverSingleClick);
}

TrayIcon::~TrayIcon()
{
    Delete();
}

bool TrayIcon::Create(QWidget* owner, const TrayIcons& icons, const QString& tip, int iconResourceId, int iconId)
{
    if (owner == nullptr || icons.byId.count(iconResourceId) == 0) return false;
    Delete();
    m_owner = owner;
    m_icons = icons.byId;
    m_iconId = iconId;
    m_shownIcon = iconResourceId;
    m_host = CurrentTrayHost();

    m_menu = std::make_unique<QMenu>();
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    for (const MenuItem& item : kTrayMenu) {
        QAction* action = m_menu->addAction(QString());
        action->setData(item.command);
        action->setObjectName(QStringLiteral("trayMenu%1").arg(item.command));
        connect(action, &QAction::triggered, this, [this, command = item.command] { Q_EMIT Command(command); });
    }
    m_menu->setDefaultAction(m_menu->actions().constFirst());
    connect(m_menu.get(), &QMenu::aboutToShow, this, &TrayIcon::LocaliseMenu);
    LocaliseMenu();

    // Qt re-adds the icon by itself when the panel that shows it restarts
    // or a tray appears later, with the tooltip and icon it was last given.
    m_icon = new QSystemTrayIcon(m_icons[iconResourceId], this);
    m_icon->setObjectName(QStringLiteral("trayIcon"));
    m_icon->setToolTip(tip);
    m_menu->setAccessibleName(tip);
    m_icon->setContextMenu(m_menu.get());
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotification(m_iconId, reason); });
    m_icon->show();
    return true;
}

void TrayIcon::Delete()
{
    m_clickTimer.stop();
    m_clickPending = false;
    if (m_icon != nullptr) {
        m_icon->hide();
        delete m_icon;
        m_icon = nullptr;
    }
    // The menu may be the one handling the click that got here (Exit): it
    // goes once that handler has returned, not under its feet.
    if (m_menu) m_menu.release()->deleteLater();
    m_shownIcon = 0;
}

void TrayIcon::SetTip(const QString& tip)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, tip] { SetTip(tip); }, Qt::QueuedConnection);
        return;
    }
    if (m_icon != nullptr) m_icon->setToolTip(tip);
    // A screen reader names the menu as the panel names the icon.
    if (m_menu) m_menu->setAccessibleName(tip);
}

void TrayIcon::SetIcon(int iconResourceId)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, iconResourceId] { SetIcon(iconResourceId); }, Qt::QueuedConnection);
        return;
    }
    if (m_icon == nullptr || iconResourceId == m_shownIcon) return;
    const auto picture = m_icons.find(iconResourceId);
    if (picture == m_icons.end()) return;
    m_shownIcon = iconResourceId;
    m_icon->setIcon(picture->second);
}

void TrayIcon::SetSingleClickCommand(int command)
{
    m_singleClickCommand = command;
}

QString TrayIcon::Tip() const
{
    return m_icon != nullptr ? m_icon->toolTip() : QString();
}

QMenu* TrayIcon::Menu()
{
    if (m_menu) LocaliseMenu();
    return m_menu.get();
}

void TrayIcon::LocaliseMenu()
{
    // Read at every display, so the menu follows a language switch; a key
    // the file lacks shows a single blank, as the file says nothing better.
    const std::filesystem::path file = LanguageFilePath();
    const auto actions = m_menu->actions();
    for (std::size_t i = 0; i < kTrayMenu.size() && i < static_cast<std::size_t>(actions.size()); ++i)
        actions[static_cast<qsizetype>(i)]->setText(
            QString::fromStdU16String(ReadLanguageText(file, kTrayMenu[i].languageKey)));
}

bool TrayIcon::OnTrayNotification(int iconId, QSystemTrayIcon::ActivationReason reason)
{
    if (iconId != m_iconId || m_icon == nullptr) return false;
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        m_clickPending = false;
        m_clickTimer.stop();
        Q_EMIT Command(kTrayMenu[0].command);
        break;
    case QSystemTrayIcon::Trigger:
        if (m_host == TrayHost::StatusNotifier) {
            Q_EMIT Command(kTrayMenu[0].command);
        } else if (m_singleClickCommand != 0) {
            m_clickPending = true;
            m_clickTimer.start(QApplication::doubleClickInterval());
        }
        break;
    case QSystemTrayIcon::MiddleClick:
        if (m_host == TrayHost::StatusNotifier && m_singleClickCommand != 0) Q_EMIT Command(m_singleClickCommand);
        break;
    case QSystemTrayIcon::Context:
        // An XEmbed tray shows the attached menu by itself. A StatusNotifierItem
        // host that asks the item for its context menu, rather than drawing the
        // exported one, leaves showing it to us; the request carries no usable
        // place, so it opens at the cursor, where the host was clicked.
        if (m_host == TrayHost::StatusNotifier && m_menu) {
            m_menu->popup(QCursor::pos());
        }
        break;
    case QSystemTrayIcon::Unknown:
        break;
    }
    return true;
}

void TrayIcon::DeliverSingleClick()
{
    if (!m_clickPending) return;
    m_clickPending = false;
    if (m_singleClickCommand != 0) Q_EMIT Command(m_singleClickCommand);
}

} // namespace kestrune
