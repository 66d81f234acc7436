// The channel and its command queue: set-up, transactions, one USB write per
// batch with 0x87 behind it, reads that never shift.
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
constexpr std::uint64_t REPORT_MS = 100;  // progress while an erase runs

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
// whose queue could not be seen empty within DRAIN_MS carries no more
// transactions (`desynchronised`).
void drain(fast_link* link) {
    // Long enough for a packet's worth of answers at the clock set.
    const std::uint64_t quiet_ms = 20 + 2 * 510 * 8 * 1000 / link->clock_hz;
    const std::uint64_t start = link_now_ms();
    std::uint64_t last = start;
    for (;;) {
        std::uint32_t pending = 0;
        const bool asked = FT_GetQueueStatus(link->handle, &pending) == FT_OK;
        const std::uint64_t now = link_now_ms();
        if (asked && pending > 0) {
            std::uint32_t got = 0;
            std::uint32_t take = pending < FAST_IN_SIZE ? pending : FAST_IN_SIZE;
            if (FT_Read(link->handle, link->in, take, &got) == FT_OK && got > 0) {
                last = now;
            }
        } else if (asked && now - last >= quiet_ms) {
            return;
        }
        if (now - start >= DRAIN_MS) {
            link->desynchronised = true;
            return;
        }
        if (!asked || pending == 0) {
            Sleep(1);
        }
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

int link_wait_ready(fast_link* link, std::uint64_t bound_ms, std::uint32_t pause_ms,
                    std::uint8_t* status) {
    const std::uint64_t start = link_now_ms();
    for (;;) {
        link_status(link);
        std::uint8_t value = 0xFF;
        if (link_flush(link, &value) == FAST_OK) {
            *status = value;
            if ((value & CHIP_SR_WIP) == 0) {
                return FAST_OK;
            }
        }
        if (link_now_ms() - start >= bound_ms) {
            return FAST_ERR_TRANSFER;
        }
        if (pause_ms > 0) {
            Sleep(pause_ms);
        }
    }
}

int link_erase(fast_link* link, std::uint8_t instruction, std::uint32_t address,
               const fast_progress* progress, std::uint64_t done, std::uint64_t share,
               std::uint64_t total) {
    std::uint8_t status = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &status);
    if (result != FAST_OK) {
        return result;
    }
    // WREN, RDSR, the erase, RDSR: the first status shows whether the erase
    // can act (WEL, not busy), the second whether it started.
    std::uint8_t answer[2] = {};
    link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
    link_status(link);
    if (instruction == CHIP_INS_BE) {
        link_transaction(link, instruction, nullptr, 0, 0);
    } else {
        link_address(link, instruction, address, nullptr, 0, 0);
    }
    link_status(link);
    result = link_flush(link, answer);
    if (result != FAST_OK) {
        return result;
    }
    const bool enabled = (answer[0] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    const bool refused = (answer[1] & (CHIP_SR_WEL | CHIP_SR_WIP)) == CHIP_SR_WEL;
    if (!enabled || refused) {
        return FAST_ERR_TRANSFER;  // protected, or a chip that does not obey
    }
    const std::uint64_t typical_ms =
        (instruction == CHIP_INS_BE ? FAST_TYP_CHIP_NS : FAST_TYP_SECTOR_NS) / 1000000;
    const std::uint64_t start = link_now_ms();
    std::uint64_t reported = start;
    for (;;) {
        std::uint64_t now = link_now_ms();
        if (now - reported >= REPORT_MS) {
            std::uint64_t elapsed = now - start < typical_ms ? now - start : typical_ms;
            link_report(progress, "erase", done + share * elapsed / typical_ms * 99 / 100, total);
            reported = now;
        }
        Sleep(1);
        link_status(link);
        if (link_flush(link, &status) == FAST_OK && (status & CHIP_SR_WIP) == 0) {
            link_report(progress, "erase", done + share, total);
            return FAST_OK;
        }
        if (link_now_ms() - start >= FAST_ERASE_WAIT_MS) {
            return FAST_ERR_TRANSFER;
        }
    }
}

int link_read(fast_link* link, std::uint32_t address, std::uint32_t length, std::uint8_t* out,
              const std::uint8_t* expect, std::int64_t* first_difference, const char* phase,
              const fast_progress* progress, std::uint64_t done_before, std::uint64_t total) {
    // A chunk takes at most a quarter of a second at the clock set, well
    // inside the read time-out.
    std::uint32_t chunk = link->clock_hz / 8 / 4;
    chunk = chunk < 16 ? 16 : chunk;
    chunk = chunk > FAST_IN_SIZE - 64 ? FAST_IN_SIZE - 64 : chunk;
    std::uint32_t done = 0;
    const std::uint8_t dummy = 0;
    while (done < length) {
        const std::uint32_t n = length - done < chunk ? length - done : chunk;
        link_status(link);
        link_address(link, CHIP_INS_FAST_READ, (address + done) & (FAST_CHIP_SIZE - 1), &dummy, 1,
                     n);
        int result = link_flush(link, link->in);
        if (result != FAST_OK) {
            return result;
        }
        if ((link->in[0] & CHIP_SR_WIP) != 0) {
            // Busy: the chip ignored the read. Wait and read again.
            std::uint8_t status = 0;
            result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &status);
            if (result != FAST_OK) {
                return result;
            }
            continue;
        }
        const std::uint8_t* data = link->in + 1;
        if (out != nullptr) {
            std::memcpy(out + done, data, n);
        }
        if (expect != nullptr && std::memcmp(expect + done, data, n) != 0) {
            std::uint32_t at = 0;
            while (expect[done + at] == data[at]) {
                ++at;
            }
            *first_difference = static_cast<std::int64_t>(address + done + at);
            return FAST_ERR_MISMATCH;
        }
        done += n;
        link_report(progress, phase, done_before + done, total);
    }
    return FAST_OK;
}

// --- the public calls -------------------------------------------------------------

int fast_open(FT_HANDLE handle, std::uint32_t clock_hz, fast_link* link) {
    link->handle = handle;
    link->program_ns = 0;
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

int fast_read_status(fast_link* link, std::uint8_t* status) {
    link_status(link);
    return link_flush(link, status);
}

int fast_read_id(fast_link* link, std::uint8_t id[3]) {
    // RDID is ignored while the chip is busy (it would read 0xFF).
    std::uint8_t status = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &status);
    if (result != FAST_OK) {
        return result;
    }
    link_transaction(link, CHIP_INS_RDID, nullptr, 0, 3);
    return link_flush(link, id);
}

int fast_write_status(fast_link* link, std::uint8_t status) {
    std::uint8_t now = 0;
    int result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &now);
    if (result != FAST_OK) {
        return result;
    }
    link_transaction(link, CHIP_INS_WREN, nullptr, 0, 0);
    link_transaction(link, CHIP_INS_WRSR, &status, 1, 0);
    result = link_flush(link, nullptr);
    if (result == FAST_OK) {
        result = link_wait_ready(link, FAST_STATUS_WAIT_MS, 0, &now);
    }
    if (result != FAST_OK) {
        return result;
    }
    const std::uint8_t stored = CHIP_M25P16.sr_srwd | CHIP_M25P16.sr_bp_mask;  // what WRSR keeps
    return (now & stored) == (status & stored) ? FAST_OK : FAST_ERR_MISMATCH;
}

int fast_read(fast_link* link, std::uint32_t address, std::uint8_t* out, std::uint32_t length,
              const fast_progress* progress) {
    return link_read(link, address, length, out, nullptr, nullptr, "read", progress, 0, length);
}

int fast_chip_erase(fast_link* link, const fast_progress* progress) {
    return link_erase(link, CHIP_INS_BE, 0, progress, 0, FAST_CHIP_SIZE, FAST_CHIP_SIZE);
}
