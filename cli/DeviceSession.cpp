#include "DeviceSession.h"

#include "device/DeviceLibrary.h"

#include <cstdlib>

namespace kestrune::cli {

Result<std::unique_ptr<DeviceSession>> DeviceSession::Open(bool emulator, Reporter& reporter)
{
    auto folder = ProgramDirectory();
    if (!folder) return Error{folder.error()};
    const auto path = ResolveDeviceLibraryPath(*folder, std::getenv(kDeviceLibraryVariable), emulator);
    auto library = DeviceLibrary::Load(path);
    if (!library) return Error{library.error()};

    std::unique_ptr<DeviceSession> session(new DeviceSession());
    session->m_library = (*library)->Description();
    session->m_protocol = std::make_unique<CommandProtocol>(std::move(*library));
    session->m_transfer = std::make_unique<Transfer>(*session->m_protocol, session->m_store, reporter);
    session->m_transfer->SetWindow(&session->m_window);
    session->m_events =
        std::make_unique<DeviceEvents>(*session->m_protocol, *session->m_transfer, session->m_window, reporter);
    session->m_lighting = std::make_unique<Lighting>(*session->m_protocol);
    if (Status started = session->m_events->Start(); !started)
        return Error{"the device library " + session->m_library + " did not start: " + started.error()};
    session->m_events->WaitForAttachChanges();
    return session;
}

DeviceSession::~DeviceSession()
{
    // The library's threads must be quiet before anything they call goes away.
    if (m_events) m_events->Stop();
}

bool DeviceSession::Attached() const
{
    return m_events && m_events->LastPresence() != 0;
}

} // namespace kestrune::cli
