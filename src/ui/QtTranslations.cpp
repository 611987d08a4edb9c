#include "ui/QtTranslations.h"

#include "config/LanguageTable.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#include <QString>
#include <QTranslator>

namespace kestrune {
namespace {

constexpr auto kChineseQtCatalogue = "qtbase_zh_CN";

// Owned by the application object, so it never outlives it.
QPointer<QTranslator>& InstalledTranslator()
{
    static QPointer<QTranslator> translator;
    return translator;
}

} // namespace

void ApplyQtTranslations(int languageIndex)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr) return;
    if (QTranslator* old = InstalledTranslator()) {
        QCoreApplication::removeTranslator(old);
        delete old;
    }
    // Index 1 is English, every other index reads the Chinese texts.
    if (languageIndex == kEnglishLanguageIndex) return;

    auto* translator = new QTranslator(app);
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator->load(QString::fromLatin1(kChineseQtCatalogue), folder)) {
        qInfo("Qt's Chinese texts are not installed (%s in %s): its buttons and file dialogs stay English",
              kChineseQtCatalogue, qUtf8Printable(folder));
        delete translator;
        return;
    }
    QCoreApplication::installTranslator(translator);
    InstalledTranslator() = translator;
}

} // namespace kestrune
