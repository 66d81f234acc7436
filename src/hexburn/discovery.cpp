#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "hexburn/hexburn.h"
#include "host/console.h"
#include "d2xx/d2xx.h"

namespace {

constexpr char kNoDevices[] = "Can't find FT2232H devices for flash programming!\n";

// Reads the operator's answer as one whitespace-delimited word, whole,
// and accepts it only when the word is a decimal integer that fits an int:
// "%d" alone would take "3x" as 3, and a word cut to the buffer would be
// another number than the one typed.
bool read_device_id(int* device_id) {
    char word[32];
    if (console_scan("%31s", word) != 1) {
        return false;
    }
    if (std::strlen(word) == sizeof word - 1) {
        char next = 0;
        if (console_scan("%c", &next) == 1 && !std::isspace(static_cast<unsigned char>(next))) {
            return false;  // the word goes on past the buffer
        }
    }
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(word, &end, 10);
    if (end == word || *end != '\0' || errno == ERANGE || value < -2147483647L - 1 ||
        value > 2147483647L) {
        return false;
    }
    *device_id = static_cast<int>(value);
    return true;
}

// Whether the interface at `index` is one the program may burn through: an
// FT2232H whose serial number is "B". Its description goes to `description`.
bool qualifies(std::uint32_t index, char (&description)[FT_DESCRIPTION_SIZE]) {
    std::uint32_t flags = 0;
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t location = 0;
    char serial[FT_SERIAL_SIZE] = {};
    FT_HANDLE slot = nullptr;
    description[0] = '\0';
    FT_STATUS status =
        FT_GetDeviceInfoDetail(index, &flags, &type, &id, &location, serial, description, &slot);
    // A driver need not terminate what it copies; never read past the buffers.
    serial[FT_SERIAL_SIZE - 1] = '\0';
    description[FT_DESCRIPTION_SIZE - 1] = '\0';
    return status == FT_OK && type == FT_DEVICE_2232H && serial[0] == 'B' && serial[1] == '\0';
}

}  // namespace

int discover_device(FT_STATUS census, std::uint32_t count, FT_HANDLE* handle) {
    if (census != FT_OK || count == 0) {
        console_print(kNoDevices);
        return 1;
    }

    int device_id = 0;
    std::uint32_t found = 0;
    for (std::uint32_t index = 0; index < count; ++index) {
        char description[FT_DESCRIPTION_SIZE] = {};
        if (!qualifies(index, description)) {
            continue;
        }
        if (found == 0) {
            console_print("Founded FT2232H devices:\n");
        }
        console_print("\tDeviceID=%d, description=\"%s\"\n", static_cast<int>(index), description);
        device_id = static_cast<int>(index);
        ++found;
    }

    if (found == 0) {
        console_print(kNoDevices);
        return 1;
    }
    if (found >= 2) {
        console_print("Enter device DeviceID from the list: ");
        // Only an index that was offered may be opened: a slip of the hand
        // must not erase the flash behind some other interface. The list is
        // not kept: the chosen index is asked again whether it qualifies.
        char description[FT_DESCRIPTION_SIZE] = {};
        if (!read_device_id(&device_id) || device_id < 0 ||
            static_cast<std::uint32_t>(device_id) >= count ||
            !qualifies(static_cast<std::uint32_t>(device_id), description)) {
            console_print("Incorrect DeviceID!\n");
            return 1;
        }
    }

    if (FT_Open(device_id, handle) != FT_OK) {
        console_print("Can't open FT2232H device!\n");
        return 1;
    }
    return 0;
}
