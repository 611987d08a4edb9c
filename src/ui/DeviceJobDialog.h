#pragma once

// What the profile manager and the update dialog have in common: a skinned
// dialog whose keyboard work runs through a DeviceJobRunner, that tells the
// user its results in language-table words, and whose image buttons take
// their faces from one set of state pictures loaded at its first opening.
//
// Threading: everything here runs on the GUI thread; a device job's `then`
// comes back to it.

#include "ui/DeviceJobRunner.h"
#include "ui/Skin.h"
#include "ui/SkinnedDialog.h"

#include <QString>

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

class LanguageTable;

class DeviceJobDialog : public SkinnedDialog {
    Q_OBJECT
public:
    // The dialog's keyboard work is queued or running.
    bool Busy() const { return m_busy; }

protected:
    DeviceJobDialog(QWidget* parent, std::filesystem::path skinIniPath, DeviceJobRunner runDevice,
                    const LanguageTable& language);

    // Runs `job` on the keyboard's thread and then `then` here; Busy() holds
    // from now until `then` has begun.
    void RunDeviceJob(std::function<void()> job, std::function<void()> then);
    // A message box with the language text of `key`, its arguments filled
    // in, and `detail` (the system's reason) on a line of its own.
    void Inform(std::string_view key, std::vector<std::string> args = {}, const QString& detail = {});
    // The button pictures, read at the first call; a picture named twice is
    // read once.
    void LoadPicturesOnce(const StatePictureFiles& files);

    const LanguageTable& m_language;
    StateImage m_normal, m_over, m_down, m_disable;

private:
    DeviceJobRunner m_runDevice;
    bool m_picturesLoaded = false;
    bool m_busy = false;
};

} // namespace kestrune
