#include "PanelRig.h"

#include "emulator/ControlSocket.h"
#include "emulator/StateFile.h"
#include "lighting/LightingWriter.h"
#include "support/QuickTiming.h"
#include "ui/PictureSlider.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTest>

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

namespace kestrune::test {

namespace {

// The emulator library, opened once for the process; its RequestWriteOne
// is reached through a recorder that keeps every report written.
struct RecordedLibrary {
    DeviceFunctions functions;
    decltype(&::RequestWriteOne) writeOne = nullptr;
    std::mutex mutex;
    std::vector<std::array<std::uint8_t, wire::kReportSize>> written;
};

RecordedLibrary& Recorded()
{
    static RecordedLibrary library;
    return library;
}

extern "C" int RecordingWriteOne(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                 const uint8_t* data, uint32_t length, uint32_t unitId, HidRelayHandle* outHandle)
{
    RecordedLibrary& library = Recorded();
    if (data != nullptr && length == wire::kReportSize && data[0] == wire::kReportId) {
        std::array<std::uint8_t, wire::kReportSize> report{};
        std::copy(data, data + length, report.begin());
        std::lock_guard lock(library.mutex);
        library.written.push_back(report);
    }
    return library.writeOne(selector, callback, tag, data, length, unitId, outHandle);
}

template <typename F> void Resolve(void* module, const char* name, F& out)
{
    out = reinterpret_cast<F>(dlsym(module, name));
    if (out == nullptr) throw std::runtime_error(std::string("the emulator library lacks ") + name);
}

std::unique_ptr<DeviceLibrary> BindRecordedEmulator()
{
    RecordedLibrary& library = Recorded();
    if (library.writeOne == nullptr) {
        void* module = dlopen(EMULATOR_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) throw std::runtime_error(dlerror());
        DeviceFunctions& f = library.functions;
        Resolve(module, "Debug", f.Debug);
        Resolve(module, "Init", f.Init);
        Resolve(module, "End", f.End);
        Resolve(module, "RequestGetDeviceCount", f.RequestGetDeviceCount);
        Resolve(module, "DeleteRequestFromUnitId", f.DeleteRequestFromUnitId);
        Resolve(module, "DeleteRequestFromHandle", f.DeleteRequestFromHandle);
        Resolve(module, "RequestWrite", f.RequestWrite);
        Resolve(module, "RequestWriteOne", library.writeOne);
        Resolve(module, "RequestStatusWrite", f.RequestStatusWrite);
        Resolve(module, "RequestStatusGet", f.RequestStatusGet);
        Resolve(module, "RequestAsyncRead", f.RequestAsyncRead);
        Resolve(module, "RequestStatusSetFeature", f.RequestStatusSetFeature);
        f.RequestWriteOne = &RecordingWriteOne;
    }
    {
        std::lock_guard lock(library.mutex);
        library.written.clear();
    }
    auto bound = DeviceLibrary::FromFunctions(library.functions, "emulator library, recorded");
    if (!bound.ok()) throw std::runtime_error(bound.error());
    return std::move(*bound);
}

// The keyboard's own reply wait: a machine under load answers late, and a
// read that gives up early would show nothing of what the keyboard holds.
ProtocolTiming PanelTiming()
{
    ProtocolTiming timing = testing::QuickTiming();
    timing.replyWait = std::chrono::milliseconds(1000);
    return timing;
}

constexpr QSize kWindowSize{1200, 560};

} // namespace

HostWindow::HostWindow()
{
    resize(kWindowSize);
}

QColor HostWindow::PixelAt(QPoint point)
{
    return QColor(point.x() % 256, point.y() % 256, 77);
}

void HostWindow::paintEvent(QPaintEvent* /*event*/)
{
    if (m_picture.size() != size()) {
        m_picture = QImage(size(), QImage::Format_RGB32);
        for (int y = 0; y < m_picture.height(); ++y)
            for (int x = 0; x < m_picture.width(); ++x) m_picture.setPixelColor(x, y, PixelAt({x, y}));
    }
    QPainter(this).drawImage(0, 0, m_picture);
}

PanelRig::PanelRig(const emulator::KeyboardState& state, bool lightSwitch)
    : settings(scratch / "wskb.ini"), stateFile(emulator::kStateFileVariable, (scratch / "state.json").string()),
      controlSocket(emulator::kControlSocketVariable, (scratch / "control").string()),
      latency("KESTRUNE_EMULATOR_LATENCY_US", "0")
{
    if (!emulator::SaveStateFile(scratch / "state.json", state).ok()) throw std::runtime_error("no state file");
    if (!settings.SetLightSwitch(lightSwitch).ok()) throw std::runtime_error("settings file not written");

    KeyboardSessionOptions options;
    options.library = BindRecordedEmulator();
    options.timing = PanelTiming();
    options.settingsFile = settings;
    auto created = KeyboardSession::Create(std::move(options), reporter);
    if (!created.ok()) throw std::runtime_error(created.error());
    session = std::move(*created);
    if (Status started = session->StartAndWaitForAttach(); !started.ok()) throw std::runtime_error(started.error());
    if (session->GetLighting().ReadLightingState(true) != 0) throw std::runtime_error("lighting not read");

    window = std::make_unique<HostWindow>();
    LightingPanelSetup setup;
    setup.skinIni = std::filesystem::path(SKIN_FOLDER) / "Main.ini";
    setup.skinFolder = SKIN_FOLDER;
    const QImage plain(kWindowSize + QSize(100, 100), QImage::Format_RGB32);
    setup.normal = setup.over = setup.down = setup.disable = plain;
    setup.settings = settings;
    setup.languageIndex = 1;
    panel = new LightingPanel(*window, session->GetLighting(), &keys, setup);
    window->show();
}

PanelRig::~PanelRig()
{
    // The panel lets its writes finish while the keyboard still answers.
    window.reset();
    session->Stop();
}

bool PanelRig::Settle(int timeoutMs)
{
    // The writer reports a finished job before it counts as idle, so every
    // report made before idleness was seen is handled by the next round of
    // events; a report may start another job (a read after a refusal).
    auto handleReports = [] {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    };
    QElapsedTimer timer;
    timer.start();
    int idleRounds = 0;
    while (timer.elapsed() < timeoutMs) {
        if (panel->Writer().Busy()) {
            idleRounds = 0;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            continue;
        }
        handleReports();
        if (++idleRounds >= 2 && !panel->Writer().Busy()) return true;
    }
    return false;
}

std::string PanelRig::Control(const std::vector<std::string>& words)
{
    auto reply = emulator::SendControlCommand(scratch / "control", words);
    if (!reply.ok() || !reply->has_value() || !(*reply)->ok) throw std::runtime_error("emulator control failed");
    return (*reply)->text;
}

emulator::KeyboardState PanelRig::Dump()
{
    auto state = emulator::KeyboardStateFromJson(Control({"dump"}));
    if (!state.ok()) throw std::runtime_error(state.error());
    return *state;
}

std::size_t PanelRig::Mark() const
{
    std::lock_guard lock(Recorded().mutex);
    return Recorded().written.size();
}

std::vector<SentReport> PanelRig::SentSince(std::size_t mark) const
{
    std::vector<SentReport> sent;
    std::lock_guard lock(Recorded().mutex);
    const auto& written = Recorded().written;
    for (std::size_t i = mark; i < written.size(); ++i) {
        const auto& r = written[i];
        const std::size_t length = std::min<std::size_t>(r[wire::kOffLength], wire::kMaxPayload);
        sent.push_back(
            {r[wire::kOffCommand], static_cast<std::uint16_t>(r[wire::kOffAddress] | (r[wire::kOffAddress + 1] << 8)),
             std::vector<std::uint8_t>(r.begin() + wire::kOffPayload,
                                       r.begin() + wire::kOffPayload + static_cast<std::ptrdiff_t>(length))});
    }
    return sent;
}

std::vector<std::pair<std::uint16_t, std::uint8_t>> PanelRig::ByteWritesSince(std::size_t mark) const
{
    std::vector<std::pair<std::uint16_t, std::uint8_t>> writes;
    for (const SentReport& report : SentSince(mark))
        if (report.command == static_cast<std::uint8_t>(wire::Command::WriteMemory) && !report.payload.empty())
            writes.emplace_back(report.address, report.payload[0]);
    return writes;
}

void PanelRig::Click(const char* name) const
{
    QWidget* control = Find<QWidget>(name);
    if (control == nullptr) throw std::runtime_error(std::string("no control ") + name);
    QTest::mouseClick(control, Qt::LeftButton, {}, control->rect().center());
}

void PanelRig::ChooseEffect(int effect) const
{
    auto* list = Find<QComboBox>("CONTROL_XGcombox");
    EffectIndex index;
    index.Rebuild(panel->Shown().settings);
    const int row = index.RowOf(effect);
    if (row < 0) throw std::runtime_error("the list does not offer effect " + std::to_string(effect));
    list->setCurrentIndex(row);
    Q_EMIT list->activated(row);
}

} // namespace kestrune::test
