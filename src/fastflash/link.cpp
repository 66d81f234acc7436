// The channel and its command queue: set-up, transactions, one USB write per
// batch with 0x87 behind it, reads that never shift. The operations built on
// the queue are in operations.cpp.
#include <cstring>
#include <mutex>

#include "fastflash/link.h"
#include "d2xx/census.h"
#include "d2xx/d2xx.h"
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
constexpr std::uint32_t SETUP_TRIES = 1 + FAST_UNIT_RETRIES;

// One census at a time: several boards' threads may look for theirs.
std::mutex census_lock;

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

// The drain's quiet time: a packet's worth of answers at the clock set
// (816 ms at 10 kHz), well inside its bound.
std::uint64_t quiet_ms(const fast_link* link) {
    return 20 + std::uint64_t{2 * 510 * 8 * 1000} / link->clock_hz;
}

// After a failed transfer: take whatever answers are still on their way,
// until none has come for a while, so that no later read gets them. A link
// whose queue could not be seen empty within the drain's bound carries no
// more transactions (`desynchronised`).
void drain(fast_link* link) {
    const mpsse_drain_plan plan = {quiet_ms(link), DRAIN_MS, true, link->in, FAST_IN_SIZE};
    if (!mpsse_drain_until_quiet(link->handle, &plan)) {
        link->desynchronised = true;
    }
}

// True when the census no longer lists the board: a failed call on a board
// that is still there is a glitch, worth a retry; on one that is gone it is
// the end. D2XX says FT_DEVICE_NOT_FOUND itself; an I/O error (all libftdi
// gives) needs the census.
bool board_gone(fast_link* link, FT_STATUS status) {
    if (status == FT_DEVICE_NOT_FOUND) {
        return true;
    }
    if (status != FT_IO_ERROR || link->location == 0) {
        return false;
    }
    std::lock_guard<std::mutex> hold(census_lock);
    struct look {
        std::uint32_t location;
        bool seen;
    } wanted = {link->location, false};
    const bool taken = d2xx_census(
        [](const d2xx_entry& entry, void* context) {
            auto* want = static_cast<look*>(context);
            want->seen = entry.location == want->location;
            return !want->seen;
        },
        &wanted);
    // A census that fails tells nothing: the board counts as still there.
    return taken && !wanted.seen;
}

// A transfer failed: remember why, tell a gone board from a glitch, and
// drain what a glitch left behind.
int transfer_failed(fast_link* link, FT_STATUS status, const char* cause) {
    link->fault = cause;
    if (board_gone(link, status)) {
        link->gone = true;
    } else {
        drain(link);
    }
    return FAST_ERR_TRANSFER;
}

// Sends an invalid opcode and waits for its echo (0xFA, opcode), sleeping
// between looks: the engine is then in step, whatever came before.
bool sync_echo(fast_link* link, std::uint8_t opcode) {
    std::uint32_t written = 0;
    FT_STATUS status = FT_Write(link->handle, &opcode, 1, &written);
    if (status != FT_OK || written != 1) {
        transfer_failed(link, status, "write failed");
        return false;
    }
    const std::uint64_t start = d2xx_clock_ms();
    std::uint32_t kept = 0;  // bytes of link->in still searched
    for (;;) {
        std::uint32_t pending = 0;
        status = FT_GetQueueStatus(link->handle, &pending);
        if (status != FT_OK) {
            transfer_failed(link, status, "read failed");
            return false;
        }
        if (pending > 0) {
            std::uint32_t want = FAST_IN_SIZE - kept < pending ? FAST_IN_SIZE - kept : pending;
            std::uint32_t got = 0;
            status = FT_Read(link->handle, link->in + kept, want, &got);
            if (status != FT_OK) {
                transfer_failed(link, status, "read failed");
                return false;
            }
            kept += got;
            for (std::uint32_t i = 0; i + 1 < kept; ++i) {
                if (link->in[i] == MPSSE_BAD_COMMAND_REPLY && link->in[i + 1] == opcode) {
                    return true;
                }
            }
            if (kept > 0) {
                link->in[0] = link->in[kept - 1];  // a pair split across two reads
                kept = 1;
            }
        }
        if (d2xx_clock_ms() - start >= MPSSE_SYNC_TIMEOUT_MS) {
            return false;
        }
        if (pending == 0) {
            Sleep(1);
        }
    }
}

// Drains and proves the engine in step; a half-received command that
// swallowed the echo is dropped by a reset of the channel's buffers.
bool resynchronise(fast_link* link) {
    for (int attempt = 0; attempt < 2 && !link->gone; ++attempt) {
        drain(link);
        if (!link->gone && sync_echo(link, MPSSE_SYNC_SECOND)) {
            link->desynchronised = false;
            return true;
        }
        if (!link->gone) {
            FT_STATUS status = FT_ResetDevice(link->handle);
            if (status != FT_OK) {
                transfer_failed(link, status, "reset failed");
            }
        }
    }
    return false;
}

