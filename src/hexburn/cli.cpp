#include <cstring>

#include "hexburn/hexburn.h"
#include "host/console.h"
#include "d2xx/d2xx.h"
#include "host/output.h"

namespace {

void print_usage() {
    console_print("Usage:\n");
    console_print(" hexburn.exe [-h] FILE\n");
    console_print("  -h\t display this information\n");
    console_print("  FILE\t ldr-file in HEX format to be burned into flash\n");
}

}  // namespace

int hexburn_main(int argc, char** argv) {
    // The set-up messages and the erase dots of the layers below reach the
    // console through this hook.
    output_set_hook(console_text);
    // The census comes first, before anything is printed, even for -h.
    std::uint32_t count = 0;
    FT_STATUS census = FT_CreateDeviceInfoList(&count);

    console_print("Flash programmer for oxa-2.x boards(Built: %s : %s)\n\r", __DATE__, __TIME__);

    if (argc < 2) {
        console_print("Insufficient arguments!\n");
        print_usage();
        return 1;
    }
    if (std::strcmp(argv[1], "-h") == 0) {
        print_usage();
        return 0;
    }

    const char* path = argv[1];
    FT_HANDLE handle = nullptr;
    if (discover_device(census, count, &handle) != 0) {
        return 1;
    }
    return program_run(handle, path);
}
