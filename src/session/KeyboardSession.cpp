#include "session/KeyboardSession.h"

#include <cstdlib>

namespace kestrune {

Result<std::filesystem::path> KeyboardSession::ProgramLibraryPath(bool emulator)
{
    auto folder = ProgramDirectory();
    if (!folder) return Error{folder.error()};
    return ResolveDeviceLibraryPath(*folder, std::getenv(kDeviceLibraryVariable), emulator);
}

Result<std::unique_ptr<KeyboardSession>> KeyboardSession::Create(KeyboardSessionOptions options, Reporter& reporter)
{
    std::unique_ptr<DeviceLibrary> library = std::move(options.library);
    if (!library) {
        auto loaded = DeviceLibrary::Load(options.libraryPath);
        if (!loaded) return Error{loaded.error()};
        library = std::move(*loaded);
    }

    std::unique_ptr<KeyboardSession> session(new KeyboardSession());
    if (options.listener == nullptr) {
        session->m_quietListener = std::make_unique<QuietDeviceEventListener>();
        options.listener = session->m_quietListener.get();
    }
    session->m_listener = options.listener;
    session->m_protocol = std::make_unique<CommandProtocol>(std::move(library), options.timing);
    session->m_transfer = std::make_unique<Transfer>(*session->m_protocol, session->m_store, reporter);
    if (!options.workingProfilePath.empty()) session->m_transfer->SetWorkingProfilePath(options.workingProfilePath);
    session->m_events = std::make_unique<DeviceEvents>(*session->m_protocol, *session->m_transfer, *session->m_listener,
                                                       reporter, options.attachReads);
    session->m_lighting = std::make_unique<Lighting>(*session->m_protocol, std::move(options.settingsFile));
    return session;
}

KeyboardSession::~KeyboardSession()
{
    Stop();
}

Status KeyboardSession::Start()
{
    if (Status started = m_events->Start(); !started) {
        // Whatever did start (a standing read) must not outlive a failed start.
        m_events->Stop();
        return Error{"the device library " + LibraryDescription() + " did not start: " + started.error()};
    }
    return Status::Ok();
}

void KeyboardSession::WaitForAttach()
{
    m_events->WaitForAttachChanges();
}

Status KeyboardSession::StartAndWaitForAttach()
{
    if (Status started = Start(); !started) return started;
    WaitForAttach();
    return Status::Ok();
}

void KeyboardSession::Stop()
{
    // The library's threads and the attach threads must be quiet before the
    // parts they call go away; the lighting and the transfer hold no threads.
    if (m_events) m_events->Stop();
}

bool KeyboardSession::Attached() const
{
    return m_events->LastPresence() != 0;
}

const std::string& KeyboardSession::LibraryDescription() const
{
    return m_protocol->Library().Description();
}

} // namespace kestrune
