#include "device/DeviceLibrary.h"

#include <dlfcn.h>

#include <limits>
#include <system_error>
#include <utility>

namespace kestrune {

std::filesystem::path ResolveDeviceLibraryPath(const std::filesystem::path& programDir, const char* environmentValue,
                                               bool emulator)
{
    if (emulator) return programDir / kEmulatorLibraryFile;
    if (environmentValue != nullptr && *environmentValue != '\0') {
        std::filesystem::path named(environmentValue);
        if (!named.has_parent_path()) return programDir / named;
        return named;
    }
    return programDir / kDeviceLibraryFile;
}

Result<std::filesystem::path> ProgramDirectory()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return Error{"cannot find the program's folder: reading /proc/self/exe failed: " + error.message()};
    return self.parent_path();
}

namespace {

// dlsym hands back an untyped address; the ABI header fixes each type.
template <typename Function>
bool Resolve(void* module, const char* name, Function& out)
{
    void* address = dlsym(module, name);
    if (address == nullptr) return false;
    out = reinterpret_cast<Function>(address);
    return true;
}

}  // namespace

DeviceLibrary::DeviceLibrary(void* module, const DeviceFunctions& functions, std::string description)
    : m_module(module), m_functions(functions), m_description(std::move(description))
{
}

DeviceLibrary::~DeviceLibrary()
{
    // The library's threads call back into this process: they must be gone
    // before the code they would run can be unloaded.
    if (m_started) m_functions.End();
    if (m_module != nullptr) dlclose(m_module);
}

Result<std::unique_ptr<DeviceLibrary>> DeviceLibrary::Load(const std::filesystem::path& file)
{
    const std::string name = file.string();
    dlerror();
    void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* reason = dlerror();
        return Error{"cannot load the device library '" + name + "': " + (reason ? reason : "unknown reason")};
    }

    DeviceFunctions f;
    const char* missing = nullptr;
    auto need = [&](const char* symbol, auto& slot) {
        if (missing == nullptr && !Resolve(module, symbol, slot)) missing = symbol;
    };
    need("Debug", f.Debug);
    need("Init", f.Init);
    need("End", f.End);
    need("RequestGetDeviceCount", f.RequestGetDeviceCount);
    need("DeleteRequestFromUnitId", f.DeleteRequestFromUnitId);
    need("DeleteRequestFromHandle", f.DeleteRequestFromHandle);
    need("RequestWrite", f.RequestWrite);
    need("RequestWriteOne", f.RequestWriteOne);
    need("RequestStatusWrite", f.RequestStatusWrite);
    need("RequestStatusGet", f.RequestStatusGet);
    need("RequestAsyncRead", f.RequestAsyncRead);
    need("RequestStatusSetFeature", f.RequestStatusSetFeature);
    if (missing != nullptr) {
        dlclose(module);
        return Error{"the device library '" + name + "' does not export the function '" + missing + "'"};
    }
    return Start(std::unique_ptr<DeviceLibrary>(new DeviceLibrary(module, f, name)));
}

Result<std::unique_ptr<DeviceLibrary>> DeviceLibrary::FromFunctions(const DeviceFunctions& functions,
                                                                    std::string description)
{
    const std::pair<const char*, bool> present[] = {
        {"Debug", functions.Debug != nullptr},
        {"Init", functions.Init != nullptr},
        {"End", functions.End != nullptr},
        {"RequestGetDeviceCount", functions.RequestGetDeviceCount != nullptr},
        {"DeleteRequestFromUnitId", functions.DeleteRequestFromUnitId != nullptr},
        {"DeleteRequestFromHandle", functions.DeleteRequestFromHandle != nullptr},
        {"RequestWrite", functions.RequestWrite != nullptr},
        {"RequestWriteOne", functions.RequestWriteOne != nullptr},
        {"RequestStatusWrite", functions.RequestStatusWrite != nullptr},
        {"RequestStatusGet", functions.RequestStatusGet != nullptr},
        {"RequestAsyncRead", functions.RequestAsyncRead != nullptr},
        {"RequestStatusSetFeature", functions.RequestStatusSetFeature != nullptr},
    };
    for (const auto& [symbol, ok] : present)
        if (!ok) return Error{"the device library '" + description + "' does not export the function '" + symbol + "'"};
    return Start(std::unique_ptr<DeviceLibrary>(new DeviceLibrary(nullptr, functions, std::move(description))));
}

Result<std::unique_ptr<DeviceLibrary>> DeviceLibrary::Start(std::unique_ptr<DeviceLibrary> library)
{
    const int started = library->m_functions.Init(0);
    if (started <= 0)
        return Error{"Init of the device library '" + library->m_description + "' returned " +
                     std::to_string(started) + ", expected a value above 0"};
    library->m_started = true;
    return library;
}

namespace {

std::uint32_t LengthOf(std::span<const std::uint8_t> bytes)
{
    return bytes.size() > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                     : static_cast<std::uint32_t>(bytes.size());
}

}  // namespace

int DeviceLibrary::GetDeviceCount(const HidRelaySelector& selector, std::uint32_t unitId) const
{
    return m_functions.RequestGetDeviceCount(&selector, nullptr, 0, unitId, nullptr);
}

int DeviceLibrary::WriteOne(const HidRelaySelector& selector, std::span<const std::uint8_t> report,
                            std::uint32_t unitId) const
{
    return m_functions.RequestWriteOne(&selector, nullptr, 0, report.data(), LengthOf(report), unitId, nullptr);
}

int DeviceLibrary::AsyncRead(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                             std::uint32_t unitId, HidRelayHandle* outHandle) const
{
    return m_functions.RequestAsyncRead(&selector, callback, tag, unitId, outHandle);
}

int DeviceLibrary::StatusWrite(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                               std::span<const std::uint8_t> status, std::uint32_t unitId,
                               HidRelayHandle* outHandle) const
{
    return m_functions.RequestStatusWrite(&selector, callback, tag, status.data(), LengthOf(status), unitId,
                                          outHandle);
}

int DeviceLibrary::DeleteRequest(HidRelayHandle handle) const
{
    return m_functions.DeleteRequestFromUnitId(handle);
}

}  // namespace kestrune