bool sent_whole(FT_STATUS status, std::uint32_t written, std::uint32_t count) {
    return status == FT_OK && written == count;
}

// Counts and tells a retry of the unit in progress.
void note_retry(fast_link* link) {
    const char* cause = link->fault != nullptr ? link->fault : "set-up failed";
    if (link->retries < FAST_RETRY_LOG) {
        link->retry_log[link->retries] = {link->phase, link->address, cause};
    }
    ++link->retries;
    const fast_progress* watcher = link->watcher;
    if (watcher != nullptr && watcher->retry != nullptr) {
        watcher->retry(watcher->context, link->phase, link->address, cause);
    }
}

// The divisor of the FT2232H's fastest SK at or below clock_hz.
std::uint32_t clock_divisor(std::uint32_t clock_hz) {
    const std::uint32_t divisor = (BASE_HZ / 2 + clock_hz - 1) / clock_hz - 1;
    return divisor > 0xFFFF ? 0xFFFF : divisor;
}

// One go at the channel's set-up; false (link->gone when it is) on failure.
bool set_up(fast_link* link, std::uint32_t clock_hz) {
    FT_HANDLE handle = link->handle;
    const std::uint32_t divisor = clock_divisor(clock_hz);
    FT_STATUS status = mpsse_open_channel(handle, USB_TRANSFER_SIZE);
    if (status != FT_OK) {
        transfer_failed(link, status == FT_DEVICE_NOT_FOUND ? status : FT_IO_ERROR,
                        "set-up failed");
        return false;
    }
    Sleep(SETTLE_MODE_MS);
    if (!sync_echo(link, MPSSE_SYNC_FIRST) || !sync_echo(link, MPSSE_SYNC_SECOND)) {
        link->fault = link->fault != nullptr ? link->fault : "no echo";
        return false;
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
        transfer_failed(link, sent, sent == FT_OK ? "write short" : "write failed");
        return false;
    }
    return !link->desynchronised;
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
        return transfer_failed(link, sent, sent == FT_OK ? "write short" : "write failed");
    }
    if (want == 0) {
        return FAST_OK;
    }
    std::uint32_t got = 0;
    const FT_STATUS read = FT_Read(link->handle, answers, want, &got);
    if (!sent_whole(read, got, want)) {
        return transfer_failed(link, read,
                               read != FT_OK ? "read failed"
                               : got == 0    ? "no answer"
                                             : "read short");
    }
    return FAST_OK;
}

void link_unit(fast_link* link, const char* phase, std::uint32_t address) {
    link->phase = phase;
    link->address = address;
    link->fault = nullptr;
}

bool link_recover(fast_link* link, std::uint32_t* attempts) {
    if (link->fault == nullptr || link->gone || *attempts >= FAST_UNIT_RETRIES ||
        link->retries >= FAST_RUN_RETRIES) {
        return false;
    }
    ++*attempts;
    note_retry(link);
    link->fault = nullptr;
    link->out_used = 0;
    link->answers = 0;
    return resynchronise(link);
}

bool link_retry(fast_link* link, std::uint32_t* attempts) {
    if (!link_recover(link, attempts)) {
        return false;
    }
    // From a known state: the chip idle, whatever the lost transfer started
    // (a bulk erase among them, hence the erase's bound).
    std::uint8_t status = 0;
    return link_wait_ready(link, chip_erase_bound_ms(*link->part), 1, &status) == FAST_OK;
}

// --- the public calls -------------------------------------------------------------

std::uint32_t fast_clock_step(std::uint32_t clock_hz) {
    return BASE_HZ / ((1 + clock_divisor(clock_hz)) * 2);
}

int fast_open(FT_HANDLE handle, std::uint32_t clock_hz, fast_link* link) {
    link->handle = handle;
    link->program_ns = 0;
    link->part = &CHIP_M25P16;
    link->desynchronised = false;
    link->out_used = 0;
    link->answers = 0;
    link->spi_bytes = 0;
    link->gone = false;
    link->retries = 0;
    link_unit(link, "set-up", 0);
    if (clock_hz == 0) {
        clock_hz = FAST_DEFAULT_CLOCK_HZ;
    }
    link->clock_hz = fast_clock_step(clock_hz);
    // A set-up that failed on a board still there is done again from the
    // reset: a lost packet there is as likely as anywhere.
    for (std::uint32_t attempt = 0; attempt < SETUP_TRIES; ++attempt) {
        if (attempt > 0) {
            note_retry(link);
        }
        link->fault = nullptr;
        if (set_up(link, clock_hz)) {
            return FAST_OK;
        }
        if (link->gone) {
            break;
        }
    }
    return FAST_ERR_TRANSFER;
}

void fast_close(fast_link* link) {
    if (!link->gone) {
        mpsse_release(link->handle);
    }
}
