// The programming run allocates nothing: from the first call after FT_Open
// (mpsse_init's reset) to FT_Close, every heap allocation must come from the
// driver (here the simulated board) or from the C library's fopen of the
// image. The binary replaces malloc and its kin with counting versions; a
// driver decorator marks the time spent inside the driver, and fopen and
// fclose are wrapped at link time (-Wl,--wrap) to mark stdio's own
// allocation of the FILE. Every other allocation in that window is the
// core's, and there must be none, on the successful path and on each way a
// run can fail.
#include <gtest/gtest.h>
#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "case_name.h"
#include "forwarding_driver.h"
#include "hex_text.h"
#include "hexburn/hexburn.h"
#include "scripted_driver.h"
#include "simboard/sim_driver.h"
#include "test_dir.h"

// The sanitizers bring their own allocator; there the test has nothing to count.
#if defined(__SANITIZE_ADDRESS__)
#define HEXBURN_OWN_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEXBURN_OWN_MALLOC 0
#endif
#endif
#ifndef HEXBURN_OWN_MALLOC
#define HEXBURN_OWN_MALLOC 1
#endif

namespace {

// Where an allocation came from, while the window is open.
struct HeapCount {
    bool window = false;  // between the first call after FT_Open and FT_Close
    int in_driver = 0;    // depth of driver calls in progress
    int in_stdio = 0;     // inside fopen or fclose
    long core = 0;
    long driver = 0;
    long stdio = 0;
};
HeapCount heap;

}  // namespace

#if HEXBURN_OWN_MALLOC
namespace {

void note_allocation() {
    if (!heap.window) {
        return;
    }
    if (heap.in_driver > 0) {
        ++heap.driver;
    } else if (heap.in_stdio > 0) {
        ++heap.stdio;
    } else {
        ++heap.core;
    }
}

}  // namespace

// glibc's allocator under its own names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);

// operator new and delete call these, so C++ allocations are counted too.
void* malloc(std::size_t size) noexcept {
    note_allocation();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    note_allocation();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
    note_allocation();
    return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    note_allocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    note_allocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** pointer, std::size_t alignment, std::size_t size) noexcept {
    note_allocation();
    *pointer = __libc_memalign(alignment, size);
    return *pointer == nullptr ? ENOMEM : 0;
}
void free(void* pointer) noexcept {
    __libc_free(pointer);
}
}
#endif

// The image's FILE is the C library's to allocate (-Wl,--wrap=fopen,--wrap=fclose).
extern "C" {
std::FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(std::FILE* file);

std::FILE* __wrap_fopen(const char* path, const char* mode) {
    ++heap.in_stdio;
    std::FILE* file = __real_fopen(path, mode);
    --heap.in_stdio;
    return file;
}
int __wrap_fclose(std::FILE* file) {
    ++heap.in_stdio;
    int result = __real_fclose(file);
    --heap.in_stdio;
    return result;
}
}

namespace {

// Forwards every call to the simulated board, the time inside it counted as
// the driver's; the window opens once FT_Open succeeds and closes as FT_Close
// begins.
class MarkingDriver final : public ForwardingDriver {
  public:
    using ForwardingDriver::ForwardingDriver;

    FT_STATUS open(int index, FT_HANDLE* handle) override {
        FT_STATUS status = ForwardingDriver::open(index, handle);
        heap.window = status == FT_OK;
        return status;
    }
    FT_STATUS close(FT_HANDLE handle) override {
        heap.window = false;
        return ForwardingDriver::close(handle);
    }

  protected:
    void enter() override { ++heap.in_driver; }
    void leave() override { --heap.in_driver; }
};

std::string record(int type, int offset, const std::vector<std::uint8_t>& data) {
    return record_text(type, static_cast<std::uint32_t>(offset), data) + "\n";
}

std::vector<std::uint8_t> bytes(int length, int seed) {
    std::vector<std::uint8_t> data;
    for (int i = 0; i < length; ++i) {
        data.push_back(static_cast<std::uint8_t>((seed * 31 + i * 7) & 0xFF));
    }
    return data;
}

// 100 data records: 60 from 0xF8 (across pages, inside the erase-checked
// 2 KiB), 20 of 32 bytes from 0x11000 and 20 from 0x20000.
std::string image(bool end_record = true) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += record(0, 0xF8 + 16 * i, bytes(16, i));
    }
    text += record(4, 0, {0x00, 0x01});
    for (int i = 0; i < 20; ++i) {
        text += record(0, 0x1000 + 32 * i, bytes(32, i));
    }
    text += record(2, 0, {0x20, 0x00});
    for (int i = 0; i < 20; ++i) {
        text += record(0, 0x10 * i, bytes(16, i));
    }
    return text + (end_record ? ":00000001FF\n" : "");
}

struct Case {
    const char* name;
    std::string image;
    std::string fault;  // sim fault option, or empty
    int exit_status;
};

class NoHeapTest : public testing::TestWithParam<Case> {};

TEST_P(NoHeapTest, TheRunAllocatesNothingOfItsOwn) {
    if (!HEXBURN_OWN_MALLOC) {
        GTEST_SKIP() << "the sanitizers replace malloc";
    }
    const Case& c = GetParam();
    std::string path = test_path("image.hex");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs(c.image.c_str(), file);
    std::fclose(file);

    SimOptions options;
    std::string error;
    ASSERT_TRUE(parse_sim_options("timing=zero" + c.fault, options, error)) << error;
    SimDriver board(std::move(options));
    MarkingDriver driver(board);
    BoundDriver bound(driver);
    ConsoleCapture console;
    heap = HeapCount{};
    char program[] = "hexburn";
    char* argv[] = {program, path.data(), nullptr};
    int status = hexburn_main(2, argv);

    EXPECT_EQ(status, c.exit_status) << console.text();
    EXPECT_TRUE(console.text().ends_with("Process completed.\n")) << console.text();
    EXPECT_EQ(heap.core, 0) << "allocations outside the driver and stdio";
    EXPECT_LE(heap.stdio, 1) << "fopen allocates the FILE of the image, nothing more";
    std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, NoHeapTest,
    testing::Values(Case{"Written", image(), "", 0}, Case{"NoEndOfFileRecord", image(false), "", 1},
                    Case{"RefusedAtTheLastLine", image(false) + "junk\n", "", 1},
                    Case{"EmptyFile", "", "", 1},
                    Case{"SetUpFails", image(), ",fault=setup-fail", 2},
                    Case{"EraseCheckFails", image(), ",fault=stuck-zero@0x7FF", 3},
                    Case{"WriteFails", image(), ",fault=write-fail@60", 2},
                    Case{"ChipStuckBusy", image(), ",fault=stuck-busy@5", 2},
                    // 0x85 at 0x11013 reaches the chip as 0xA1: bit 0 set.
                    Case{"ReadBackDiffers", image(), ",fault=stuck-zero@0x11013", 3}),
    case_name<Case>);

}  // namespace
