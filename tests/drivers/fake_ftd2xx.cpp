// A stand-in for FTDI's D2XX library: the calls hexburn resolves, exported by
// their plain names, over one FT2232H (interfaces A and B) that echoes
// whatever is written to it. The fake_ftd2xx_* controls let a test choose how
// wide the out-parameters are, make a call fail, count the out-parameters that
// were not handed over as eight zeroed bytes, put another device where the
// census saw one, and see how the last open and transfer size were asked.
//
// Built with FAKE_FTD2XX_WITHOUT_READ it lacks FT_Read, like a broken install.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#if defined(_WIN32)
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using ULONG = std::uint32_t;
using DWORD = std::uint32_t;
using UCHAR = unsigned char;
using HANDLE = void*;

constexpr ULONG kOk = 0;
constexpr ULONG kInvalidHandle = 1;
constexpr ULONG kDeviceNotFound = 2;
constexpr ULONG kDeviceNotOpened = 3;

struct Entry {
    DWORD flags, type, id, location;
    const char* serial;
    const char* description;
};
constexpr Entry kEntries[] = {
    {2, 6, 0x04036010, 0x22221, "A", "Dual RS232-HS A"},
    {2, 6, 0x04036010, 0x22222, "B", "Dual RS232-HS B"},
};
constexpr DWORD kEntryCount = sizeof kEntries / sizeof kEntries[0];

bool wide = false;
int unzeroed = 0;
std::string failing;
ULONG failing_status = kOk;
std::deque<UCHAR> echo;
int device;  // its address is the one handle FT_Open gives out
HANDLE open_handle = nullptr;
DWORD open_index = 0;
std::string last_open;     // "FT_Open INDEX" or "FT_OpenEx LOCATION HOW"
std::string other_serial;  // not empty: the device opened reports this serial
ULONG usb_in = 0;

// The status the test asked this call to fail with, or 0.
ULONG enter(const std::string& name) {
    return name == failing ? failing_status : kOk;
}

bool known(HANDLE handle) {
    return handle != nullptr && handle == open_handle;
}

// A call on a handle: the scripted failure, or whether the handle is the open one.
ULONG on_handle(const std::string& name, HANDLE handle) {
    ULONG status = enter(name);
    return status == kOk && !known(handle) ? kInvalidHandle : status;
}

// Writes an LPDWORD result. Narrow: four bytes, as current packages do.
// Wide: eight bytes, as old 64-bit Linux packages did, with a marker in the
// upper half that must never reach the caller; and the eight bytes must have
// been handed over zeroed.
void put(DWORD* out, DWORD value) {
    if (!wide) {
        std::memcpy(out, &value, sizeof value);
        return;
    }
    std::uint64_t before = 0;
    std::memcpy(&before, out, sizeof before);
    if (before != 0) {
        ++unzeroed;
    }
    std::uint64_t word = 0xA5A5A5A500000000u | value;
    std::memcpy(out, &word, sizeof word);
}

}  // namespace

// --- controls ------------------------------------------------------------------

FAKE_EXPORT void fake_ftd2xx_reset(int wide_results) {
    wide = wide_results != 0;
    unzeroed = 0;
    failing.clear();
    failing_status = kOk;
    echo.clear();
    open_handle = nullptr;
    last_open.clear();
    other_serial.clear();
    usb_in = 0;
}

FAKE_EXPORT void fake_ftd2xx_other_device(const char* serial) {
    other_serial = serial;
}

FAKE_EXPORT const char* fake_ftd2xx_last_open() {
    return last_open.c_str();
}

FAKE_EXPORT int fake_ftd2xx_is_open() {
    return open_handle != nullptr;
}

FAKE_EXPORT ULONG fake_ftd2xx_usb_in() {
    return usb_in;
}

FAKE_EXPORT void fake_ftd2xx_fail(const char* name, ULONG status) {
    failing = name;
    failing_status = status;
}

FAKE_EXPORT int fake_ftd2xx_unzeroed() {
    return unzeroed;
}

// --- the D2XX calls -------------------------------------------------------------

FAKE_EXPORT ULONG FT_CreateDeviceInfoList(DWORD* count) {
    ULONG status = enter("FT_CreateDeviceInfoList");
    if (status == kOk) {
        put(count, kEntryCount);
    }
    return status;
}

