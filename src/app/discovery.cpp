#include <cerrno>
#include <cstdlib>

#include "app/console.h"
#include "app/hexburn.h"
#include "mpsse/d2xx.h"

namespace {

constexpr char kNoDevices[] = "Can't find FT2232H devices for flash programming!\n";
constexpr std::uint32_t kMaxListed = 64;

// Reads the operator's answer as one whitespace-delimited word and accepts it
// only when the whole word is a decimal integer that fits an int: "%d" alone
// would take "3x" as 3 and has no defined result on overflow.
bool read_device_id(int* device_id) {
    char word[32];
    if (console_scan("%31s", word) != 1) {
        return false;
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

}  // namespace

int discover_device(FT_STATUS census, std::uint32_t count, FT_HANDLE* handle) {
    if (census != FT_OK || count == 0) {
        console_print(kNoDevices);
        return 1;
    }

    int device_id = 0;
    std::uint32_t found = 0;
    std::uint32_t listed[kMaxListed];
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t flags = 0;
        std::uint32_t type = 0;
        std::uint32_t id = 0;
        std::uint32_t location = 0;
        char serial[FT_SERIAL_SIZE] = {};
        char description[FT_DESCRIPTION_SIZE] = {};
        FT_HANDLE slot = nullptr;
        FT_STATUS status = FT_GetDeviceInfoDetail(index, &flags, &type, &id, &location, serial,
                                                  description, &slot);
        // A driver need not terminate what it copies; never read past the buffers.
        serial[FT_SERIAL_SIZE - 1] = '\0';
        description[FT_DESCRIPTION_SIZE - 1] = '\0';
        if (status != FT_OK || type != FT_DEVICE_2232H || serial[0] != 'B' || serial[1] != '\0') {
            continue;
        }
        if (found == 0) {
            console_print("Founded FT2232H devices:\n");
        }
        console_print("\tDeviceID=%d, description=\"%s\"\n", static_cast<int>(index), description);
        device_id = static_cast<int>(index);
        if (found < kMaxListed) {
            listed[found] = index;
        }
        ++found;
    }

    if (found == 0) {
        console_print(kNoDevices);
        return 1;
    }
    if (found >= 2) {
        console_print("Enter device DeviceID from the list: ");
        // Only an index that was offered may be opened: a slip of the hand
        // must not erase the flash behind some other interface.
        bool offered = false;
        if (read_device_id(&device_id)) {
            for (std::uint32_t i = 0; i < found && i < kMaxListed; ++i) {
                offered = offered || static_cast<std::uint32_t>(device_id) == listed[i];
            }
            offered = offered && device_id >= 0;
        }
        if (!offered) {
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
