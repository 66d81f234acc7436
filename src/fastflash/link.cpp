// The channel and its command queue: set-up, transactions, one USB write per
// batch with 0x87 behind it, reads that never shift. The operations built on
// the queue are in operations.cpp.
#include <cstring>

#include "fastflash/link.h"
#include "mpsse/d2xx.h"
#include "mpsse/mpsse.h"
#include "mpsse/spi.h"

namespace {

constexpr std::uint8_t BYTES_OUT_FALLING = 0x11;  // the chip samples D on the rising edge
constexpr std::uint8_t BYTES_IN_RISING = 0x20;    // Q is valid from the falling edge on
constexpr std::uint8_t CLOCK_BITS = 0x8E;         // + length: clocks without data
constexpr std::uint8_t CLOCK_BYTES = 0x8F;        // + length L H: 8 x (length + 1) clocks
constexpr std::uint8_t SEND_IMMEDIATE = 0x87;

constexpr std::uint32_t BASE_HZ = 60000000;
constexpr std::uint32_t USB_TRANSFER_SIZE = 65536;
constexpr std::uint32_t SETTLE_MODE_MS = 50;
constexpr std::uint32_t MAX_CLOCK_RUN = 65536;  // bytes of one 0x8F
constexpr std::uint64_t NS_PER_S = 1000000000;
constexpr std::uint64_t DRAIN_MS = 3000;

void put(fast_link* link, std::uint8_t byte) {
    link->out[link->out_used++] = byte;
}

void put_length(fast_link* link, std::uint32_t count) {
    put(link, static_cast<std::uint8_t>((count - 1) & 0xFF));
    put(link, static_cast<std::uint8_t>((count - 1) >> 8));
}

void put_select(fast_link* link) {
    put(link, MPSSE_SET_LOW_BYTE);
    put(link, SPI_PINS_SELECTED);
    put(link, SPI_PINS_DIRECTION);
}

// S# high, then three SK cycles with the chip deselected: S# stays high for
// tSHSL (100 ns) even at 30 MHz, whatever the engine's own pace.
void put_deselect(fast_link* link) {
    put(link, MPSSE_SET_LOW_BYTE);
    put(link, SPI_PINS_IDLE);
    put(link, SPI_PINS_DIRECTION);
    put(link, CLOCK_BITS);
    put(link, 2);
}

void put_in(fast_link* link, std::uint32_t count) {
    put(link, BYTES_IN_RISING);
    put_length(link, count);
    link->answers += count;
    link->spi_bytes += count;
}

std::uint64_t clocks_for(const fast_link* link, std::uint64_t ns) {
    return (ns * link->clock_hz + NS_PER_S - 1) / NS_PER_S;
}

// Whole bytes of clocks covering at least `ns`.
void put_clocks(fast_link* link, std::uint64_t ns) {
    std::uint64_t bytes = (clocks_for(link, ns) + 7) / 8;
    while (bytes > 0) {
        std::uint32_t run =
            bytes < MAX_CLOCK_RUN ? static_cast<std::uint32_t>(bytes) : MAX_CLOCK_RUN;
        put(link, CLOCK_BYTES);
        put_length(link, run);
        bytes -= run;
    }
}

// After a failed transfer: take whatever answers are still on their way,
// until none has come for a while, so that no later read gets them. A link
// whose queue could not be seen empty within the drain's bound carries no
// more transactions (`desynchronised`).
void drain(fast_link* link) {
    // Long enough for a packet's worth of answers at the clock set.
    const mpsse_drain_plan plan = {20 + 2 * 510 * 8 * 1000 / link->clock_hz, DRAIN_MS, true,
                                   link->in, FAST_IN_SIZE};
    if (!mpsse_drain_until_quiet(link->handle, &plan)) {
        link->desynchronised = true;
    }
}

bool sent_whole(FT_STATUS status, std::uint32_t written, std::uint32_t count) {
    return status == FT_OK && written == count;
}

}  // namespace

std::uint64_t link_now_ms() {
    return d2xx_clock_ms();
}

bool link_stop(const fast_progress* progress) {
    return progress != nullptr && progress->stop != nullptr && progress->stop(progress->context);
}

void link_report(const fast_progress* progress, const char* phase, std::uint64_t done,
                 std::uint64_t total) {
    if (progress != nullptr && progress->report != nullptr) {
        progress->report(progress->context, phase, done, total);
    }
}

std::uint32_t link_room(const fast_link* link) {
    return FAST_OUT_SIZE - link->out_used;
}

void link_transaction(fast_link* link, std::uint8_t instruction, const std::uint8_t* bytes,
                      std::uint32_t count, std::uint32_t answer) {
    put_select(link);
    put(link, BYTES_OUT_FALLING);
    put_length(link, count + 1);
    put(link, instruction);
    if (count > 0) {
        std::memcpy(link->out + link->out_used, bytes, count);
        link->out_used += count;
    }
    link->spi_bytes += count + 1;
    if (answer > 0) {
        put_in(link, answer);
    }
    put_deselect(link);
}

