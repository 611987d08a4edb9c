#include "device/DeviceEvents.h"

#include "common/LittleEndian.h"
#include "device/CommandProtocol.h"
#include "device/Transfer.h"

#include <shared_mutex>

namespace kestrune {

namespace {

// The library's callback is a plain function: it reaches the one registered
// object through this pointer. Callbacks hold the lock shared while they run,
// so unregistering waits for a callback in progress.
std::shared_mutex g_registryMutex;
DeviceEvents* g_registered = nullptr;

inline constexpr std::size_t kConsumerWordSize = 2;

} // namespace

DeviceEvents::DeviceEvents(CommandProtocol& protocol, Transfer& transfer, DeviceEventSink& sink, Reporter& reporter,
                           AttachReads reads)
    : m_protocol(protocol), m_transfer(transfer), m_sink(sink), m_reporter(reporter), m_reads(reads)
{
}

DeviceEvents::~DeviceEvents()
{
    Stop();
}

Status DeviceEvents::StartRead(const HidRelaySelector& selector, std::uint32_t tag, HidRelayHandle& handle)
{
    const std::uint32_t callbackField = CallbackField(&DeviceEvents::OnDeviceReport);
    m_protocol.Library().DeleteRequest(handle);
    const std::uint32_t unitId = UnitId(selector, callbackField, tag, {});
    if (m_protocol.Library().AsyncRead(selector, &DeviceEvents::OnDeviceReport, tag, unitId, &handle) <= 0)
        return Error{"the standing read with tag " + std::to_string(tag) + " could not be started"};
    return Status::Ok();
}

Status DeviceEvents::Start()
{
    {
        std::unique_lock lock(g_registryMutex);
        if (g_registered != nullptr && g_registered != this)
            return Error{"another DeviceEvents already receives the device library's callbacks"};
        g_registered = this;
        m_registered = true;
    }
    m_stopping = false;
    {
        std::lock_guard lock(m_bankMutex);
        m_bank = kInitialBankStatus;
        m_ledHandle = 0;
    }
    m_consHandle = 0;
    m_ctrlHandle = 0;

    if (Status status = StartRead(ConsumerSelector(), wire::kTagCons, m_consHandle); !status) return status;
    m_protocol.Slot().Clear();
    if (Status status = StartRead(CommandSelector(), wire::kTagCtrl, m_ctrlHandle); !status) return status;

    const bool present = m_protocol.DevicePresent();
    // Set before the attach thread can look at it: without a keyboard at
    // start, no later attach opens the window.
    if (!present) m_firstAttachDone = true;
    StartAttachChange(present ? 1 : 0);
    return Status::Ok();
}

void DeviceEvents::Stop()
{
    m_stopping = true;
    if (m_registered) {
        m_protocol.Library().DeleteRequest(m_consHandle);
        m_protocol.Library().DeleteRequest(m_ctrlHandle);
        {
            std::lock_guard lock(m_bankMutex);
            m_protocol.Library().DeleteRequest(m_ledHandle);
            m_ledHandle = 0;
        }
        m_consHandle = 0;
        m_ctrlHandle = 0;
        std::unique_lock lock(g_registryMutex);
        if (g_registered == this) g_registered = nullptr;
        m_registered = false;
    }
    // No reply can arrive any more: an attach thread waiting for one gives up at once.
    m_protocol.Slot().Close();
    {
        // Under the lock, so a thread about to wait for its turn sees the flag.
        std::lock_guard lock(m_turnMutex);
        m_turnChanged.notify_all();
    }
    ReapThreads(true);
}

int DeviceEvents::OnDeviceReport(const HidRelayEvent* event)
{
    if (event == nullptr) return 1;
    std::shared_lock lock(g_registryMutex);
    if (g_registered == nullptr) return 1;
    return g_registered->HandleReport(*event);
}

int DeviceEvents::HandleReport(const HidRelayEvent& event)
{
    const HidRelayEventData* data = event.data;
    if (data == nullptr || m_stopping) return 1;

    if (event.kind == HIDRELAY_EVENT_REPORT && data->tag == wire::kTagCons) {
        const HidRelayTransfer* transfer = data->transfer;
        if (transfer == nullptr || transfer->bytes == nullptr || transfer->length < kConsumerWordSize) return 1;
        HandleConsumerWord(ReadLe16(std::span(transfer->bytes, transfer->length), 0));
    } else if (event.kind == HIDRELAY_EVENT_REPORT && data->tag == wire::kTagCtrl) {
        if (data->data == nullptr) return 1;
        // Taken only while a command waits; otherwise dropped.
        m_protocol.Slot().Deliver(std::span(data->data, data->value));
    } else if (event.kind == HIDRELAY_EVENT_PRESENCE && data->tag == wire::kTagCtrl) {
        StartAttachChange(data->value);
    }
    return 1;
}

void DeviceEvents::HandleConsumerWord(std::uint16_t word)
{
    // The bank key changes only what the program keeps; any other key the
    // keyboard reports may have changed its memory (a macro recorded on it,
    // a profile or lighting changed), so what it was known to hold is not.
    if (word != wire::kConsBankKey) m_transfer.Known().Forget();
    switch (word) {
    case wire::kConsBankKey: {
        {
            std::lock_guard lock(m_bankMutex);
            m_bank.bytes[1] ^= kBankBit;
        }
        WriteBankStatus();
        m_sink.SendBankChanged(BankB());
        break;
    }
    case wire::kConsLightingChanged:
        m_sink.StartLightingTimer();
        break;
    case wire::kConsRecordStart:
        StartThread([this] { ShowRecordingIcon(true); });
        break;
    case wire::kConsRecordStop:
        StartThread([this] { ShowRecordingIcon(false); });
        break;
    default:
        break;
    }
}

void DeviceEvents::ShowRecordingIcon(bool recording)
{
    std::lock_guard lock(m_iconMutex);
    if (m_stopping) return;
    m_sink.SetTrayIcon(recording ? kIconRecording : m_attachIcon.load());
}

void DeviceEvents::WriteBankStatus()
{
    std::lock_guard lock(m_bankMutex);
    const HidRelaySelector selector = BankStatusSelector();
    const std::uint32_t unitId =
        UnitId(selector, CallbackField(&DeviceEvents::OnDeviceReport), wire::kTagLed, m_bank.bytes);
    m_protocol.Library().DeleteRequest(m_ledHandle);
    // A bank status the keyboard did not take is not reported: the next bank key writes it again.
    m_protocol.Library().StatusWrite(selector, &DeviceEvents::OnDeviceReport, wire::kTagLed, m_bank.bytes, unitId,
                                     &m_ledHandle);
}

BankStatus DeviceEvents::Bank() const
{
    std::lock_guard lock(m_bankMutex);
    return m_bank;
}

bool DeviceEvents::BankB() const
{
    return (Bank().bytes[1] & kBankBit) != 0;
}

void DeviceEvents::StartAttachChange(std::uint32_t presence)
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(m_turnMutex);
        ticket = m_nextTicket++;
    }
    StartThread([this, presence, ticket] {
        {
            std::unique_lock lock(m_turnMutex);
            m_turnChanged.wait(lock, [&] { return m_servingTicket == ticket || m_stopping; });
        }
        if (!m_stopping) HandleAttachChange(presence);
        std::lock_guard lock(m_turnMutex);
        // At shutdown the waiting threads leave out of turn; the count no longer matters then.
        if (m_servingTicket == ticket) ++m_servingTicket;
        m_turnChanged.notify_all();
    });
}

