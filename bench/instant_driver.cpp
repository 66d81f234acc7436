#include "instant_driver.h"

#include <cstring>

#include "flash/flash.h"
#include "mpsse/mpsse.h"
#include "mpsse/opcodes.h"
#include "mpsse/spi.h"

namespace {

// The one open interface; nobody looks inside.
int board;
FT_HANDLE const kHandle = &board;

constexpr std::uint32_t kCensus = 2;  // interfaces A and B of one FT2232H

// Layout of a flash transaction frame: select (3 bytes), then the clocking
// command of the instruction.
constexpr std::uint32_t kCommandAt = SPI_SELECT_SIZE;
// Bit command: opcode, bit length, instruction, then an optional read.
constexpr std::uint32_t kBitInstructionAt = kCommandAt + 2;
constexpr std::uint32_t kBitReadAt = kCommandAt + 3;
// Byte command: opcode, length L H, instruction, 3 address bytes, data.
constexpr std::uint32_t kByteLengthAt = kCommandAt + 1;
constexpr std::uint32_t kByteInstructionAt = kCommandAt + 3;
constexpr std::uint32_t kAddressAt = kCommandAt + 4;
constexpr std::uint32_t kDataAt = kCommandAt + 7;
constexpr std::uint32_t kHeaderBytes = 4;  // instruction and address inside the length

std::uint32_t length_at(const std::uint8_t* field) {
    return (std::uint32_t{field[0]} | std::uint32_t{field[1]} << 8) + 1;
}

void copy_text(char* into, const char* text, std::uint32_t size) {
    if (into != nullptr) {
        std::strncpy(into, text, size - 1);
        into[size - 1] = '\0';
    }
}

}  // namespace

FT_STATUS InstantDriver::create_device_info_list(std::uint32_t* count) {
    *count = kCensus;
    return FT_OK;
}

FT_STATUS InstantDriver::get_device_info_detail(std::uint32_t index, std::uint32_t* flags,
                                                std::uint32_t* type, std::uint32_t* id,
                                                std::uint32_t* location, char* serial,
                                                char* description, FT_HANDLE* handle) {
    if (index >= kCensus) {
        return FT_DEVICE_NOT_FOUND;
    }
    *flags = 2;
    *type = FT_DEVICE_2232H;
    *id = 0x04036010;
    *location = 0x11 + index;
    copy_text(serial, index == 0 ? "A" : "B", FT_SERIAL_SIZE);
    copy_text(description, index == 0 ? "Dual RS232-HS A" : "Dual RS232-HS B", FT_DESCRIPTION_SIZE);
    *handle = nullptr;
    return FT_OK;
}

FT_STATUS InstantDriver::open(int, FT_HANDLE* handle) {
    *handle = kHandle;
    return FT_OK;
}

FT_STATUS InstantDriver::close(FT_HANDLE) {
    return FT_OK;
}

FT_STATUS InstantDriver::reset_device(FT_HANDLE) {
    answer_head_ = answer_tail_ = 0;
    return FT_OK;
}

FT_STATUS InstantDriver::get_queue_status(FT_HANDLE, std::uint32_t* rx_bytes) {
    *rx_bytes = answer_tail_ - answer_head_;
    return FT_OK;
}

FT_STATUS InstantDriver::set_usb_parameters(FT_HANDLE, std::uint32_t, std::uint32_t) {
    return FT_OK;
}

FT_STATUS InstantDriver::set_chars(FT_HANDLE, std::uint8_t, std::uint8_t, std::uint8_t,
                                   std::uint8_t) {
    return FT_OK;
}

FT_STATUS InstantDriver::set_timeouts(FT_HANDLE, std::uint32_t, std::uint32_t) {
    return FT_OK;
}

FT_STATUS InstantDriver::set_latency_timer(FT_HANDLE, std::uint8_t) {
    return FT_OK;
}

FT_STATUS InstantDriver::set_bit_mode(FT_HANDLE, std::uint8_t, std::uint8_t) {
    return FT_OK;
}

FT_STATUS InstantDriver::write(FT_HANDLE, const std::uint8_t* data, std::uint32_t count,
                               std::uint32_t* written) {
    ++writes;
    answer_frame(data, count);
    *written = count;
    return FT_OK;
}

FT_STATUS InstantDriver::read(FT_HANDLE, std::uint8_t* data, std::uint32_t count,
                              std::uint32_t* got) {
    ++reads;
    std::uint32_t n = answer_tail_ - answer_head_;
    if (n > count) {
        n = count;
    }
    std::memcpy(data, answer_ + answer_head_, n);
    answer_head_ += n;
    if (answer_head_ == answer_tail_) {
        answer_head_ = answer_tail_ = 0;
    }
    *got = n;
    return FT_OK;
}

void InstantDriver::sleep_ms(std::uint32_t ms) {
    now_ms_ += ms;
}

std::uint64_t InstantDriver::clock_ms() {
    return ++now_ms_;
}

void InstantDriver::queue(std::uint8_t byte) {
    if (answer_tail_ < sizeof answer_) {
        answer_[answer_tail_++] = byte;
    }
}

// Queues what the board would answer to the bytes of one write.
void InstantDriver::answer_frame(const std::uint8_t* frame, std::uint32_t count) {
    if (count == 1 && (frame[0] == MPSSE_SYNC_FIRST || frame[0] == MPSSE_SYNC_SECOND)) {
        queue(MPSSE_BAD_COMMAND_REPLY);
        queue(frame[0]);
        return;
    }
    if (count <= kDataAt || frame[0] != MPSSE_SET_LOW_BYTE || frame[1] != SPI_PINS_SELECTED) {
        return;  // configuration, or a frame without an answer
    }
    if (frame[kCommandAt] == MPSSE_BITS_OUT_FALLING_MSB) {
        if (frame[kBitInstructionAt] == FLASH_INS_RDSR &&
            frame[kBitReadAt] == MPSSE_BITS_IN_FALLING_MSB) {
            queue(0);  // ready, write disabled
        }
        return;
    }
    if (frame[kCommandAt] != MPSSE_BYTES_OUT_FALLING_MSB) {
        return;
    }
    const std::uint32_t address = std::uint32_t{frame[kAddressAt]} << 16 |
                                  std::uint32_t{frame[kAddressAt + 1]} << 8 | frame[kAddressAt + 2];
    const std::uint32_t sent = length_at(frame + kByteLengthAt) - kHeaderBytes;
    switch (frame[kByteInstructionAt]) {
        case FLASH_INS_PP:
            page_address_ = address;
            page_length_ = sent <= sizeof page_ ? sent : 0;
            std::memcpy(page_, frame + kDataAt, page_length_);
            break;
        case FLASH_INS_READ:
            if (frame[kDataAt] == MPSSE_BYTES_IN_FALLING_MSB) {
                const std::uint32_t wanted = length_at(frame + kDataAt + 1);
                for (std::uint32_t i = 0; i < wanted; ++i) {
                    const std::uint32_t at = address + i - page_address_;
                    queue(at < page_length_ ? page_[at] : 0xFF);
                }
            }
            break;
        default:
            break;
    }
}
