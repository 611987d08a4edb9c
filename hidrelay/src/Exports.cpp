// The library's C exports: argument checks and the request handle, then the
// relay does the work.

#include "Relay.h"

#include "wire/Protocol.h"

#include "wire/HidRelay.h"

#include <algorithm>
#include <array>
#include <cstring>

using kestrune::hidrelay::Relay;

namespace {

void StoreHandle(HidRelayHandle* out, std::uint32_t unitId, int result)
{
    if (out != nullptr) *out = result > 0 ? unitId : 0;
}

} // namespace

extern "C" {

HIDRELAY_API int Debug(int level)
{
    return kestrune::hidrelay::SetDebugLevel(level);
}

HIDRELAY_API int Init(int /*flags*/)
{
    return Relay::Instance().Init();
}

HIDRELAY_API int End(void)
{
    return Relay::Instance().End();
}

HIDRELAY_API int RequestGetDeviceCount(const HidRelaySelector* selector, HidRelayCallback /*callback*/,
                                       uint32_t /*tag*/, uint32_t unit_id, HidRelayHandle* out_handle)
{
    if (selector == nullptr) return 0;
    const int count = Relay::Instance().DeviceCount(*selector);
    StoreHandle(out_handle, unit_id, count);
    return count;
}

HIDRELAY_API int DeleteRequestFromUnitId(HidRelayHandle handle)
{
    if (handle == 0) return 0;
    return Relay::Instance().Delete(handle);
}

HIDRELAY_API int DeleteRequestFromHandle(HidRelayHandle handle)
{
    return DeleteRequestFromUnitId(handle);
}

HIDRELAY_API int RequestWrite(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                              const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle)
{
    if (selector == nullptr || data == nullptr || length == 0) return 0;
    int reports = 0;
    for (uint32_t offset = 0; offset < length; offset += kestrune::wire::kReportSize) {
        std::array<uint8_t, kestrune::wire::kReportSize> report{};
        const uint32_t size = std::min<uint32_t>(kestrune::wire::kReportSize, length - offset);
        std::memcpy(report.data(), data + offset, size);
        if (Relay::Instance().WriteReport(*selector, report.data(), report.size()) <= 0) break;
        ++reports;
    }
    StoreHandle(out_handle, unit_id, reports);
    return reports;
}

HIDRELAY_API int RequestWriteOne(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                                 const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle)
{
    if (selector == nullptr) return 0;
    const int written = Relay::Instance().WriteReport(*selector, data, length);
    StoreHandle(out_handle, unit_id, written);
    return written;
}

// A status write is an output report on the status interface: the same write.
HIDRELAY_API int RequestStatusWrite(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                    const uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle)
{
    return RequestWriteOne(selector, callback, tag, data, length, unit_id, out_handle);
}

HIDRELAY_API int RequestStatusGet(const HidRelaySelector* selector, HidRelayCallback /*callback*/, uint32_t /*tag*/,
                                  uint8_t* data, uint32_t length, uint32_t unit_id, HidRelayHandle* out_handle)
{
    if (selector == nullptr) return 0;
    const int got = Relay::Instance().GetFeature(*selector, data, length);
    StoreHandle(out_handle, unit_id, got);
    return got;
}

HIDRELAY_API int RequestStatusSetFeature(const HidRelaySelector* selector, HidRelayCallback /*callback*/,
                                         uint32_t /*tag*/, const uint8_t* data, uint32_t length, uint32_t unit_id,
                                         HidRelayHandle* out_handle)
{
    if (selector == nullptr) return 0;
    const int sent = Relay::Instance().SendFeature(*selector, data, length);
    StoreHandle(out_handle, unit_id, sent);
    return sent;
}

HIDRELAY_API int RequestAsyncRead(const HidRelaySelector* selector, HidRelayCallback callback, uint32_t tag,
                                  uint32_t unit_id, HidRelayHandle* out_handle)
{
    if (selector == nullptr) return 0;
    const int started = Relay::Instance().AsyncRead(*selector, callback, tag, unit_id);
    StoreHandle(out_handle, unit_id, started);
    return started;
}

} // extern "C"
