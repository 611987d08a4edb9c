#pragma once

// The base of every dialog of the program: a frameless window whose look is
// a picture. Its size comes from the background picture named in the skin,
// its outline from the mask picture's non-white pixels, and it is dragged by
// any point of its picture. Every opening reloads both pictures, so a
// changed skin shows the next time the dialog opens.

#include "ui/CIniFile.h"

#include <QDialog>
#include <QImage>
#include <QPoint>
#include <QRegion>

#include <filesystem>
#include <optional>
#include <string>

namespace kestrune {

// The window shape a mask gives: every pixel that is not pure white (all
// three colour components 255; alpha is not looked at).
QRegion RegionFromMask(const QImage& mask);

// Reads and decodes a skin picture whole. On any failure (missing, locked,
// empty, undecodable) PictureFailure is told why and nullopt comes back.
std::optional<QImage> LoadSkinPicture(const std::filesystem::path& file);

class CBaseDialog : public QDialog {
    Q_OBJECT
public:
    CBaseDialog(QWidget* parent, std::filesystem::path skinIniPath, std::filesystem::path skinFolder);
    ~CBaseDialog() override;

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
    const CIniFile& Ini() const { return m_ini; }
    const QImage& Background() const { return m_background; }
    const QImage& MaskPicture() const { return m_mask; }
    bool IsInitialised() const { return m_initialised; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool LoadSkin();
    void ReleasePictures();

    std::filesystem::path m_skinIniPath;
    std::filesystem::path m_skinFolder;
    CIniFile m_ini;
    QImage m_background;
    QImage m_mask;
    bool m_initialised = false;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace kestrune