void link_address(fast_link* link, std::uint8_t instruction, std::uint32_t address,
                  const std::uint8_t* bytes, std::uint32_t count, std::uint32_t answer) {
    put_select(link);
    put(link, BYTES_OUT_FALLING);
    put_length(link, count + 4);
    put(link, instruction);
    put(link, static_cast<std::uint8_t>(address >> 16));
    put(link, static_cast<std::uint8_t>(address >> 8));
    put(link, static_cast<std::uint8_t>(address));
    if (count > 0) {
        std::memcpy(link->out + link->out_used, bytes, count);
        link->out_used += count;
    }
    link->spi_bytes += count + 4;
    if (answer > 0) {
        put_in(link, answer);
    }
    put_deselect(link);
}

void link_status(fast_link* link) {
    link_transaction(link, CHIP_INS_RDSR, nullptr, 0, 1);
}

void link_status_train(fast_link* link, std::uint32_t samples, std::uint64_t gap_ns) {
    put_select(link);
    put(link, BYTES_OUT_FALLING);
    put_length(link, 1);
    put(link, CHIP_INS_RDSR);
    ++link->spi_bytes;
    for (std::uint32_t i = 0; i < samples; ++i) {
        put_in(link, 1);
        put_clocks(link, gap_ns);  // the chip keeps sending its live status
    }
    put_deselect(link);
}

void link_pause(fast_link* link, std::uint64_t ns) {
    put_clocks(link, ns);
}

int link_flush(fast_link* link, std::uint8_t* answers) {
    // Send-immediate ends every write, answers due or not: a write cut
    // short by one byte then loses only that, never half a command.
    const std::uint32_t want = link->answers;
    put(link, SEND_IMMEDIATE);
    const std::uint32_t count = link->out_used;
    link->out_used = 0;
    link->answers = 0;
    if (link->desynchronised) {
        return FAST_ERR_TRANSFER;
    }
    std::uint32_t written = 0;
    const FT_STATUS sent = FT_Write(link->handle, link->out, count, &written);
    if (!sent_whole(sent, written, count)) {
        drain(link);
        return FAST_ERR_TRANSFER;
    }
    if (want == 0) {
        return FAST_OK;
    }
    std::uint32_t got = 0;
    const FT_STATUS read = FT_Read(link->handle, answers, want, &got);
    if (!sent_whole(read, got, want)) {
        drain(link);
        return FAST_ERR_TRANSFER;
    }
    return FAST_OK;
}

// --- the public calls -------------------------------------------------------------

int fast_open(FT_HANDLE handle, std::uint32_t clock_hz, fast_link* link) {
    link->handle = handle;
    link->program_ns = 0;
    link->part = &CHIP_M25P16;
    link->desynchronised = false;
    link->out_used = 0;
    link->answers = 0;
    link->spi_bytes = 0;
    if (clock_hz == 0) {
        clock_hz = FAST_DEFAULT_CLOCK_HZ;
    }
    // SK = 60 MHz / ((1 + divisor) * 2): the fastest at or below clock_hz.
    std::uint32_t divisor = (BASE_HZ / 2 + clock_hz - 1) / clock_hz - 1;
    divisor = divisor > 0xFFFF ? 0xFFFF : divisor;
    link->clock_hz = BASE_HZ / ((1 + divisor) * 2);

    FT_STATUS status = mpsse_open_channel(handle, USB_TRANSFER_SIZE);
    if (status != FT_OK) {
        return FAST_ERR_TRANSFER;
    }
    Sleep(SETTLE_MODE_MS);
    if (mpsse_sync(handle, MPSSE_SYNC_FIRST) != FT_OK ||
        mpsse_sync(handle, MPSSE_SYNC_SECOND) != FT_OK) {
        return FAST_ERR_TRANSFER;
    }
    drain(link);  // whatever followed the echo
    const std::uint8_t setup[] = {MPSSE_DIVIDE_BY_5_OFF,
                                  MPSSE_ADAPTIVE_CLOCK_OFF,
                                  MPSSE_THREE_PHASE_OFF,
                                  MPSSE_LOOPBACK_OFF,
                                  MPSSE_SET_LOW_BYTE,
                                  SPI_PINS_IDLE,
                                  SPI_PINS_DIRECTION,
                                  MPSSE_SET_CLOCK_DIVISOR,
                                  static_cast<std::uint8_t>(divisor & 0xFF),
                                  static_cast<std::uint8_t>(divisor >> 8)};
    std::uint32_t written = 0;
    const FT_STATUS sent = FT_Write(handle, setup, sizeof setup, &written);
    if (!sent_whole(sent, written, sizeof setup)) {
        return FAST_ERR_TRANSFER;
    }
    return FAST_OK;
}

void fast_close(fast_link* link) {
    mpsse_release(link->handle);
}
