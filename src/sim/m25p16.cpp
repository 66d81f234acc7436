// The chip model: a byte-level decoder fed by a bit shifter. Write-type
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
constexpr std::uint8_t kOpWriteStatus2 = 0x31;
constexpr std::uint8_t kOpReadStatus2 = 0x35;
constexpr std::uint8_t kOpUniqueId = 0x4B;
constexpr std::uint8_t kOpSfdp = 0x5A;
constexpr std::uint8_t kOpChipErase60 = 0x60;
constexpr std::uint8_t kOpReadId = 0x9F;
constexpr std::uint8_t kOpSignature = 0xAB;  // RES
constexpr std::uint8_t kOpDeepPowerDown = 0xB9;
constexpr std::uint8_t kOpBulkErase = 0xC7;
constexpr std::uint8_t kOpSectorErase = 0xD8;

// Status register bits.
constexpr std::uint8_t kStatusWip = 0x01;
constexpr std::uint8_t kStatusWel = 0x02;
constexpr std::uint16_t kStatusBp = 0x1C;  // BP2..BP0
constexpr unsigned kStatusBpShift = 2;
constexpr std::uint16_t kStatusTb = 0x20;
constexpr std::uint16_t kStatusSec = 0x40;
constexpr std::uint16_t kStatusCmp = 0x4000;

// Geometry.
constexpr std::uint32_t kAddressMask = M25P16::kSize - 1;  // bits 23..21 are don't-care
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kBlockSize = 0x1000;
constexpr std::uint32_t kHalfSize = 0x8000;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr unsigned kSectorShift = 16;
constexpr std::uint32_t kBlocks = M25P16::kSize / kBlockSize;
constexpr std::uint32_t kAddressBytes = 3;
constexpr std::uint32_t kFastReadDummyBytes = 1;
constexpr std::uint32_t kSignatureDummyBytes = 3;
constexpr std::uint32_t kUniqueIdDummyBytes = 4;
constexpr std::uint32_t kUniqueIdBytes = 8;

// M25P16: first protected sector for each BP2..BP0 value; 32 protects nothing.
constexpr std::uint32_t kFirstProtectedSector[8] = {32, 31, 30, 28, 24, 16, 0, 0};

// RDID answer: manufacturer, memory type, capacity (identity_), then the
// model's fourth byte (the M25P16's count of factory data bytes) and 0x00.
constexpr std::uint32_t kIdentityBytes = 4;
constexpr std::uint8_t kFactoryData = 0x00;
constexpr std::uint8_t kHighImpedance = 0xFF;  // Q floats; the board's pull-up reads 1

constexpr std::uint64_t kMs = 1'000'000;

// Numonyx/Micron M25P16 (tRES as ST's model gives it).
constexpr ChipModel kM25p16 = {
    "m25p16",
    true,
    0x202015,
    0x10,
    0x14,
    30'000,
    0,
    0,
    false,
    {640'000, 0, 0, 600 * kMs, 13'000 * kMs, 1'300'000},
    {5 * kMs, 0, 0, 3'000 * kMs, 40'000 * kMs, 15 * kMs},
    false,
    0x9C,
    0,
    0,
    0,
    false,
    false,
    false,
};

