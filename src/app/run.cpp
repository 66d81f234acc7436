#include "app/hexburn.h"
#include "mpsse/d2xx.h"

int program_run(FT_HANDLE handle, const char* path) {
    (void)path;
    FT_Close(handle);
    return 0;
}
