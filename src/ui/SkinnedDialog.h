#pragma once

// The base of every dialog of the program: a frameless window whose look is
// a picture. Its size comes from the background picture named in the skin,
// its outline from the mask picture's non-white pixels, and it is dragged by
// any point of its picture. Every opening reloads both pictures, so a
// changed skin shows the next time the dialog opens.

#include "ui/SkinIniFile.h"

#include <QDialog>
#include <QImage>
#include <QPoint>
#include <QRegion>

#include <filesystem>
#include <optional>
#include <string>

class QKeyEvent;

namespace kestrune {

// The window shape a mask gives: every pixel that is not pure white (all
// three colour components 255; alpha is not looked at).
QRegion RegionFromMask(const QImage& mask);

// Reads and decodes a skin picture whole. On any failure (missing, locked,
// empty, undecodable) PictureFailure is told why and nullopt comes back.
std::optional<QImage> LoadSkinPicture(const std::filesystem::path& file);
// Reads only a skin picture's header: its size, or nullopt after telling
// PictureFailure why the file cannot be a picture.
std::optional<QSize> CheckSkinPicture(const std::filesystem::path& file);

// The keys every skinned window takes for itself: Enter and Escape do
// nothing, so neither closes the window behind the user's back, and F1 (or
// a Help key) opens the help when `helpAllowed`. True when the key was one
// of them; any other key is left to the caller.
bool TakeDialogKey(QKeyEvent* event, bool helpAllowed = true);

class SkinnedDialog : public QDialog {
    Q_OBJECT
public:
    SkinnedDialog(QWidget* parent, std::filesystem::path skinIniPath, std::filesystem::path skinFolder);
    ~SkinnedDialog() override;

    // Loads the skin. Derived dialogs call this first, then place their
    // controls. Runs by itself before the dialog is shown for the first time
    // after each closing. False when a picture could not be loaded.
    virtual bool OnInitDialog();
    // Release the pictures, then end the dialog. Derived dialogs that take
    // these over end by calling them.
    virtual void OnOK();
    virtual void OnCancel();

    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }
    void setVisible(bool visible) override;

    const std::filesystem::path& SkinIniPath() const { return m_skinIniPath; }
    const std::filesystem::path& SkinFolder() const { return m_skinFolder; }
    const SkinIniFile& Ini() const { return m_ini; }
    const QImage& Background() const { return m_background; }
    const QImage& MaskPicture() const { return m_mask; }
    bool IsInitialised() const { return m_initialised; }

    // For a window that spends most of its life hidden (the main window in
    // the tray): OnInitDialog only checks that its pictures can be read and
    // takes its size from the background's header; the pictures are decoded
    // when the window is shown and dropped again when it is hidden, so the
    // hidden window holds no decoded picture. Set before OnInitDialog.
    void SetPicturesWhileShownOnly(bool on) { m_shownOnly = on; }
    bool PicturesLoaded() const { return m_picturesLoaded; }

protected:
    // Decodes the background and the mask (the mask only while the window
    // has no shape yet) and shapes the window. Windows with pictures of their
    // own decode them after calling this, and drop them in DropShownPictures.
    virtual bool LoadShownPictures();
    virtual void DropShownPictures();

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool LoadSkin();
    bool CheckSkin();
    void BindSkin();
    void ReleasePictures();

    std::filesystem::path m_skinIniPath;
    std::filesystem::path m_skinFolder;
    SkinIniFile m_ini;
    std::filesystem::path m_mainPath;
    std::filesystem::path m_maskPath;
    QImage m_background;
    QImage m_mask;
    bool m_initialised = false;
    bool m_shownOnly = false;
    bool m_picturesLoaded = false;
    bool m_shaped = false;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace kestrune
