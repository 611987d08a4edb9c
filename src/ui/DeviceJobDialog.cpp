#include "ui/DeviceJobDialog.h"

#include "config/Folders.h"
#include "config/LanguageTable.h"
#include "ui/UserDialogs.h"

#include <array>
#include <utility>

namespace kestrune {

DeviceJobDialog::DeviceJobDialog(QWidget* parent, std::filesystem::path skinIniPath, DeviceJobRunner runDevice,
                                 const LanguageTable& language)
    : SkinnedDialog(parent, std::move(skinIniPath), kestrune::SkinFolder()), m_language(language),
      m_runDevice(std::move(runDevice))
{
    setModal(true);
}

void DeviceJobDialog::RunDeviceJob(std::function<void()> job, std::function<void()> then)
{
    m_busy = true;
    m_runDevice(std::move(job), [this, then = std::move(then)] {
        m_busy = false;
        then();
    });
}

void DeviceJobDialog::Inform(std::string_view key, std::vector<std::string> args, const QString& detail)
{
    QString text = QString::fromStdU16String(MessageText(m_language, {std::string(key), std::move(args)}));
    if (!detail.isEmpty()) text += QStringLiteral("\n") + detail;
    ShowInformation(this, text);
}

void DeviceJobDialog::LoadPicturesOnce(const StatePictureFiles& files)
{
    if (m_picturesLoaded) return;
    const std::array<std::pair<std::string_view, StateImage*>, 4> states = {
        {{files.normal, &m_normal}, {files.over, &m_over}, {files.down, &m_down}, {files.disable, &m_disable}}};
    for (std::size_t i = 0; i < states.size(); ++i) {
        std::size_t same = 0;
        while (same < i && states[same].first != states[i].first) ++same;
        *states[i].second = same < i ? *states[same].second : LoadStateImage(states[i].first, *this);
    }
    m_picturesLoaded = true;
}

} // namespace kestrune