// Winbond W25Q16JV-IQ: SRP0 b7, SEC b6, TB b5, BP2..0 b4..2; register 2:
// SUS b7 (read only), CMP b6, LB3..1 b5..3 (one time), QE b1 (set at the
// factory), SRL b0. tRES1 3 us.
constexpr ChipModel kW25q16jv = {
    "w25q16jv",
    true,
    0xEF4015,
    0x00,
    0x14,
    3'000,
    0x20,
    0x52,
    true,
    {400'000, 45 * kMs, 120 * kMs, 150 * kMs, 5'000 * kMs, 10 * kMs},
    {3 * kMs, 400 * kMs, 1'600 * kMs, 2'000 * kMs, 25'000 * kMs, 15 * kMs},
    true,
    0x7BFC,
    0x3800,
    0x0100,
    0x0200,
    true,
    true,
    true,
};

// Adesto AT25SF161B, the layout of the W25Q16JV's registers (SRP1 in b8).
// Its datasheet gives no page program time: the AT25SF161's 0.7 ms; nor a
// status write time: the M25P16's 1.3 ms; its maxima are the M25P16's
// (3 s for a block, 40 s for the chip, 5 ms for a page, 15 ms for a status
// write). tRES taken as the M25P16's 30 us.
constexpr ChipModel kAt25sf161b = {
    "at25sf161b",
    true,
    0x1F8601,
    0x00,
    0x14,
    30'000,
    0x20,
    0x52,
    true,
    {700'000, 60 * kMs, 150 * kMs, 250 * kMs, 7'000 * kMs, 1'300'000},
    {5 * kMs, 3'000 * kMs, 3'000 * kMs, 3'000 * kMs, 40'000 * kMs, 15 * kMs},
    true,
    0x7BFC,
    0x3800,
    0x0100,
    0x0000,
    true,
    true,
    true,
};

constexpr ChipModel kNone = {
    "none", false, 0xFFFFFF, 0xFF, 0xFF, 0, 0,     0,     false, {},
    {},     false, 0,        0,    0,    0, false, false, false,
};

constexpr const ChipModel* kModels[] = {&kM25p16, &kW25q16jv, &kAt25sf161b, &kNone};

// SFDP as JESD216 lays it out: the header, one parameter header, and the
// Basic Flash Parameter Table (16 DWORDs) at kBfptAddress, built from the
// model's own geometry and typical times.
constexpr std::uint32_t kBfptAddress = 0x80;
constexpr std::uint32_t kBfptDwords = 16;

// A typical time as a 7-bit field: count in bits 4:0, unit in 6:5, rounded up.
std::uint32_t time_field(std::uint64_t ns, const std::uint64_t (&units)[4], std::uint64_t* coded) {
    for (std::uint32_t unit = 0; unit < 4; ++unit) {
        const std::uint64_t count = (ns + units[unit] - 1) / units[unit];
        if (count <= 32) {
            const std::uint64_t n = count == 0 ? 1 : count;
            *coded = n * units[unit];
            return (unit << 5) | static_cast<std::uint32_t>(n - 1);
        }
    }
    *coded = 32 * units[3];
    return 0x7F;
}

// The smallest C with 2 (C + 1) x typical >= maximum.
std::uint32_t multiplier(std::uint64_t typical, std::uint64_t maximum) {
    for (std::uint32_t c = 0; c < 15; ++c) {
        if (2 * (c + 1) * typical >= maximum) {
            return c;
        }
    }
    return 15;
}

void put_dword(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

}  // namespace

const ChipModel* find_model(std::string_view name) {
    for (const ChipModel* model : kModels) {
        if (name == model->name) {
            return model;
        }
    }
    return nullptr;
}

const ChipModel& default_model() {
    return kM25p16;
}

ChipTiming ChipTiming::typical() {
    return {640'000, 600'000'000, 13'000'000'000, 1'300'000, Kind::kTypical};
}

ChipTiming ChipTiming::maximum() {
    return {5'000'000, 3'000'000'000, 40'000'000'000, 15'000'000, Kind::kMaximum};
}

ChipTiming ChipTiming::zero() {
    return {0, 0, 0, 0, Kind::kZero};
}

M25P16::M25P16(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
               ChipFaults faults, const ChipModel& model)
    : memory_(memory), clock_(clock), timing_(timing), faults_(faults), model_(model) {
    std::memset(latch_, 0xFF, sizeof latch_);
    set_identity(model.jedec_id);
    identity_[3] = model.id_fourth;
    stored_ = model.factory;
}

void M25P16::set_select(bool high) {
    if (!model_.present || high != selected_) {
        return;  // nothing on the bus, or no edge
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
    // Read-type instructions end at any S# rise; RES also wakes the chip,
    // which hears instructions again after tRES.
    if (opcode_ == kOpSignature && deep_power_down_) {
        deep_power_down_ = false;
        wake_at_ns_ = clock_.now_ns + model_.wake_ns;
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
        return static_cast<std::uint8_t>(status_after_);
    }
    return static_cast<std::uint8_t>((stored_ & 0xFF) | (wel_ ? kStatusWel : 0) |
                                     (cycle_ ? kStatusWip : 0));
}

std::uint16_t M25P16::nonvolatile_status() const {
    return static_cast<std::uint16_t>((cycle_ && !busy() ? status_after_ : stored_) &
                                      model_.stored);
}

void M25P16::set_nonvolatile_status(std::uint16_t bits) {
    stored_ = static_cast<std::uint16_t>(bits & model_.stored);
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
                } else if (opcode_ == kOpSfdp) {
                    phase_ = Phase::kSfdpOut;
                    out_ = sfdp_byte(address_);
                } else if (opcode_ == kOpUniqueId) {
                    phase_ = Phase::kUniqueOut;
                    out_ = static_cast<std::uint8_t>(unique_id_ >> 56);
                } else {
                    phase_ = Phase::kSignatureOut;
                    out_ = model_.res_signature;
                }
            }
            break;
        case Phase::kReadData:
            address_ = (address_ + 1) & kAddressMask;
            out_ = read_byte(address_);
            break;
        case Phase::kSfdpOut:
            ++address_;
            out_ = sfdp_byte(address_);
            break;
        case Phase::kUniqueOut:
            ++count_;
            out_ = count_ < kUniqueIdBytes
                       ? static_cast<std::uint8_t>(unique_id_ >> (8 * (7 - count_)))
                       : kHighImpedance;
            break;
        case Phase::kProgramData:
            latch_[latch_index_++] = in;  // wraps inside the page; the last 256 win
            count_ = 1;
            break;
        case Phase::kStatusData:
            // WRSR: register 1, then register 2 on a part that has one;
            // 0x31: register 2 alone.
            if (opcode_ == kOpWriteStatus2) {
                status_in_ = static_cast<std::uint16_t>((stored_ & 0x00FF) | in << 8);
                phase_ = Phase::kComplete;
            } else if (count_ == 0) {
                status_in_ = static_cast<std::uint16_t>((stored_ & 0xFF00) | in);
                count_ = 1;
                if (!model_.second_register) {
                    phase_ = Phase::kComplete;
                }
            } else {
                status_in_ = static_cast<std::uint16_t>((status_in_ & 0x00FF) | in << 8);
                phase_ = Phase::kComplete;
            }
            break;
        case Phase::kStatusOut:
            settle();
            out_ = status();
            break;
        case Phase::kStatus2Out:
            settle();
            out_ = static_cast<std::uint8_t>(stored_ >> 8);
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

bool M25P16::awake() const {
    return !deep_power_down_ && clock_.now_ns >= wake_at_ns_;
}

void M25P16::decode(std::uint8_t opcode) {
    settle();
    opcode_ = opcode;
    phase_ = Phase::kIgnore;
    // In deep power-down (and until tRES after RES) only RES is heard;
    // during a write cycle only RDSR (and RDSR2).
    if ((!awake() && opcode != kOpSignature) ||
        (busy() && opcode != kOpReadStatus && opcode != kOpReadStatus2)) {
        opcode_ = kOpNone;
        return;
    }
    const bool two = model_.second_register;
    erase_size_ = 0;
    if (opcode == kOpSectorErase) {
        erase_size_ = kSectorSize;
    } else if (opcode != 0 && opcode == model_.erase_4k_opcode) {
        erase_size_ = kBlockSize;
    } else if (opcode != 0 && opcode == model_.erase_32k_opcode) {
        erase_size_ = kHalfSize;
    }
    if (erase_size_ != 0) {
        phase_ = Phase::kAddress;
        count_ = 0;
        return;
    }
    switch (opcode) {
        case kOpChipErase60:
            if (!model_.chip_erase_60) {
                opcode_ = kOpNone;
                break;
            }
            phase_ = Phase::kComplete;
            break;
        case kOpWriteEnable:
        case kOpWriteDisable:
        case kOpBulkErase:
        case kOpDeepPowerDown:
            phase_ = Phase::kComplete;
            break;
        case kOpWriteStatus:
            phase_ = Phase::kStatusData;
            count_ = 0;
            break;
        case kOpWriteStatus2:
        case kOpReadStatus2:
            if (!two) {
                opcode_ = kOpNone;
                break;
            }
            phase_ = opcode == kOpReadStatus2 ? Phase::kStatus2Out : Phase::kStatusData;
            out_ = static_cast<std::uint8_t>(stored_ >> 8);
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
        case kOpSfdp:
            if (!model_.sfdp || sfdp_off_) {
                opcode_ = kOpNone;
                break;
            }
            phase_ = Phase::kAddress;
            count_ = 0;
            break;
        case kOpUniqueId:
            if (!model_.unique_id) {
                opcode_ = kOpNone;
                break;
            }
            phase_ = Phase::kDummy;
            count_ = kUniqueIdDummyBytes;
            break;
        case kOpRead:
        case kOpFastRead:
        case kOpPageProgram:
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
        case kOpSfdp:
            phase_ = Phase::kDummy;
            count_ = kFastReadDummyBytes;
            break;
        case kOpPageProgram:
            phase_ = Phase::kProgramData;
            std::memset(latch_, 0xFF, sizeof latch_);
            latch_index_ = static_cast<std::uint8_t>(address_);
            count_ = 0;  // becomes 1 with the first data byte
            break;
        default:  // an erase
            phase_ = Phase::kComplete;
            break;
    }
}

// True when any byte of [address, address + length) is protected.
bool M25P16::protected_range(std::uint32_t address, std::uint32_t length) const {
    const std::uint32_t bp = (stored_ & kStatusBp) >> kStatusBpShift;
    if (!model_.top_bottom) {
        const std::uint32_t first = kFirstProtectedSector[bp];
        return ((address + length - 1) >> kSectorShift) >= first;
    }
    // Blocks of 4 KiB: BP = n protects 2^(n-1) sectors (SEC: 2^(n-1)
    // blocks, at most 8) at the top (TB: the bottom), 6 and 7 everything;
    // CMP protects the rest instead.
    std::uint32_t count = 0;
    if (bp >= 6) {
        count = kBlocks;
    } else if (bp != 0) {
        count = (stored_ & kStatusSec) != 0 ? (bp >= 4 ? 8U : 1U << (bp - 1))
                                            : (1U << (bp - 1)) * (kSectorSize / kBlockSize);
    }
    const bool bottom = (stored_ & kStatusTb) != 0;
    std::uint32_t low = bottom ? 0 : kBlocks - count;
    std::uint32_t high = bottom ? count : kBlocks;
    const std::uint32_t first = address / kBlockSize;
    const std::uint32_t last = (address + length - 1) / kBlockSize;
    bool inside = last >= low && first < high;
    if ((stored_ & kStatusCmp) != 0) {
        // The complement: protected unless the whole range lies in [low, high).
        inside = !(first >= low && last < high);
    }
    return inside;
}

std::uint64_t M25P16::busy_ns(std::uint64_t ModelTimes::*time,
                              std::uint64_t ChipTiming::*given) const {
    switch (timing_.kind) {
        case ChipTiming::Kind::kGiven:
            return timing_.*given;
        case ChipTiming::Kind::kTypical:
            return model_.typical.*time;
        case ChipTiming::Kind::kMaximum:
            return model_.maximum.*time;
        case ChipTiming::Kind::kZero:
            break;
    }
    return 0;
}

// S# rose on a byte boundary: carry out a write-type instruction that has
// exactly its bytes (PP: at least one data byte).
void M25P16::finish_write() {
    const bool complete = phase_ == Phase::kComplete;
    if (erase_size_ != 0 && opcode_ != kOpNone) {
        const std::uint32_t base = address_ & ~(erase_size_ - 1);
        if (complete && wel_ && !protected_range(base, erase_size_)) {
            std::memset(memory_ + base, 0xFF, erase_size_);
            if (erase_size_ == kBlockSize) {
                ++counters_.erases_4k;
                start_cycle(busy_ns(&ModelTimes::erase_4k, &ChipTiming::sector_erase_ns), stored_);
            } else if (erase_size_ == kHalfSize) {
                ++counters_.erases_32k;
                start_cycle(busy_ns(&ModelTimes::erase_32k, &ChipTiming::sector_erase_ns), stored_);
            } else {
                ++counters_.sector_erases;
                start_cycle(busy_ns(&ModelTimes::erase_64k, &ChipTiming::sector_erase_ns), stored_);
            }
        }
        return;
    }
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
        case kOpWriteStatus2: {
            // WRSR with one byte on a two-register part leaves register 2 alone.
            const bool ready = complete || (opcode_ == kOpWriteStatus && count_ == 1 &&
                                            phase_ == Phase::kStatusData);
            if (ready && wel_ && (stored_ & model_.lock) == 0) {
                std::uint16_t next = static_cast<std::uint16_t>(status_in_ & model_.stored);
                next = static_cast<std::uint16_t>(next | (stored_ & model_.one_time));
                start_cycle(busy_ns(&ModelTimes::write_status, &ChipTiming::write_status_ns), next);
            }
            break;
        }
        case kOpBulkErase:
        case kOpChipErase60:
            if (complete && wel_ && !protected_range(0, kSize) &&
                (model_.top_bottom || (stored_ & kStatusBp) == 0)) {
                std::memset(memory_, 0xFF, kSize);
                ++counters_.bulk_erases;
                start_cycle(busy_ns(&ModelTimes::chip_erase, &ChipTiming::bulk_erase_ns), stored_);
            }
            break;
        case kOpPageProgram:
            if (phase_ == Phase::kProgramData && count_ != 0 && wel_ &&
                !protected_range(address_ & ~(kPageSize - 1), kPageSize)) {
                std::uint8_t* page = memory_ + (address_ & ~(kPageSize - 1));
                for (std::uint32_t i = 0; i < kPageSize; ++i) {
                    page[i] &= latch_[i];  // programming only clears bits
                }
                ++counters_.page_programs;
                start_cycle(busy_ns(&ModelTimes::page_program, &ChipTiming::page_program_ns),
                            stored_);
            }
            break;
        default:
            break;
    }
}

