// The M25P16 model: a byte-level decoder fed by a bit shifter. Write-type
// instructions only record their bytes while S# is low and act on its rising
// edge, so a transfer cut short or ending off a byte boundary changes nothing.
#include "sim/m25p16.h"

#include <cstring>

namespace sim {
namespace {

// Instruction codes.
constexpr std::uint8_t kOpNone = 0x00;  // no instruction decoded in this transaction
constexpr std::uint8_t kOpWriteStatus = 0x01;
constexpr std::uint8_t kOpPageProgram = 0x02;
constexpr std::uint8_t kOpRead = 0x03;
constexpr std::uint8_t kOpWriteDisable = 0x04;
constexpr std::uint8_t kOpReadStatus = 0x05;
constexpr std::uint8_t kOpWriteEnable = 0x06;
constexpr std::uint8_t kOpFastRead = 0x0B;
constexpr std::uint8_t kOpReadId = 0x9F;
constexpr std::uint8_t kOpSignature = 0xAB;  // RES
constexpr std::uint8_t kOpDeepPowerDown = 0xB9;
constexpr std::uint8_t kOpBulkErase = 0xC7;
constexpr std::uint8_t kOpSectorErase = 0xD8;

// Status register bits.
constexpr std::uint8_t kStatusWip = 0x01;
constexpr std::uint8_t kStatusWel = 0x02;
constexpr std::uint8_t kStatusBp = 0x1C;  // BP2..BP0
constexpr unsigned kStatusBpShift = 2;
constexpr std::uint8_t kStatusSrwd = 0x80;
constexpr std::uint8_t kStatusStored = kStatusSrwd | kStatusBp;  // what WRSR can set

// Geometry.
constexpr std::uint32_t kAddressMask = M25P16::kSize - 1;  // bits 23..21 are don't-care
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr unsigned kSectorShift = 16;
constexpr std::uint32_t kAddressBytes = 3;
constexpr std::uint32_t kFastReadDummyBytes = 1;
constexpr std::uint32_t kSignatureDummyBytes = 3;

// First protected sector for each BP2..BP0 value; 32 protects nothing.
constexpr std::uint32_t kFirstProtectedSector[8] = {32, 31, 30, 28, 24, 16, 0, 0};

// RDID answer as Numonyx/Micron dies give it: manufacturer, memory type,
// capacity (identity_), then the count of factory data bytes that follow
// (all 0x00).
constexpr std::uint32_t kIdentityBytes = 4;
constexpr std::uint8_t kFactoryData = 0x00;  // the 16 bytes after kIdentity, and beyond
constexpr std::uint8_t kSignature = 0x14;
constexpr std::uint8_t kHighImpedance = 0xFF;  // Q floats; the board's pull-up reads 1

}  // namespace

ChipTiming ChipTiming::typical() {
    return {640'000, 600'000'000, 13'000'000'000, 1'300'000};
}

ChipTiming ChipTiming::maximum() {
    return {5'000'000, 3'000'000'000, 40'000'000'000, 15'000'000};
}

ChipTiming ChipTiming::zero() {
    return {0, 0, 0, 0};
}

M25P16::M25P16(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
               ChipFaults faults)
    : memory_(memory), clock_(clock), timing_(timing), faults_(faults) {
    std::memset(latch_, 0xFF, sizeof latch_);
}

void M25P16::set_select(bool high) {
    if (high != selected_) {
        return;  // no edge
    }
    if (!high) {
        selected_ = true;
        ++counters_.transactions;
        phase_ = Phase::kOpcode;
        opcode_ = kOpNone;
        bit_ = 0;
        out_ = kHighImpedance;
        count_ = 0;
        address_ = 0;
        return;
    }
    selected_ = false;
    if (bit_ == 0) {
        finish_write();
    }
    // Read-type instructions end at any S# rise; RES also wakes the chip.
    if (opcode_ == kOpSignature) {
        deep_power_down_ = false;
    }
    phase_ = Phase::kIgnore;
    opcode_ = kOpNone;
    bit_ = 0;
    out_ = kHighImpedance;
}

bool M25P16::clock(bool d) {
    if (!selected_) {
        return true;
    }
    const bool q = ((out_ << bit_) & 0x80) != 0;
    in_ = static_cast<std::uint8_t>((in_ << 1) | (d ? 1 : 0));
    if (++bit_ == 8) {
        bit_ = 0;
        on_byte(in_);
    }
    return q;
}

std::uint8_t M25P16::clock_byte(std::uint8_t d) {
    if (!selected_) {
        return kHighImpedance;
    }
    if (bit_ != 0) {
        std::uint8_t q = 0;
        for (int shift = 7; shift >= 0; --shift) {
            q = static_cast<std::uint8_t>((q << 1) | (clock(((d >> shift) & 1) != 0) ? 1 : 0));
        }
        return q;
    }
    const std::uint8_t q = out_;
    in_ = d;
    on_byte(d);
    return q;
}

void M25P16::set_identity(std::uint32_t jedec_id) {
    identity_[0] = static_cast<std::uint8_t>(jedec_id >> 16);
    identity_[1] = static_cast<std::uint8_t>(jedec_id >> 8);
    identity_[2] = static_cast<std::uint8_t>(jedec_id);
}

std::uint8_t M25P16::status() const {
    if (cycle_ && !busy()) {
        return status_after_;
    }
    return static_cast<std::uint8_t>(stored_ | (wel_ ? kStatusWel : 0) | (cycle_ ? kStatusWip : 0));
}

std::uint8_t M25P16::nonvolatile_status() const {
    return static_cast<std::uint8_t>((cycle_ && !busy() ? status_after_ : stored_) & kStatusStored);
}

void M25P16::set_nonvolatile_status(std::uint8_t bits) {
    stored_ = static_cast<std::uint8_t>(bits & kStatusStored);
}

// A complete byte arrived; `out_` becomes the byte Q carries next.
void M25P16::on_byte(std::uint8_t in) {
    switch (phase_) {
        case Phase::kOpcode:
            decode(in);
            break;
        case Phase::kAddress:
            address_ = (address_ << 8) | in;
            if (++count_ == kAddressBytes) {
                after_address();
            }
            break;
        case Phase::kDummy:
            if (--count_ == 0) {
                if (opcode_ == kOpFastRead) {
                    phase_ = Phase::kReadData;
                    out_ = read_byte(address_);
                } else {
                    phase_ = Phase::kSignatureOut;
                    out_ = kSignature;
                }
            }
            break;
        case Phase::kReadData:
            address_ = (address_ + 1) & kAddressMask;
            out_ = read_byte(address_);
            break;
        case Phase::kProgramData:
            latch_[latch_index_++] = in;  // wraps inside the page; the last 256 win
            count_ = 1;
            break;
        case Phase::kStatusData:
            status_in_ = in;
            phase_ = Phase::kComplete;
            break;
        case Phase::kStatusOut:
            settle();
            out_ = status();
            break;
        case Phase::kIdOut:
            ++count_;
            out_ = count_ < kIdentityBytes ? identity_[count_] : kFactoryData;
            break;
        case Phase::kComplete:
            phase_ = Phase::kIgnore;  // a byte too many: the write is rejected
            break;
        case Phase::kSignatureOut:
        case Phase::kIgnore:
            break;
    }
}

void M25P16::decode(std::uint8_t opcode) {
    settle();
    opcode_ = opcode;
    phase_ = Phase::kIgnore;
    // In deep power-down only RES is heard; during a write cycle only RDSR.
    if ((deep_power_down_ && opcode != kOpSignature) || (busy() && opcode != kOpReadStatus)) {
        opcode_ = kOpNone;
        return;
    }
    switch (opcode) {
        case kOpWriteEnable:
        case kOpWriteDisable:
        case kOpBulkErase:
        case kOpDeepPowerDown:
            phase_ = Phase::kComplete;
            break;
        case kOpWriteStatus:
            phase_ = Phase::kStatusData;
            break;
        case kOpReadStatus:
            phase_ = Phase::kStatusOut;
            out_ = status();
            break;
        case kOpReadId:
            phase_ = Phase::kIdOut;
            count_ = 0;
            out_ = identity_[0];
            break;
        case kOpRead:
        case kOpFastRead:
        case kOpPageProgram:
        case kOpSectorErase:
            phase_ = Phase::kAddress;
            count_ = 0;
            break;
        case kOpSignature:
            phase_ = Phase::kDummy;
            count_ = kSignatureDummyBytes;
            break;
        default:
            opcode_ = kOpNone;
            break;
    }
}

void M25P16::after_address() {
    address_ &= kAddressMask;
    switch (opcode_) {
        case kOpRead:
            phase_ = Phase::kReadData;
            out_ = read_byte(address_);
            break;
        case kOpFastRead:
            phase_ = Phase::kDummy;
            count_ = kFastReadDummyBytes;
            break;
        case kOpPageProgram:
            phase_ = Phase::kProgramData;
            std::memset(latch_, 0xFF, sizeof latch_);
            latch_index_ = static_cast<std::uint8_t>(address_);
            count_ = 0;  // becomes 1 with the first data byte
            break;
        default:  // SE
            phase_ = Phase::kComplete;
            break;
    }
}

// S# rose on a byte boundary: carry out a write-type instruction that has
// exactly its bytes (PP: at least one data byte).
void M25P16::finish_write() {
    const bool complete = phase_ == Phase::kComplete;
    const std::uint32_t first_protected =
        kFirstProtectedSector[(stored_ & kStatusBp) >> kStatusBpShift];
    const bool protected_address = (address_ >> kSectorShift) >= first_protected;
    switch (opcode_) {
        case kOpWriteEnable:
            if (complete) {
                wel_ = true;
            }
            break;
        case kOpWriteDisable:
            if (complete) {
                wel_ = false;
            }
            break;
        case kOpDeepPowerDown:
            if (complete) {
                deep_power_down_ = true;
            }
            break;
        case kOpWriteStatus:
            if (complete && wel_) {
                start_cycle(timing_.write_status_ns, status_in_ & kStatusStored);
            }
            break;
        case kOpBulkErase:
            if (complete && wel_ && (stored_ & kStatusBp) == 0) {
                std::memset(memory_, 0xFF, kSize);
                ++counters_.bulk_erases;
                start_cycle(timing_.bulk_erase_ns, stored_);
            }
            break;
        case kOpSectorErase:
            if (complete && wel_ && !protected_address) {
                std::memset(memory_ + (address_ & ~(kSectorSize - 1)), 0xFF, kSectorSize);
                ++counters_.sector_erases;
                start_cycle(timing_.sector_erase_ns, stored_);
            }
            break;
        case kOpPageProgram:
            if (phase_ == Phase::kProgramData && count_ != 0 && wel_ && !protected_address) {
                std::uint8_t* page = memory_ + (address_ & ~(kPageSize - 1));
                for (std::uint32_t i = 0; i < kPageSize; ++i) {
                    page[i] &= latch_[i];  // programming only clears bits
                }
                ++counters_.page_programs;
                start_cycle(timing_.page_program_ns, stored_);
            }
            break;
        default:
            break;
    }
}

// WIP and WEL stay set until the cycle ends; then the register becomes
// `status_after` (WRSR's new bits, or the old ones).
void M25P16::start_cycle(std::uint64_t busy_ns, std::uint8_t status_after) {
    ++cycles_;
    cycle_ = true;
    cycle_stuck_ = faults_.stuck_busy || cycles_ == faults_.stuck_busy_cycle;
    cycle_end_ns_ = clock_.now_ns + busy_ns;
    status_after_ = status_after;
}

// Ends a write cycle whose time is up.
void M25P16::settle() {
    if (cycle_ && !busy()) {
        cycle_ = false;
        stored_ = status_after_;
        wel_ = false;
    }
}

bool M25P16::busy() const {
    return cycle_ && (cycle_stuck_ || clock_.now_ns < cycle_end_ns_);
}

std::uint8_t M25P16::read_byte(std::uint32_t address) const {
    std::uint8_t value = memory_[address];
    if (faults_.stuck_zero && address == (faults_.stuck_zero_address & kAddressMask)) {
        value &= 0xFE;
    }
    if (faults_.stuck_one && address == (faults_.stuck_one_address & kAddressMask)) {
        value |= 0x01;
    }
    return value;
}

}  // namespace sim
