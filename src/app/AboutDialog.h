#pragma once

// The About box: the skin's web link and the two texts of the language file,
// modeless, one at a time.

#include <QDialog>

class QLabel;

namespace kestrune {

class ColourLabel;

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    AboutDialog(const QString& link, bool english, QWidget* parent = nullptr);

    ColourLabel* Description() const { return m_description; }
    ColourLabel* Copyright() const { return m_copyright; }
    QLabel* Link() const { return m_link; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    ColourLabel* m_description = nullptr;
    ColourLabel* m_copyright = nullptr;
    QLabel* m_link = nullptr;
};

} // namespace kestrune
