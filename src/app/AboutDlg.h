#pragma once

// The About box: the skin's web link and the two texts of the language file,
// modeless, one at a time.

#include <QDialog>

class QLabel;

namespace kestrune {

class ColorStatic;

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    CAboutDlg(const QString& link, bool english, QWidget* parent = nullptr);

    ColorStatic* Description() const { return m_description; }
    ColorStatic* Copyright() const { return m_copyright; }
    QLabel* Link() const { return m_link; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ColorStatic* m_description = nullptr;
    ColorStatic* m_copyright = nullptr;
    QLabel* m_link = nullptr;
};

} // namespace kestrune
