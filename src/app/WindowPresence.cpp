#include "app/WindowPresence.h"

#include <QWidget>

namespace kestrune {

void ShowAsAppWindow(QWidget* window)
{
    if (window == nullptr) return;
    // Changing the flags of a shown window hides it, so they change only
    // while it is hidden (the tool flag is only ever set on a hidden window).
    if ((window->windowFlags() & Qt::WindowType_Mask) == Qt::Tool) {
        window->setWindowFlags((window->windowFlags() & ~Qt::WindowType_Mask) | Qt::Window);
    }
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
}

void HideToTray(QWidget* window)
{
    if (window == nullptr) return;
    window->hide();
    if ((window->windowFlags() & Qt::WindowType_Mask) != Qt::Tool)
        window->setWindowFlags((window->windowFlags() & ~Qt::WindowType_Mask) | Qt::Tool);
}

} // namespace kestrune
