#pragma once

// Message boxes and file dialogs of every window go through here, so a test
// can answer them without a modal loop waiting on a person: with a hook set,
// the hook answers and no dialog is shown.

#include <QMessageBox>
#include <QString>
#include <QUrl>

#include <functional>
#include <string_view>

class QWidget;

namespace kestrune {

struct MessageBoxRequest {
    QString text;
    QString title;
    bool question = false; // Yes/No with No the default; otherwise OK only
};
using MessageBoxHook = std::function<QMessageBox::StandardButton(const MessageBoxRequest&)>;

struct FileDialogRequest {
    bool save = false; // a save dialog (with its overwrite question), else an open dialog
    QString caption;
    QString initialPath;
    QString filter;
    QString defaultSuffix;
    // Offers only the files the user may run (and the folders on the way).
    bool executablesOnly = false;
};
// The profile files' filter of every file dialog that opens or saves one;
// each entry shows its patterns once.
inline constexpr const char* kProfileFileFilter = "(*.kpf);;(*)";

// Gives the chosen path, or an empty string for Cancel.
using FileDialogHook = std::function<QString(const FileDialogRequest&)>;

// A document or web page handed to the desktop to open; the hook gets its
// URL and gives whether the desktop took it.
using OpenUrlHook = std::function<bool(const QUrl&)>;

// Each returns the hook it replaces; an empty hook shows real dialogs again.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);
FileDialogHook SetFileDialogHook(FileDialogHook hook);
OpenUrlHook SetOpenUrlHook(OpenUrlHook hook);

// Shows an OK box on the GUI thread.
void ShowInformation(QWidget* parent, const QString& text);
// Shows a Yes/No box with No as the default button; true for Yes.
bool AskYesNo(QWidget* parent, const QString& text);
// The file dialogs; an empty string when cancelled.
QString AskFileName(QWidget* parent, const FileDialogRequest& request);
// The language text of the box that says a URL could not be opened (%s: the URL).
inline constexpr std::string_view kOpenFailedKey = "MAIN_OPEN_FAILED";
// Asks the desktop to open a URL; the result is not waited for. When no
// program takes it, a box over the parent says so.
void OpenUrl(const QUrl& url, QWidget* parent = nullptr);
// The help page, Help/index.html beside the program.
void OpenHelp(QWidget* parent = nullptr);

} // namespace kestrune
