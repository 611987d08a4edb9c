#include "app/AboutDialog.h"

#include "config/LanguageTable.h"
#include "ui/ColourLabel.h"
#include "ui/UserDialogs.h"

#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace kestrune {

AboutDialog::AboutDialog(const QString& link, bool english, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutDialog"));
    setAttribute(Qt::WA_DeleteOnClose);

    m_description = new ColourLabel(this);
    m_description->setObjectName(QStringLiteral("aboutDescription"));
    m_description->setWordWrap(true);
    m_copyright = new ColourLabel(this);
    m_copyright->setObjectName(QStringLiteral("aboutCopyright"));
    m_copyright->setWordWrap(true);
    // Black letters: the box has the system's light background, not a skin picture.
    m_description->SetTextColour(Qt::black);
    m_copyright->SetTextColour(Qt::black);
    // The texts come from the section the window's language says, read now,
    // so a switch shows in the next box.
    auto loaded = IniFile::Load(LanguageFilePath());
    const IniFile file = loaded ? std::move(*loaded) : IniFile();
    const std::string_view section = english ? kEnglishSection : kChineseSection;
    const auto read = [&](std::string_view key) {
        return QString::fromStdU16String(file.ReadString(section, key, kMissingLanguageText, kLanguageReadBuffer));
    };
    // Named as the window's menu names it, in the window's language.
    const QString title = read("MENU_3").trimmed();
    setWindowTitle(title.isEmpty() ? QStringLiteral("About") : title);
    m_description->setText(read("GUANYU_JIESHAO"));
    m_copyright->setText(read("GUANYU_BANQUAN"));
    m_description->setAccessibleName(m_description->text());
    m_copyright->setAccessibleName(m_copyright->text());

    m_link = new QLabel(this);
    m_link->setObjectName(QStringLiteral("aboutLink"));
    m_link->setText(QStringLiteral("<a href=\"%1\">%1</a>").arg(link.toHtmlEscaped()));
    m_link->setAccessibleName(link);
    m_link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    m_link->setOpenExternalLinks(false);
    connect(m_link, &QLabel::linkActivated, this, [this](const QString& url) { OpenUrl(QUrl(url), this); });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    buttons->setObjectName(QStringLiteral("aboutButtons"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_description);
    layout->addWidget(m_copyright);
    layout->addWidget(m_link);
    layout->addWidget(buttons);
    setMinimumWidth(380);
}

void AboutDialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        OpenHelp(this);
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace kestrune
