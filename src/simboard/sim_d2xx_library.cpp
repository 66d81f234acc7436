// The simulated board as a D2XX library: libhexburn_sim_d2xx.so on Linux,
// hexburn_sim_d2xx.dll on Windows.
//
// It exports FTDI's calls under their plain names with the vendor's ABI, so a
// program that loads the vendor's library by name (hexburn with
// HEXBURN_DRIVER=ftd2xx:PATH among them) drives the simulated board through
// its whole loading path. HEXBURN_SIM holds the board's options, the OPTIONS
// of HEXBURN_DRIVER=sim:OPTIONS; it is read at the first call.
//
// The board's clock advances with the calls only: the caller's own sleeps
// happen in real time, unseen by the board.
//
// The program's d2xx.h is not included here: it declares the same names with
// C++ linkage.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "simboard/sim_driver.h"

// The vendor's types (hardware notes 3.1): 32-bit words on every platform.
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using UCHAR = unsigned char;
using LPVOID = void*;
static_assert(std::is_same_v<FT_STATUS, ULONG> && std::is_same_v<FT_HANDLE, void*>);

#if defined(_WIN32)
#define SIM_D2XX_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_D2XX_EXPORT extern "C" __attribute__((visibility("default")))
#endif
// Only 32-bit x86 Windows has a separate convention for the vendor's calls.
#if defined(_WIN32) && !defined(_WIN64)
#define SIM_D2XX_API __stdcall
#else
#define SIM_D2XX_API
#endif

namespace {

const std::string_view kProgramPrefix = "hexburn: HEXBURN_DRIVER: ";
const char kLibraryPrefix[] = "hexburn_sim_d2xx: HEXBURN_SIM: ";

// The board, made from HEXBURN_SIM at the first call. With bad options the
// library says why on standard error, once, and shows no devices.
SimDriver* board() {
    static std::unique_ptr<SimDriver> made = [] {
        const char* options = std::getenv("HEXBURN_SIM");
        std::string error;
        std::unique_ptr<SimDriver> driver =
            make_sim_board(options != nullptr ? options : "", error);
        if (driver == nullptr) {
            std::string_view why = error;
            if (why.substr(0, kProgramPrefix.size()) == kProgramPrefix) {
                why.remove_prefix(kProgramPrefix.size());
            }
            std::fprintf(stderr, "%s%.*s\n", kLibraryPrefix, static_cast<int>(why.size()),
                         why.data());
        }
        return driver;
    }();
    return made.get();
}

// Runs `call` on the board; `absent` when there is none. The board takes
// calls from any thread, as the vendor's library does.
template <class Call>
FT_STATUS with_board(FT_STATUS absent, Call call) {
    SimDriver* driver = board();
    return driver != nullptr ? call(*driver) : absent;
}

}  // namespace

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_CreateDeviceInfoList(DWORD* lpdwNumDevs) {
    return with_board(FT_DEVICE_NOT_FOUND,
                      [&](SimDriver& d) { return d.create_device_info_list(lpdwNumDevs); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_GetDeviceInfoDetail(DWORD dwIndex, DWORD* lpdwFlags,
                                                          DWORD* lpdwType, DWORD* lpdwID,
                                                          DWORD* lpdwLocId, LPVOID lpSerialNumber,
                                                          LPVOID lpDescription,
                                                          FT_HANDLE* pftHandle) {
    return with_board(FT_DEVICE_NOT_FOUND, [&](SimDriver& d) {
        return d.get_device_info_detail(dwIndex, lpdwFlags, lpdwType, lpdwID, lpdwLocId,
                                        static_cast<char*>(lpSerialNumber),
                                        static_cast<char*>(lpDescription), pftHandle);
    });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_Open(int deviceNumber, FT_HANDLE* pHandle) {
    return with_board(FT_DEVICE_NOT_FOUND,
                      [&](SimDriver& d) { return d.open(deviceNumber, pHandle); });
}

// By location (4), serial number (1) or description (2), as the vendor's.
SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_OpenEx(LPVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    return with_board(FT_DEVICE_NOT_FOUND,
                      [&](SimDriver& d) { return d.open_ex(pArg1, Flags, pHandle); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_GetDeviceInfo(FT_HANDLE ftHandle, ULONG* lpftDevice,
                                                    DWORD* lpdwID, char* SerialNumber,
                                                    char* Description, LPVOID Dummy) {
    (void)Dummy;
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.get_device_info(ftHandle, lpftDevice, lpdwID, SerialNumber, Description);
    });
}

// Closing flushes the trace and writes the report.
SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_Close(FT_HANDLE ftHandle) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) { return d.close(ftHandle); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_ResetDevice(FT_HANDLE ftHandle) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) { return d.reset_device(ftHandle); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes) {
    return with_board(FT_INVALID_HANDLE,
                      [&](SimDriver& d) { return d.get_queue_status(ftHandle, dwRxBytes); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG ulInTransferSize,
                                                       ULONG ulOutTransferSize) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.set_usb_parameters(ftHandle, ulInTransferSize, ulOutTransferSize);
    });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar,
                                               UCHAR EventCharEnabled, UCHAR ErrorChar,
                                               UCHAR ErrorCharEnabled) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.set_chars(ftHandle, EventChar, EventCharEnabled, ErrorChar, ErrorCharEnabled);
    });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                                                  ULONG WriteTimeout) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.set_timeouts(ftHandle, ReadTimeout, WriteTimeout);
    });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency) {
    return with_board(FT_INVALID_HANDLE,
                      [&](SimDriver& d) { return d.set_latency_timer(ftHandle, ucLatency); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable) {
    return with_board(FT_INVALID_HANDLE,
                      [&](SimDriver& d) { return d.set_bit_mode(ftHandle, ucMask, ucEnable); });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer,
                                            DWORD dwBytesToWrite, DWORD* lpBytesWritten) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.write(ftHandle, static_cast<const std::uint8_t*>(lpBuffer), dwBytesToWrite,
                       lpBytesWritten);
    });
}

SIM_D2XX_EXPORT ULONG SIM_D2XX_API FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                                           DWORD* lpBytesReturned) {
    return with_board(FT_INVALID_HANDLE, [&](SimDriver& d) {
        return d.read(ftHandle, static_cast<std::uint8_t*>(lpBuffer), dwBytesToRead,
                      lpBytesReturned);
    });
}
