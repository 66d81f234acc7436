// The channel and its command queue: set-up, transactions, one USB write per
// batch with 0x87 behind it, reads that never shift, and the retries.
#include "link/link.h"

#include <cstring>
#include <mutex>

#include "d2xx/census.h"
#include "d2xx/d2xx.h"
#include "mpsse/mpsse.h"
#include "mpsse/opcodes.h"
#include "mpsse/spi.h"

namespace {

// USB transfers of 64 KiB: a whole read chunk comes back in one.
constexpr std::uint32_t USB_TRANSFER_SIZE = 65536;
constexpr std::uint32_t SETUP_TRIES = 1 + LINK_UNIT_RETRIES;

// One census at a time: several boards' threads may look for theirs.
std::mutex census_lock;

void put(link_queue* link, std::uint8_t byte) {
    link->out[link->out_used++] = byte;
}

void put_length(link_queue* link, std::uint32_t count) {
    link->out_used += mpsse_length_field(link->out + link->out_used, count);
}

void put_select(link_queue* link) {
    put(link, MPSSE_SET_LOW_BYTE);
    put(link, SPI_PINS_SELECTED);
    put(link, SPI_PINS_DIRECTION);
}

// S# high, then three SK cycles with the chip deselected: S# stays high for
// tSHSL (100 ns) even at 30 MHz, whatever the engine's own pace.
void put_deselect(link_queue* link) {
    put(link, MPSSE_SET_LOW_BYTE);
    put(link, SPI_PINS_IDLE);
    put(link, SPI_PINS_DIRECTION);
    put(link, MPSSE_CLOCK_BITS);
    put(link, static_cast<std::uint8_t>(LINK_DESELECT_CLOCKS - 1));
}

void put_in(link_queue* link, std::uint32_t count) {
    put(link, MPSSE_BYTES_IN_RISING_MSB);
    put_length(link, count);
    link->answers += count;
    link->spi_bytes += count;
}

// Whole bytes of clocks covering at least `ns`.
void put_clocks(link_queue* link, std::uint64_t ns) {
    std::uint64_t bytes = (link_ns_clocks(ns, link->clock_hz) + 7) / 8;
    while (bytes > 0) {
        std::uint32_t run =
            bytes < MPSSE_MAX_BYTES ? static_cast<std::uint32_t>(bytes) : MPSSE_MAX_BYTES;
        put(link, MPSSE_CLOCK_BYTES);
        put_length(link, run);
        bytes -= run;
    }
}

// Select, then the instruction and the `count` bytes behind it on one byte
// command (the caller puts `count` bytes right after).
void put_out(link_queue* link, std::uint8_t instruction, std::uint32_t count) {
    put_select(link);
    put(link, MPSSE_BYTES_OUT_FALLING_MSB);
    put_length(link, count + 1);
    put(link, instruction);
    link->spi_bytes += count + 1;
}

void put_bytes(link_queue* link, const std::uint8_t* bytes, std::uint32_t count) {
    if (count > 0) {
        std::memcpy(link->out + link->out_used, bytes, count);
        link->out_used += count;
    }
}

// After a failed transfer: take whatever answers are still on their way,
// until none has come for a while, so that no later read gets them. A link
// whose queue could not be seen empty within the drain's bound carries no
// more transactions (`desynchronised`).
mpsse_drain_plan drain_plan(link_queue* link) {
    return {mpsse_drain_quiet_ms(link->clock_hz), MPSSE_DRAIN_LIMIT_MS, true, link->in,
            LINK_IN_SIZE};
}

void drain(link_queue* link) {
    const mpsse_drain_plan plan = drain_plan(link);
    if (!mpsse_drain_until_quiet(link->handle, &plan)) {
        link->desynchronised = true;
    }
}

// True when the census no longer lists the board: a failed call on a board
// that is still there is a glitch, worth a retry; on one that is gone it is
// the end. D2XX says FT_DEVICE_NOT_FOUND itself; an I/O error (all libftdi
// gives) needs the census.
bool board_gone(link_queue* link, FT_STATUS status) {
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
int transfer_failed(link_queue* link, FT_STATUS status, const char* cause) {
    link->fault = cause;
    if (board_gone(link, status)) {
        link->gone = true;
    } else {
        drain(link);
    }
    return LINK_ERR_TRANSFER;
}

// A synchronisation that failed on a driver call counts as a failed transfer.
void sync_failed(link_queue* link, mpsse_echo echo, FT_STATUS status) {
    if (echo == MPSSE_ECHO_WRITE_FAILED) {
        transfer_failed(link, status, "write failed");
    } else if (echo == MPSSE_ECHO_READ_FAILED) {
        transfer_failed(link, status, "read failed");
    }
}

// Sleeps between looks and finds an echo split across two reads: the engine
// is then in step, whatever came before.
mpsse_sync_plan sync_plan(link_queue* link) {
    return {true, link->in, LINK_IN_SIZE};
}

// Drains and proves the engine in step; a half-received command that
// swallowed the echo is dropped by a reset of the channel's buffers.
bool resynchronise(link_queue* link) {
    const mpsse_sync_plan plan = sync_plan(link);
    for (int attempt = 0; attempt < 2 && !link->gone; ++attempt) {
        drain(link);
        if (!link->gone) {
            FT_STATUS status = FT_OK;
            const mpsse_echo echo =
                mpsse_sync_echo(link->handle, MPSSE_SYNC_SECOND, &plan, &status);
            if (echo == MPSSE_ECHOED) {
                link->desynchronised = false;
                return true;
            }
            sync_failed(link, echo, status);
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
void note_retry(link_queue* link) {
    const char* cause = link->fault != nullptr ? link->fault : "set-up failed";
    if (link->retries < LINK_RETRY_LOG) {
        link->retry_log[link->retries] = {link->phase, link->address, cause};
    }
    ++link->retries;
    const link_progress* watcher = link->watcher;
    if (watcher != nullptr && watcher->retry != nullptr) {
        watcher->retry(watcher->context, link->phase, link->address, cause);
    }
}

// One go at the channel's set-up; false (link->gone when it is) on failure.
// The set-up's commands go in one write with no pause: the first
// transaction behind them proves the engine took them.
bool set_up(link_queue* link, std::uint32_t clock_hz) {
    const mpsse_sync_plan sync = sync_plan(link);
    const mpsse_drain_plan after_echo = drain_plan(link);
    const mpsse_setup_plan plan = {USB_TRANSFER_SIZE, mpsse_clock_divisor(clock_hz), &sync,
                                   &after_echo, false};
    mpsse_setup_result result{};
    mpsse_set_up(link->handle, &plan, &result);
    if (!result.drained) {
        link->desynchronised = true;
    }
    switch (result.step) {
        case MPSSE_SETUP_OPEN_FAILED:
            transfer_failed(link,
                            result.status == FT_DEVICE_NOT_FOUND ? result.status : FT_IO_ERROR,
                            "set-up failed");
            return false;
        case MPSSE_SETUP_NO_SYNC:
            sync_failed(link, result.echo, result.status);
            link->fault = link->fault != nullptr ? link->fault : "no echo";
            return false;
        case MPSSE_SETUP_WRITE_FAILED:
            transfer_failed(link, result.status,
                            result.status == FT_OK ? "write short" : "write failed");
            return false;
        case MPSSE_SETUP_DONE:
            break;
    }
    return !link->desynchronised;
}

}  // namespace

std::uint64_t link_now_ms() {
    return d2xx_clock_ms();
}

void link_sleep_ms(std::uint32_t ms) {
    Sleep(ms);
}

std::uint64_t link_clocks_ns(std::uint64_t clocks, std::uint32_t clock_hz) {
    return clocks * LINK_NS_PER_S / clock_hz;
}

std::uint64_t link_ns_clocks(std::uint64_t ns, std::uint32_t clock_hz) {
    return (ns * clock_hz + LINK_NS_PER_S - 1) / LINK_NS_PER_S;
}

bool link_stop(const link_progress* progress) {
    return progress != nullptr && progress->stop != nullptr && progress->stop(progress->context);
}

void link_report(const link_progress* progress, const char* phase, std::uint64_t done,
                 std::uint64_t total) {
    if (progress != nullptr && progress->report != nullptr) {
        progress->report(progress->context, phase, done, total);
    }
}

std::uint32_t link_room(const link_queue* link) {
    return LINK_OUT_SIZE - link->out_used;
}

void link_transaction(link_queue* link, std::uint8_t instruction, const std::uint8_t* bytes,
                      std::uint32_t count, std::uint32_t answer) {
    put_out(link, instruction, count);
    put_bytes(link, bytes, count);
    if (answer > 0) {
        put_in(link, answer);
    }
    put_deselect(link);
}

void link_address(link_queue* link, std::uint8_t instruction, std::uint32_t address,
                  const std::uint8_t* bytes, std::uint32_t count, std::uint32_t answer) {
    put_out(link, instruction, count + 3);
    put(link, static_cast<std::uint8_t>(address >> 16));
    put(link, static_cast<std::uint8_t>(address >> 8));
    put(link, static_cast<std::uint8_t>(address));
    put_bytes(link, bytes, count);
    if (answer > 0) {
        put_in(link, answer);
    }
    put_deselect(link);
}

void link_sample_train(link_queue* link, std::uint8_t instruction, std::uint32_t samples,
                       std::uint64_t gap_ns) {
    put_out(link, instruction, 0);
    for (std::uint32_t i = 0; i < samples; ++i) {
        put_in(link, 1);
        put_clocks(link, gap_ns);  // the chip keeps sending its live value
    }
    put_deselect(link);
}

void link_pause(link_queue* link, std::uint64_t ns) {
    put_clocks(link, ns);
}

int link_flush(link_queue* link, std::uint8_t* answers) {
    // Send-immediate ends every write, answers due or not: a write cut
    // short by one byte then loses only that, never half a command.
    const std::uint32_t want = link->answers;
    put(link, MPSSE_SEND_IMMEDIATE);
    const std::uint32_t count = link->out_used;
    link->out_used = 0;
    link->answers = 0;
    if (link->desynchronised) {
        return LINK_ERR_TRANSFER;
    }
    std::uint32_t written = 0;
    const FT_STATUS sent = FT_Write(link->handle, link->out, count, &written);
    if (!sent_whole(sent, written, count)) {
        return transfer_failed(link, sent, sent == FT_OK ? "write short" : "write failed");
    }
    if (want == 0) {
        return LINK_OK;
    }
    std::uint32_t got = 0;
    const FT_STATUS read = FT_Read(link->handle, answers, want, &got);
    if (!sent_whole(read, got, want)) {
        return transfer_failed(link, read,
                               read != FT_OK ? "read failed"
                               : got == 0    ? "no answer"
                                             : "read short");
    }
    return LINK_OK;
}

void link_unit(link_queue* link, const char* phase, std::uint32_t address) {
    link->phase = phase;
    link->address = address;
    link->fault = nullptr;
}

bool link_recover(link_queue* link, std::uint32_t* attempts) {
    if (link->fault == nullptr || link->gone || *attempts >= LINK_UNIT_RETRIES ||
        link->retries >= LINK_RUN_RETRIES) {
        return false;
    }
    ++*attempts;
    note_retry(link);
    link->fault = nullptr;
    link->out_used = 0;
    link->answers = 0;
    return resynchronise(link);
}

int link_open(FT_HANDLE handle, std::uint32_t clock_hz, link_queue* link) {
    link->handle = handle;
    link->desynchronised = false;
    link->out_used = 0;
    link->answers = 0;
    link->spi_bytes = 0;
    link->gone = false;
    link->retries = 0;
    link_unit(link, "set-up", 0);
    link->clock_hz = mpsse_clock_hz(mpsse_clock_divisor(clock_hz));
    // A set-up that failed on a board still there is done again from the
    // reset: a lost packet there is as likely as anywhere.
    for (std::uint32_t attempt = 0; attempt < SETUP_TRIES; ++attempt) {
        if (attempt > 0) {
            note_retry(link);
        }
        link->fault = nullptr;
        if (set_up(link, clock_hz)) {
            return LINK_OK;
        }
        if (link->gone) {
            break;
        }
    }
    return LINK_ERR_TRANSFER;
}

void link_close(link_queue* link) {
    if (!link->gone) {
        mpsse_release(link->handle);
    }
}