FAKE_EXPORT ULONG FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id,
                                         DWORD* location, void* serial, void* description,
                                         HANDLE* handle) {
    ULONG status = enter("FT_GetDeviceInfoDetail");
    if (status != kOk) {
        return status;
    }
    if (index >= kEntryCount) {
        return kDeviceNotFound;
    }
    const Entry& entry = kEntries[index];
    put(flags, entry.flags);
    put(type, entry.type);
    put(id, entry.id);
    put(location, entry.location);
    std::snprintf(static_cast<char*>(serial), 16, "%s", entry.serial);
    std::snprintf(static_cast<char*>(description), 64, "%s", entry.description);
    *handle = nullptr;
    return kOk;
}

FAKE_EXPORT ULONG FT_Open(int index, HANDLE* handle) {
    ULONG status = enter("FT_Open");
    if (status != kOk) {
        return status;
    }
    last_open = "FT_Open " + std::to_string(index);
    if (index < 0 || static_cast<DWORD>(index) >= kEntryCount) {
        return kDeviceNotOpened;
    }
    open_index = static_cast<DWORD>(index);
    open_handle = &device;
    *handle = open_handle;
    return kOk;
}

FAKE_EXPORT ULONG FT_OpenEx(void* arg, DWORD how, HANDLE* handle) {
    ULONG status = enter("FT_OpenEx");
    if (status != kOk) {
        return status;
    }
    auto location = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(arg));
    last_open = "FT_OpenEx " + std::to_string(location) + " " + std::to_string(how);
    for (DWORD i = 0; i < kEntryCount; ++i) {
        if (how == 4 && kEntries[i].location == location) {
            open_index = i;
            open_handle = &device;
            *handle = open_handle;
            return kOk;
        }
    }
    return kDeviceNotFound;
}

FAKE_EXPORT ULONG FT_GetDeviceInfo(HANDLE handle, DWORD* type, DWORD* id, char* serial,
                                   char* description, void*) {
    ULONG status = on_handle("FT_GetDeviceInfo", handle);
    if (status == kOk) {
        const Entry& entry = kEntries[open_index];
        put(type, entry.type);
        put(id, entry.id);
        std::snprintf(serial, 16, "%s", other_serial.empty() ? entry.serial : other_serial.c_str());
        std::snprintf(description, 64, "%s", entry.description);
    }
    return status;
}

FAKE_EXPORT ULONG FT_Close(HANDLE handle) {
    ULONG status = on_handle("FT_Close", handle);
    if (status == kOk) {
        open_handle = nullptr;
    }
    return status;
}

FAKE_EXPORT ULONG FT_ResetDevice(HANDLE handle) {
    return on_handle("FT_ResetDevice", handle);
}

FAKE_EXPORT ULONG FT_GetQueueStatus(HANDLE handle, DWORD* rx_bytes) {
    ULONG status = on_handle("FT_GetQueueStatus", handle);
    if (status == kOk) {
        put(rx_bytes, static_cast<DWORD>(echo.size()));
    }
    return status;
}

FAKE_EXPORT ULONG FT_SetUSBParameters(HANDLE handle, ULONG in, ULONG) {
    usb_in = in;
    return on_handle("FT_SetUSBParameters", handle);
}

FAKE_EXPORT ULONG FT_SetChars(HANDLE handle, UCHAR, UCHAR, UCHAR, UCHAR) {
    return on_handle("FT_SetChars", handle);
}

FAKE_EXPORT ULONG FT_SetTimeouts(HANDLE handle, ULONG, ULONG) {
    return on_handle("FT_SetTimeouts", handle);
}

FAKE_EXPORT ULONG FT_SetLatencyTimer(HANDLE handle, UCHAR) {
    return on_handle("FT_SetLatencyTimer", handle);
}

FAKE_EXPORT ULONG FT_SetBitMode(HANDLE handle, UCHAR, UCHAR) {
    return on_handle("FT_SetBitMode", handle);
}

FAKE_EXPORT ULONG FT_Write(HANDLE handle, void* data, DWORD count, DWORD* written) {
    const UCHAR* bytes = static_cast<const UCHAR*>(data);
    ULONG status = on_handle("FT_Write", handle);
    if (status == kOk) {
        echo.insert(echo.end(), bytes, bytes + count);
        put(written, count);
    }
    return status;
}

#if !defined(FAKE_FTD2XX_WITHOUT_READ)
// Returns what is waiting, up to `count`, at once: as the real call does when
// its read time-out runs out.
FAKE_EXPORT ULONG FT_Read(HANDLE handle, void* data, DWORD count, DWORD* got) {
    ULONG status = on_handle("FT_Read", handle);
    if (status == kOk) {
        DWORD n = 0;
        for (; n < count && !echo.empty(); ++n) {
            static_cast<UCHAR*>(data)[n] = echo.front();
            echo.pop_front();
        }
        put(got, n);
    }
    return status;
}
#endif
