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

// Answer bytes in a full-speed packet of 512, behind its two status bytes.
constexpr std::uint64_t PACKET_ANSWERS = 510;

constexpr std::uint32_t SETTLE_MODE_MS = 50;
constexpr std::uint32_t SETTLE_PINS_MS = 20;
constexpr std::uint32_t SETTLE_LOOPBACK_MS = 30;

std::uint32_t smaller(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

bool timed_out(std::uint64_t start) {
    return d2xx_clock_ms() - start >= MPSSE_SYNC_TIMEOUT_MS;
}

bool holds_echo(const std::uint8_t* bytes, std::uint32_t count, std::uint8_t opcode) {
    for (std::uint32_t i = 0; i + 1 < count; ++i) {
        if (bytes[i] == MPSSE_BAD_COMMAND_REPLY && bytes[i + 1] == opcode) {
            return true;
        }
    }
    return false;
}

// One set-up write: its status; *whole false when it wrote fewer bytes.
FT_STATUS setup_write(FT_HANDLE handle, const std::uint8_t* bytes, std::uint32_t count,
                      bool* whole) {
    std::uint32_t written = 0;
    FT_STATUS status = FT_Write(handle, bytes, count, &written);
    *whole = *whole && (status != FT_OK || written == count);
    return status;
}

// The clock, pin and loop-back commands; the OR of the writes' results and
// *whole as setup_write leaves it.
FT_STATUS setup_commands(FT_HANDLE handle, const mpsse_setup_plan* plan, bool* whole) {
    const auto low = static_cast<std::uint8_t>(plan->clock_divisor & 0xFF);
    const auto high = static_cast<std::uint8_t>(plan->clock_divisor >> 8);
    if (!plan->paced) {
        const std::uint8_t setup[] = {MPSSE_DIVIDE_BY_5_OFF,
                                      MPSSE_ADAPTIVE_CLOCK_OFF,
                                      MPSSE_THREE_PHASE_OFF,
                                      MPSSE_LOOPBACK_OFF,
                                      MPSSE_SET_LOW_BYTE,
                                      SPI_PINS_IDLE,
                                      SPI_PINS_DIRECTION,
                                      MPSSE_SET_CLOCK_DIVISOR,
                                      low,
                                      high};
        return setup_write(handle, setup, sizeof setup, whole);
    }
    // A lost or short write would leave the engine at its default clock or
    // mid-command, so each is checked; all are made and the result is tested
    // once, as the channel's calls are.
    const std::uint8_t clocking[] = {MPSSE_DIVIDE_BY_5_OFF, MPSSE_ADAPTIVE_CLOCK_OFF,
                                     MPSSE_THREE_PHASE_OFF};
    FT_STATUS status = setup_write(handle, clocking, sizeof clocking, whole);
    const std::uint8_t pins_and_clock[] = {
        MPSSE_SET_LOW_BYTE, SPI_PINS_IDLE, SPI_PINS_DIRECTION, MPSSE_SET_CLOCK_DIVISOR, low, high};
    status |= setup_write(handle, pins_and_clock, sizeof pins_and_clock, whole);
    Sleep(SETTLE_PINS_MS);
    const std::uint8_t loopback[] = {MPSSE_LOOPBACK_OFF};
    status |= setup_write(handle, loopback, sizeof loopback, whole);
    return status;
}

}  // namespace

std::uint16_t mpsse_clock_divisor(std::uint32_t clock_hz) {
    const std::uint32_t divisor = (MPSSE_BASE_CLOCK_HZ / 2 + clock_hz - 1) / clock_hz - 1;
    return static_cast<std::uint16_t>(divisor > 0xFFFF ? 0xFFFF : divisor);
}

std::uint32_t mpsse_clock_hz(std::uint16_t divisor) {
    return MPSSE_BASE_CLOCK_HZ / ((1 + std::uint32_t{divisor}) * 2);
}

std::uint64_t mpsse_drain_quiet_ms(std::uint32_t clock_hz) {
    return MPSSE_DRAIN_QUIET_MS + 2 * PACKET_ANSWERS * 8 * 1000 / clock_hz;
}

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