void DeviceEvents::WaitForAttachChanges()
{
    std::unique_lock lock(m_turnMutex);
    const std::uint64_t last = m_nextTicket;
    m_turnChanged.wait(lock, [&] { return m_servingTicket >= last || m_stopping; });
}

bool DeviceEvents::WaitUntilInitialised()
{
    // Under the turn lock, which Stop and InitialisedChanged take to notify:
    // neither can slip in between the look and the wait.
    std::unique_lock lock(m_turnMutex);
    while (!m_sink.Initialised()) {
        if (m_stopping) return false;
        m_turnChanged.wait_for(lock, kInitialisedPoll);
    }
    return !m_stopping;
}

void DeviceEvents::InitialisedChanged()
{
    std::lock_guard lock(m_turnMutex);
    m_turnChanged.notify_all();
}

void DeviceEvents::HandleAttachChange(std::uint32_t presence)
{
    const std::uint32_t last = m_lastPresence.load();
    if (presence == last) return;

    if (presence != 0) {
        // Whatever keyboard this is, it is known only once read.
        m_transfer.Known().Forget();
        if (!m_firstAttachDone.load()) m_sink.FirstAttachBegins();
        if (m_reads.factoryTable && !m_transfer.ReadDefaultTableFromKeyboard())
            m_reporter.Inform({"MAIN_DEFAULT_MATRIX_PROMPT", {}});
        m_transfer.ReadSettingsAtAttach();
        if (m_stopping) return;
        m_sink.SendRefreshProfile();
    } else if (last != 0) {
        m_transfer.ForgetActiveProfile();
        if (m_stopping) return;
        m_sink.SendDetached();
        m_sink.HideMainWindow();
    }

    if (!WaitUntilInitialised()) return;
    // Stored before the icon changes: once the icon shows the keyboard
    // attached, a click on Open finds it attached too.
    m_lastPresence = presence;
    const int icon = presence != 0 ? kIconAttached : kIconDetached;
    {
        std::lock_guard lock(m_iconMutex);
        m_attachIcon = icon;
        m_sink.SetTrayIcon(icon);
    }
    if (!m_firstAttachDone.exchange(true) && presence != 0) m_sink.PostOpen();
}

void DeviceEvents::StartThread(std::function<void()> work)
{
    ReapThreads(false);
    std::lock_guard lock(m_workersMutex);
    if (m_stopping) return;
    auto done = std::make_shared<std::atomic<bool>>(false);
    m_workers.push_back({std::thread([work = std::move(work), done] {
                             work();
                             done->store(true);
                         }),
                         done});
}

void DeviceEvents::ReapThreads(bool all)
{
    std::list<Worker> finished;
    {
        std::lock_guard lock(m_workersMutex);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (all || it->done->load()) {
                auto next = std::next(it);
                finished.splice(finished.end(), m_workers, it);
                it = next;
            } else {
                ++it;
            }
        }
    }
    for (Worker& worker : finished)
        if (worker.thread.joinable()) worker.thread.join();
}

} // namespace kestrune