// WIP and WEL stay set until the cycle ends; then the registers become
// `status_after` (a status write's new bits, or the old ones).
void M25P16::start_cycle(std::uint64_t busy_ns, std::uint16_t status_after) {
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

std::uint8_t M25P16::sfdp_byte(std::uint32_t address) const {
    std::uint8_t table[kBfptAddress + 4 * kBfptDwords];
    std::memset(table, 0xFF, sizeof table);
    // Header: "SFDP", revision 1.6, one parameter header, then the BFPT's.
    const std::uint8_t header[16] = {'S',  'F',  'D',  'P',  0x06,         0x01, 0x00, 0xFF,
                                     0x00, 0x06, 0x01, 0x10, kBfptAddress, 0x00, 0x00, 0xFF};
    std::memcpy(table, header, sizeof header);
    const ModelTimes& typ = model_.typical;
    const ModelTimes& max = model_.maximum;
    std::uint8_t* bfpt = table + kBfptAddress;
    std::memset(bfpt, 0, 4 * kBfptDwords);
    // DWORD1: 4 KiB erase with its opcode; 0x50 for volatile status writes.
    put_dword(bfpt, 0xFFF900E1U | std::uint32_t{model_.erase_4k_opcode} << 8);
    put_dword(bfpt + 4, kSize * 8 - 1);  // DWORD2: density in bits, minus one
    // DWORDs 8 and 9: erase types (size as 2^N, opcode).
    put_dword(bfpt + 28, 0x0C | std::uint32_t{model_.erase_4k_opcode} << 8 | 0x0F << 16 |
                             std::uint32_t{model_.erase_32k_opcode} << 24);
    put_dword(bfpt + 32, 0x10 | std::uint32_t{kOpSectorErase} << 8);
    // DWORD10: the erase types' typical times and the multiplier to the maximum.
    static constexpr std::uint64_t kEraseUnits[4] = {kMs, 16 * kMs, 128 * kMs, 1000 * kMs};
    const std::uint64_t ModelTimes::*typs[3] = {&ModelTimes::erase_4k, &ModelTimes::erase_32k,
                                                &ModelTimes::erase_64k};
    std::uint32_t dword10 = 0;
    std::uint32_t c = 0;
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::uint64_t coded = 0;
        dword10 |= time_field(typ.*typs[i], kEraseUnits, &coded) << (4 + 7 * i);
        const std::uint32_t need = multiplier(coded, max.*typs[i]);
        c = need > c ? need : c;
    }
    std::uint64_t chip_coded = 0;
    static constexpr std::uint64_t kChipUnits[4] = {16 * kMs, 256 * kMs, 4000 * kMs, 64000 * kMs};
    const std::uint32_t chip_field = time_field(typ.chip_erase, kChipUnits, &chip_coded);
    const std::uint32_t chip_c = multiplier(chip_coded, max.chip_erase);
    c = chip_c > c ? chip_c : c;
    put_dword(bfpt + 36, dword10 | c);
    // DWORD11: program multiplier, page of 2^8, page program and chip erase typicals.
    static constexpr std::uint64_t kPageUnits[4] = {8'000, 64'000, 64'000, 64'000};
    std::uint64_t page_coded = 0;
    std::uint32_t page_field = time_field(typ.page_program, kPageUnits, &page_coded);
    page_field = page_field > 0x3F ? 0x3F : page_field;
    put_dword(bfpt + 40, multiplier(page_coded, max.page_program) | 8U << 4 | page_field << 8 |
                             chip_field << 24);
    return address < sizeof table ? table[address] : kHighImpedance;
}

}  // namespace sim