mpsse_echo mpsse_sync_echo(FT_HANDLE handle, std::uint8_t opcode, const mpsse_sync_plan* plan,
                           FT_STATUS* status) {
    std::uint32_t written = 0;
    *status = FT_Write(handle, &opcode, 1, &written);
    if (plan->patient && (*status != FT_OK || written != 1)) {
        return MPSSE_ECHO_WRITE_FAILED;
    }
    const std::uint64_t start = d2xx_clock_ms();
    std::uint32_t kept = 0;  // bytes at the buffer's start still searched
    for (;;) {
        std::uint32_t pending = 0;
        *status = FT_GetQueueStatus(handle, &pending);
        if (*status != FT_OK) {
            return MPSSE_ECHO_READ_FAILED;
        }
        if (pending > 0) {
            // Patient: one read per look. Impatient: what is queued now, in
            // as many reads as it takes, and nothing after it.
            std::uint32_t consumed = 0;
            do {
                std::uint32_t got = 0;
                *status = FT_Read(handle, plan->buffer + kept,
                                  smaller(pending - consumed, plan->buffer_size - kept), &got);
                if (*status != FT_OK) {
                    return MPSSE_ECHO_READ_FAILED;
                }
                kept += got;
                if (holds_echo(plan->buffer, kept, opcode)) {
                    return MPSSE_ECHOED;
                }
                if (plan->patient && kept > 0) {
                    plan->buffer[0] = plan->buffer[kept - 1];  // a pair split across two reads
                    kept = 1;
                } else {
                    kept = 0;
                }
                if (!plan->patient && got == 0 && timed_out(start)) {
                    break;
                }
                consumed += got;
            } while (!plan->patient && consumed < pending);
            if (!plan->patient) {
                *status = FT_OTHER_ERROR;
                return MPSSE_NO_ECHO;
            }
        }
        if (timed_out(start)) {
            *status = FT_OTHER_ERROR;
            return MPSSE_NO_ECHO;
        }
        if (plan->patient && pending == 0) {
            Sleep(1);
        }
    }
}

FT_STATUS mpsse_sync(FT_HANDLE handle, std::uint32_t opcode) {
    std::uint8_t answer[ANSWER_SIZE];
    const mpsse_sync_plan plan = {false, answer, ANSWER_SIZE};
    FT_STATUS status = FT_OK;
    mpsse_sync_echo(handle, static_cast<std::uint8_t>(opcode & 0xFF), &plan, &status);
    return status;
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

void mpsse_set_up(FT_HANDLE handle, const mpsse_setup_plan* plan, mpsse_setup_result* result) {
    *result = mpsse_setup_result{MPSSE_SETUP_DONE, FT_OK, MPSSE_ECHOED, 0, true};
    result->status = mpsse_open_channel(handle, plan->transfer_size);
    if (result->status != FT_OK) {
        result->step = MPSSE_SETUP_OPEN_FAILED;
        return;
    }
    Sleep(SETTLE_MODE_MS);

    const std::uint8_t sync_opcodes[] = {MPSSE_SYNC_FIRST, MPSSE_SYNC_SECOND};
    for (std::uint8_t opcode : sync_opcodes) {
        result->echo = mpsse_sync_echo(handle, opcode, plan->sync, &result->status);
        if (result->echo != MPSSE_ECHOED) {
            result->step = MPSSE_SETUP_NO_SYNC;
            result->opcode = opcode;
            return;
        }
    }
    if (plan->drain != nullptr) {
        result->drained = mpsse_drain_until_quiet(handle, plan->drain);  // what followed the echo
    }

    bool whole = true;
    result->status = setup_commands(handle, plan, &whole);
    if (result->status != FT_OK || !whole) {
        result->step = MPSSE_SETUP_WRITE_FAILED;
        return;
    }
    if (plan->paced) {
        Sleep(SETTLE_LOOPBACK_MS);
    }
}

FT_STATUS mpsse_init(FT_HANDLE handle) {
    std::uint8_t answer[ANSWER_SIZE];
    const mpsse_sync_plan sync = {false, answer, ANSWER_SIZE};
    const mpsse_setup_plan plan = {USB_TRANSFER_SIZE, MPSSE_CLOCK_DIVISOR, &sync, nullptr, true};
    mpsse_setup_result result{};
    mpsse_set_up(handle, &plan, &result);
    if (result.step == MPSSE_SETUP_NO_SYNC) {
        output_print("fail to synchronize MPSSE with command 0x%x \n", unsigned{result.opcode});
        return result.status;
    }
    if (result.step != MPSSE_SETUP_DONE) {
        output_print("fail on initialize FT2232H device!\n");
        return FT_OTHER_ERROR;
    }
    return FT_OK;
}

FT_STATUS mpsse_release(FT_HANDLE handle) {
    const std::uint8_t pins[] = {MPSSE_SET_LOW_BYTE, SPI_PINS_RELEASED, SPI_PINS_DIRECTION};
    std::uint32_t written = 0;
    return FT_Write(handle, pins, sizeof pins, &written);
}
