#include "ui/UserDialogs.h"

#include "config/Folders.h"
#include "config/LanguageTable.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>

#include <utility>

namespace kestrune {
namespace {

MessageBoxHook& BoxHook()
{
    static MessageBoxHook hook;
    return hook;
}

OpenUrlHook& UrlHook()
{
    static OpenUrlHook hook;
    return hook;
}

FileDialogHook& FileHook()
{
    static FileDialogHook hook;
    return hook;
}

QString BoxTitle(QWidget* parent)
{
    if (parent != nullptr && !parent->window()->windowTitle().isEmpty()) return parent->window()->windowTitle();
    return QApplication::applicationDisplayName();
}

QMessageBox::StandardButton RunBox(QWidget* parent, const MessageBoxRequest& request)
{
    if (const MessageBoxHook& hook = BoxHook()) return hook(request);
    QMessageBox box(request.question ? QMessageBox::Question : QMessageBox::Information, request.title, request.text,
                    request.question ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
    box.setObjectName(request.question ? QStringLiteral("questionBox") : QStringLiteral("messageBox"));
    box.setDefaultButton(request.question ? QMessageBox::No : QMessageBox::Ok);
    // A hidden main window still owns its boxes; they must come up on their own.
    box.setWindowModality(parent != nullptr && parent->isVisible() ? Qt::WindowModal : Qt::ApplicationModal);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

} // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook)
{
    return std::exchange(BoxHook(), std::move(hook));
}

FileDialogHook SetFileDialogHook(FileDialogHook hook)
{
    return std::exchange(FileHook(), std::move(hook));
}

OpenUrlHook SetOpenUrlHook(OpenUrlHook hook)
{
    return std::exchange(UrlHook(), std::move(hook));
}

void ShowInformation(QWidget* parent, const QString& text)
{
    RunBox(parent, {text, BoxTitle(parent), false});
}

bool AskYesNo(QWidget* parent, const QString& text)
{
    return RunBox(parent, {text, BoxTitle(parent), true}) == QMessageBox::Yes;
}

QString AskFileName(QWidget* parent, const FileDialogRequest& request)
{
    if (const FileDialogHook& hook = FileHook()) return hook(request);
    QFileDialog dialog(parent, request.caption, request.initialPath, request.filter);
    dialog.setObjectName(request.save ? QStringLiteral("saveFileDialog") : QStringLiteral("openFileDialog"));
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::ReadOnly, false);
    if (!request.defaultSuffix.isEmpty()) dialog.setDefaultSuffix(request.defaultSuffix);
    if (request.executablesOnly) {
        // Only Qt's own dialog can leave out the files the user may not run.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setFilter(QDir::AllDirs | QDir::Files | QDir::Executable | QDir::NoDotAndDotDot);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void OpenUrl(const QUrl& url, QWidget* parent)
{
    const OpenUrlHook& hook = UrlHook();
    if (hook ? hook(url) : QDesktopServices::openUrl(url)) return;
    // Without a desktop handler (no browser, no xdg-open) the click would do
    // nothing at all: the user learns what could not be opened.
    const QString where = url.isLocalFile() ? url.toLocalFile() : url.toString();
    ShowInformation(parent != nullptr ? parent : QApplication::activeWindow(),
                    QString::fromStdU16String(
                        MessageText(TheLanguageTable(), {std::string(kOpenFailedKey), {where.toStdString()}})));
}

void OpenHelp(QWidget* parent)
{
    OpenUrl(QUrl::fromLocalFile(QString::fromStdU16String((HelpFolder() / "index.html").u16string())), parent);
}

} // namespace kestrune
