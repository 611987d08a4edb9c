#include "lighting/Lighting.h"

#include "device/CommandProtocol.h"

#include <algorithm>
#include <array>

namespace kestrune {

namespace {

// Keeps the copy of the lighting block in step with what a write sends.
void StoreInBlock(LightingBlock& block, std::uint16_t address, std::span<const std::uint8_t> bytes)
{
    if (address + bytes.size() > block.bytes.size()) return;
    std::copy(bytes.begin(), bytes.end(), block.bytes.begin() + address);
}

// Keeps the first result of an update that was not a success.
class UpdateResult {
public:
    void Add(int result)
    {
        if (m_result == kResultOk) m_result = result;
    }
    int Get() const { return m_result; }
    bool Ok() const { return m_result == kResultOk; }

private:
    int m_result = kResultOk;
};

} // namespace

Lighting::Lighting(CommandProtocol& protocol, SettingsFile settingsFile)
    : m_protocol(protocol), m_settingsFile(std::move(settingsFile))
{
}

LightingState Lighting::State() const
{
    std::lock_guard lock(m_mutex);
    return m_state;
}

int Lighting::ReadLightingState(bool withKeyColours, const std::optional<SettingsRecord>& known)
{
    {
        std::lock_guard lock(m_mutex);
        m_state.settings.ClearEffectList();
    }

    auto exchanges = m_protocol.LockExchanges();
    SettingsRecord settings;
    if (known)
        settings = *known;
    else if (m_protocol.ReadSettings(settings.bytes) != kResultOk)
        return -1;

    m_protocol.BeginUpdate();
    std::optional<KeyColourTable> colours;
    if (withKeyColours && settings.OffersEffect(kEffectPerKey)) {
        KeyColourTable table;
        {
            std::lock_guard lock(m_mutex);
            table = m_state.keyColours;
        }
        // A part that does not arrive keeps its previous colours.
        for (std::size_t i = 0; i < kColourWriteCount; ++i) {
            const std::size_t light = i * kLightsPerColourWrite;
            std::array<std::uint8_t, kColourWriteBytes> part{};
            if (m_protocol.ReadColours(static_cast<int>(light), part) == kResultOk)
                std::copy(part.begin(), part.end(),
                          table.bytes.begin() + static_cast<std::ptrdiff_t>(light * kColourWireSize));
        }
        colours = table;
    }
    LightingBlock block;
    const bool blockRead = m_protocol.ReadMemory(lightaddr::kEffect, block.bytes) == kResultOk;
    m_protocol.EndUpdate();
    exchanges.unlock();

    const bool perKeyLights = m_settingsFile.LightSwitch();
    const int reportRate = m_settingsFile.ReportRate();
    std::lock_guard lock(m_mutex);
    m_state.settings = settings;
    if (colours) m_state.keyColours = *colours;
    // A block that did not arrive would decode as all zeros: keep the old values instead.
    if (blockRead) DecodeLightingBlock(block, m_state);
    m_state.perKeyLights = perKeyLights;
    m_state.reportRate = reportRate;
    return 0;
}

int Lighting::SendMemoryWrites(std::initializer_list<MemoryWrite> writes)
{
    // The caller holds the exchange lock, so the sequence goes out whole.
    // A refused or unanswered BeginUpdate leaves the keyboard outside an
    // update, and a refused write leaves the rest of the change half made:
    // either ends the writes, the caller reads back what the keyboard holds.
    // The update is still closed.
    UpdateResult result;
    result.Add(m_protocol.BeginUpdate());
    for (auto write = writes.begin(); write != writes.end() && result.Ok(); ++write)
        result.Add(m_protocol.WriteMemory(write->address, write->bytes));
    result.Add(m_protocol.EndUpdate());
    return result.Get();
}

int Lighting::SendByte(std::uint16_t address, std::uint8_t value)
{
    const std::array<std::uint8_t, 1> byte = {value};
    return SendMemoryWrites({{address, byte}});
}

int Lighting::WriteEffect(int effect)
{
    if (effect < 0 || effect > 0xFF) return kResultNotSent;
    auto exchanges = m_protocol.LockExchanges();
    const std::array<std::uint8_t, 1> effectByte = {static_cast<std::uint8_t>(effect)};
    std::array<std::uint8_t, 1> flagByte{};
    const std::optional<std::uint16_t> flagAddress = RainbowFlagAddress(effect);
    {
        std::lock_guard lock(m_mutex);
        m_state.effect = effect;
        StoreInBlock(m_state.block, lightaddr::kEffect, effectByte);
        flagByte[0] = m_state.RainbowOf(effect);
        if (flagAddress) StoreInBlock(m_state.block, *flagAddress, flagByte);
    }
    if (flagAddress) return SendMemoryWrites({{lightaddr::kEffect, effectByte}, {*flagAddress, flagByte}});
    return SendMemoryWrites({{lightaddr::kEffect, effectByte}});
}

int Lighting::WriteBrightness(int position)
{
    return WriteBlockByte(&LightingState::brightness, lightaddr::kBrightness,
                          static_cast<std::uint8_t>(std::clamp(position, 0, kBrightnessMax)));
}

int Lighting::WriteSpeed(int sliderPosition)
{
    return WriteBlockByte(&LightingState::speed, lightaddr::kSpeed,
                          static_cast<std::uint8_t>(kSpeedMax - std::clamp(sliderPosition, 0, kSpeedMax)));
}

int Lighting::WriteDirection(int direction)
{
    return WriteBlockByte(&LightingState::direction, lightaddr::kDirection,
                          static_cast<std::uint8_t>(direction != 0 ? 1 : 0));
}

int Lighting::WriteBlockByte(int LightingState::*field, std::uint16_t address, std::uint8_t value)
{
    auto exchanges = m_protocol.LockExchanges();
    {
        std::lock_guard lock(m_mutex);
        m_state.*field = value;
        m_state.block.bytes[address] = value;
    }
    return SendByte(address, value);
}

int Lighting::WriteEffectColour(int effect, Colour colour)
{
    const std::optional<std::uint16_t> colourAddress = EffectColourAddress(effect);
    if (!colourAddress) return kResultNotSent;
    const std::optional<std::uint16_t> flagAddress = RainbowFlagAddress(effect);
    const auto rgb = ColourBytes(colour);
    const std::array<std::uint8_t, 1> flagOff = {0};
    auto exchanges = m_protocol.LockExchanges();
    {
        std::lock_guard lock(m_mutex);
        m_state.ColourOf(*ColourOfEffect(effect)) = colour;
        StoreInBlock(m_state.block, *colourAddress, rgb);
        if (flagAddress) {
            m_state.SetRainbow(effect, 0);
            StoreInBlock(m_state.block, *flagAddress, flagOff);
        }
    }
    if (flagAddress) return SendMemoryWrites({{*flagAddress, flagOff}, {*colourAddress, rgb}});
    return SendMemoryWrites({{*colourAddress, rgb}});
}

int Lighting::WriteRainbowFlag(int effect, std::uint8_t flag)
{
    const std::optional<std::uint16_t> address = RainbowFlagAddress(effect);
    if (!address) return kResultNotSent;
    auto exchanges = m_protocol.LockExchanges();
    {
        std::lock_guard lock(m_mutex);
        m_state.SetRainbow(effect, flag);
        m_state.block.bytes[*address] = flag;
    }
    return SendByte(*address, flag);
}

int Lighting::WriteTrigger(std::uint8_t trigger)
{
    auto exchanges = m_protocol.LockExchanges();
    {
        std::lock_guard lock(m_mutex);
        m_state.SetTrigger(trigger);
        m_state.block.bytes[lightaddr::kTrigger] = trigger;
    }
    return SendByte(lightaddr::kTrigger, trigger);
}

int Lighting::SendKeyColourTable(const KeyColourTable& table, std::optional<MemoryWrite> memory)
{
    UpdateResult result;
    result.Add(m_protocol.BeginUpdate());
    if (memory && result.Ok()) result.Add(m_protocol.WriteMemory(memory->address, memory->bytes));
    // A part the keyboard refused or left unanswered ends the table: the
    // parts after it would leave a patchwork the caller reads back anyway,
    // and a keyboard that stopped answering would make each of them wait out
    // its retries. The update is still closed.
    for (std::size_t i = 0; i < kColourWriteCount && result.Ok(); ++i) {
        const std::size_t light = i * kLightsPerColourWrite;
        result.Add(m_protocol.WriteColours(static_cast<int>(light),
                                           std::span(table.bytes).subspan(light * kColourWireSize, kColourWriteBytes)));
    }
    result.Add(m_protocol.EndUpdate());
    return result.Get();
}

int Lighting::WriteBaseColour(Colour colour)
{
    const auto rgb = ColourBytes(colour);
    auto exchanges = m_protocol.LockExchanges();
    KeyColourTable table;
    {
        std::lock_guard lock(m_mutex);
        m_state.ColourOf(EffectColour::B) = colour;
        StoreInBlock(m_state.block, lightaddr::kColourB, rgb);
        table = m_state.keyColours;
    }
    return SendKeyColourTable(table, MemoryWrite{lightaddr::kColourB, rgb});
}

void Lighting::SetKeyColour(std::size_t light, Colour colour)
{
    std::lock_guard lock(m_mutex);
    m_state.keyColours.Set(light, colour);
}

int Lighting::WriteKeyColour(std::size_t light, Colour colour)
{
    const KeyPaint paint{light, colour};
    return WriteKeyColours(std::span(&paint, 1));
}

int Lighting::WriteKeyColours(std::span<const KeyPaint> paints)
{
    if (paints.empty()) return kResultOk;
    for (const KeyPaint& paint : paints)
        if (paint.light >= kLightCount) return kResultNotSent;
    auto exchanges = m_protocol.LockExchanges();
    for (const KeyPaint& paint : paints) SetKeyColour(paint.light, paint.colour);
    UpdateResult result;
    result.Add(m_protocol.BeginUpdate());
    // As with the whole table, a refused key ends the update.
    for (std::size_t i = 0; i < paints.size() && result.Ok(); ++i)
        result.Add(m_protocol.WriteColours(static_cast<int>(paints[i].light), ColourBytes(paints[i].colour)));
    result.Add(m_protocol.EndUpdate());
    return result.Get();
}

int Lighting::WriteLightingDefaults()
{
    auto exchanges = m_protocol.LockExchanges();
    {
        std::lock_guard lock(m_mutex);
        LightingBlock block = m_state.block;
        StoreInBlock(block, lightaddr::kEffect, kLightingDefaults);
        // Every field of the defaults is meant, the trigger and the effect-4 flag included.
        m_state.SetRainbow(kEffectColourTrail, block.bytes[lightaddr::kRainbow4]);
        DecodeLightingBlock(block, m_state);
    }
    return SendMemoryWrites({{lightaddr::kEffect, kLightingDefaults}});
}

int Lighting::WriteWhiteKeyColours()
{
    auto exchanges = m_protocol.LockExchanges();
    KeyColourTable table;
    {
        std::lock_guard lock(m_mutex);
        for (std::size_t light = 0; light < kWhiteLightCount; ++light) m_state.keyColours.Set(light, kWhite);
        table = m_state.keyColours;
    }
    return SendKeyColourTable(table, std::nullopt);
}

} // namespace kestrune
