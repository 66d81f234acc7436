#include "mpsse/mpsse.h"

#include "d2xx/d2xx.h"
#include "host/output.h"
#include "mpsse/spi.h"

namespace {

constexpr std::uint32_t DRAIN_SIZE = 256;
constexpr std::uint32_t ANSWER_SIZE = 32;

constexpr std::uint32_t USB_TRANSFER_SIZE = 65535;
constexpr std::uint32_t TIMEOUT_MS = 3000;
constexpr std::uint8_t LATENCY_MS = 1;

constexpr std::uint32_t SETTLE_MODE_MS = 50;
constexpr std::uint32_t SETTLE_PINS_MS = 20;
constexpr std::uint32_t SETTLE_LOOPBACK_MS = 30;

std::uint32_t smaller(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

bool timed_out(std::uint64_t start) {
    return d2xx_clock_ms() - start >= MPSSE_SYNC_TIMEOUT_MS;
}

// One set-up write: its status, or FT_OTHER_ERROR when it wrote fewer bytes.
FT_STATUS setup_write(FT_HANDLE handle, const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t written = 0;
    FT_STATUS status = FT_Write(handle, bytes, count, &written);
    return status != FT_OK || written == count ? status : FT_OTHER_ERROR;
}

}  // namespace

FT_STATUS mpsse_open_channel(FT_HANDLE handle, std::uint32_t transfer_size) {
    // Every call is made whatever came before; the OR is tested by the caller.
    FT_STATUS status = FT_ResetDevice(handle);
    std::uint32_t pending = 0;
    status |= FT_GetQueueStatus(handle, &pending);
    if (status == FT_OK && pending > 0) {
        std::uint8_t drain[DRAIN_SIZE];
        while (pending > 0) {
            std::uint32_t chunk = smaller(pending, DRAIN_SIZE);
            std::uint32_t got = 0;
            status |= FT_Read(handle, drain, chunk, &got);
            pending -= chunk;
        }
    }
    status |= FT_SetUSBParameters(handle, transfer_size, transfer_size);
    status |= FT_SetChars(handle, 0, 0, 0, 0);
    status |= FT_SetTimeouts(handle, TIMEOUT_MS, TIMEOUT_MS);
    status |= FT_SetLatencyTimer(handle, LATENCY_MS);
    status |= FT_SetBitMode(handle, 0, FT_BITMODE_RESET);
    status |= FT_SetBitMode(handle, 0, FT_BITMODE_MPSSE);
    return status;
}

FT_STATUS mpsse_init(FT_HANDLE handle) {
    FT_STATUS status = mpsse_open_channel(handle, USB_TRANSFER_SIZE);
    if (status != FT_OK) {
        output_print("fail on initialize FT2232H device!\n");
        return FT_OTHER_ERROR;
    }
    Sleep(SETTLE_MODE_MS);

    const std::uint8_t sync_opcodes[] = {MPSSE_SYNC_FIRST, MPSSE_SYNC_SECOND};
    for (std::uint8_t opcode : sync_opcodes) {
        FT_STATUS result = mpsse_sync(handle, opcode);
        if (result != FT_OK) {
            output_print("fail to synchronize MPSSE with command 0x%x \n", unsigned{opcode});
            return result;
        }
    }

    // The clock, pin and loop-back writes: a lost or short one would leave the
    // engine at its default clock or mid-command, so each is checked; all are
    // made and the result is tested once, as above.
    const std::uint8_t clocking[] = {MPSSE_DIVIDE_BY_5_OFF, MPSSE_ADAPTIVE_CLOCK_OFF,
                                     MPSSE_THREE_PHASE_OFF};
    status = setup_write(handle, clocking, sizeof clocking);
    const std::uint8_t pins_and_clock[] = {MPSSE_SET_LOW_BYTE,         SPI_PINS_IDLE,
                                           SPI_PINS_DIRECTION,         MPSSE_SET_CLOCK_DIVISOR,
                                           MPSSE_CLOCK_DIVISOR & 0xFF, MPSSE_CLOCK_DIVISOR >> 8};
    status |= setup_write(handle, pins_and_clock, sizeof pins_and_clock);
    Sleep(SETTLE_PINS_MS);
    const std::uint8_t loopback[] = {MPSSE_LOOPBACK_OFF};
    status |= setup_write(handle, loopback, sizeof loopback);
    if (status != FT_OK) {
        output_print("fail on initialize FT2232H device!\n");
        return FT_OTHER_ERROR;
    }
    Sleep(SETTLE_LOOPBACK_MS);
    return FT_OK;
}

FT_STATUS mpsse_sync(FT_HANDLE handle, std::uint32_t opcode) {
    const std::uint8_t command = static_cast<std::uint8_t>(opcode & 0xFF);
    std::uint32_t written = 0;
    FT_Write(handle, &command, 1, &written);
    const std::uint64_t start = d2xx_clock_ms();

    std::uint32_t pending = 0;
    for (;;) {
        FT_STATUS status = FT_GetQueueStatus(handle, &pending);
        if (status != FT_OK) {
            return status;
        }
        if (pending > 0) {
            break;
        }
        if (timed_out(start)) {
            return FT_OTHER_ERROR;
        }
    }

    // Only the bytes of one read are searched: a pair split across two reads
    // does not count.
    std::uint8_t answer[ANSWER_SIZE];
    std::uint32_t consumed = 0;
    while (consumed < pending) {
        std::uint32_t got = 0;
        FT_STATUS status = FT_Read(handle, answer, smaller(pending - consumed, ANSWER_SIZE), &got);
        if (status != FT_OK) {
            return status;
        }
        for (std::uint32_t i = 0; i + 1 < got; ++i) {
            if (answer[i] == MPSSE_BAD_COMMAND_REPLY && answer[i + 1] == command) {
                return FT_OK;
            }
        }
        if (got == 0 && timed_out(start)) {
            return FT_OTHER_ERROR;
        }
        consumed += got;
    }
    return FT_OTHER_ERROR;
}

bool mpsse_drain_until_quiet(FT_HANDLE handle, const mpsse_drain_plan* plan) {
    const std::uint64_t start = d2xx_clock_ms();
    std::uint64_t quiet_since = start;
    for (;;) {
        const std::uint64_t now = d2xx_clock_ms();
        std::uint32_t pending = 0;
        const bool asked = FT_GetQueueStatus(handle, &pending) == FT_OK;
        if (!asked && !plan->patient) {
            return false;
        }
        if (asked && pending > 0) {
            std::uint32_t got = 0;
            if (FT_Read(handle, plan->sink, smaller(pending, plan->sink_size), &got) == FT_OK) {
                quiet_since = d2xx_clock_ms();
            } else if (!plan->patient) {
                return false;
            }
        } else if (asked && now - quiet_since >= plan->quiet_ms) {
            return true;
        }
        if (now - start >= plan->limit_ms) {
            return false;
        }
        if (plan->patient && (!asked || pending == 0)) {
            Sleep(1);
        }
    }
}

void mpsse_drain(FT_HANDLE handle) {
    std::uint8_t sink[DRAIN_SIZE];
    const mpsse_drain_plan plan = {MPSSE_DRAIN_QUIET_MS, MPSSE_DRAIN_LIMIT_MS, false, sink,
                                   DRAIN_SIZE};
    mpsse_drain_until_quiet(handle, &plan);
}

FT_STATUS mpsse_release(FT_HANDLE handle) {
    const std::uint8_t pins[] = {MPSSE_SET_LOW_BYTE, SPI_PINS_RELEASED, SPI_PINS_DIRECTION};
    std::uint32_t written = 0;
    return FT_Write(handle, pins, sizeof pins, &written);
}
