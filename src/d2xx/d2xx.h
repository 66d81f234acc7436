// The D2XX call surface: the FT_* calls the program makes, with the
// program's own fixed-width types. Each forwards to the bound driver
// (d2xx_driver.h). Out-parameters are written only when the call says so.
#pragma once

#include <cstdint>

#include "d2xx/d2xx_types.h"

FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* count);
FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                 std::uint32_t* id, std::uint32_t* location, char* serial,
                                 char* description, FT_HANDLE* handle);
FT_STATUS FT_Open(int index, FT_HANDLE* handle);
FT_STATUS FT_Close(FT_HANDLE handle);
FT_STATUS FT_ResetDevice(FT_HANDLE handle);
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rx_bytes);
FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t in_size, std::uint32_t out_size);
FT_STATUS FT_SetChars(FT_HANDLE handle, std::uint8_t event_char, std::uint8_t event_enabled,
                      std::uint8_t error_char, std::uint8_t error_enabled);
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, std::uint32_t read_ms, std::uint32_t write_ms);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t ms);
FT_STATUS FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
FT_STATUS FT_Write(FT_HANDLE handle, const void* data, std::uint32_t count, std::uint32_t* written);
FT_STATUS FT_Read(FT_HANDLE handle, void* data, std::uint32_t count, std::uint32_t* got);

// The operating system's sleep, in milliseconds, on the driver's clock.
void Sleep(std::uint32_t ms);
// A monotonic clock in milliseconds, on the driver's clock; for bounded waits.
std::uint64_t d2xx_clock_ms();
