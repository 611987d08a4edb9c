#pragma once

// Binding of the device access library. The program never links the library:
// it opens a file by name at run time (the real keyboard library or the
// emulator) and resolves the twelve functions of HidRelay.h from it, so the
// same program runs against either without rebuilding.
//
// Threads: a bound library may be called from any thread; the wrappers add no
// state of their own. Destroying the binding ends the library (End) and
// unloads it, so every callback handed to it must stay valid until then.

#include "common/Result.h"

#include "wire/HidRelay.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace kestrune {

inline constexpr const char* kDeviceLibraryFile = "libHidRelay.so";
inline constexpr const char* kEmulatorLibraryFile = "libHidRelayEmulator.so";
inline constexpr const char* kDeviceLibraryVariable = "KESTRUNE_DEVICE_LIBRARY";

// Which file to bind. `--emulator` (emulator = true) wins, then the
// environment value when it is not empty, then the real library. A bare file
// name is looked up beside the program; anything with a folder part is taken
// as it stands.
std::filesystem::path ResolveDeviceLibraryPath(const std::filesystem::path& programDir, const char* environmentValue,
                                               bool emulator);

// The folder of the running executable.
Result<std::filesystem::path> ProgramDirectory();

// The twelve exports, by the names the library gives them.
struct DeviceFunctions {
    decltype(&::Debug) Debug = nullptr;
    decltype(&::Init) Init = nullptr;
    decltype(&::End) End = nullptr;
    decltype(&::RequestGetDeviceCount) RequestGetDeviceCount = nullptr;
    decltype(&::DeleteRequestFromUnitId) DeleteRequestFromUnitId = nullptr;
    decltype(&::DeleteRequestFromHandle) DeleteRequestFromHandle = nullptr;
    decltype(&::RequestWrite) RequestWrite = nullptr;
    decltype(&::RequestWriteOne) RequestWriteOne = nullptr;
    decltype(&::RequestStatusWrite) RequestStatusWrite = nullptr;
    decltype(&::RequestStatusGet) RequestStatusGet = nullptr;
    decltype(&::RequestAsyncRead) RequestAsyncRead = nullptr;
    decltype(&::RequestStatusSetFeature) RequestStatusSetFeature = nullptr;
};

class DeviceLibrary {
public:
    // Opens the file, resolves all twelve names and calls Init(0). The error
    // names the file and, when one is missing, the function.
    static Result<std::unique_ptr<DeviceLibrary>> Load(const std::filesystem::path& file);

    // Binds functions that are already linked into the process (a library
    // built into a test program). Calls Init(0) like Load; nothing to unload.
    static Result<std::unique_ptr<DeviceLibrary>> FromFunctions(const DeviceFunctions& functions,
                                                                std::string description);

    ~DeviceLibrary();
    DeviceLibrary(const DeviceLibrary&) = delete;
    DeviceLibrary& operator=(const DeviceLibrary&) = delete;

    const DeviceFunctions& Functions() const { return m_functions; }
    // The file the functions came from, for messages.
    const std::string& Description() const { return m_description; }

    int GetDeviceCount(const HidRelaySelector& selector, std::uint32_t unitId) const;
    int WriteOne(const HidRelaySelector& selector, std::span<const std::uint8_t> report, std::uint32_t unitId) const;
    int AsyncRead(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag, std::uint32_t unitId,
                  HidRelayHandle* outHandle) const;
    int StatusWrite(const HidRelaySelector& selector, HidRelayCallback callback, std::uint32_t tag,
                    std::span<const std::uint8_t> status, std::uint32_t unitId, HidRelayHandle* outHandle) const;
    int DeleteRequest(HidRelayHandle handle) const;

private:
    DeviceLibrary(void* module, const DeviceFunctions& functions, std::string description);

    void* m_module = nullptr;
    DeviceFunctions m_functions;
    std::string m_description;
    bool m_started = false;

    static Result<std::unique_ptr<DeviceLibrary>> Start(std::unique_ptr<DeviceLibrary> library);
};

} // namespace kestrune
