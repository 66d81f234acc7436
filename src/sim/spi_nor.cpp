// The chip: a byte-level decoder fed by a bit shifter. Write-type
// instructions only record their bytes while S# is low and act on its rising
// edge, so a transfer cut short or ending off a byte boundary changes nothing.
#include "sim/spi_nor.h"

#include <cstring>

namespace sim {
namespace {

// Instruction codes every model decodes the same way (where it has them);
// the erase instructions are the model's own.
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
constexpr std::uint8_t kOpReadId = 0x9F;
constexpr std::uint8_t kOpSignature = 0xAB;  // RES
constexpr std::uint8_t kOpDeepPowerDown = 0xB9;

// Status register bits.
constexpr std::uint8_t kStatusWip = 0x01;
constexpr std::uint8_t kStatusWel = 0x02;
constexpr std::uint16_t kStatusBp = 0x1C;  // BP2..BP0
constexpr unsigned kStatusBpShift = 2;
constexpr std::uint16_t kStatusTb = 0x20;
constexpr std::uint16_t kStatusSec = 0x40;
constexpr std::uint16_t kStatusCmp = 0x4000;

// Geometry.
constexpr std::uint32_t kAddressMask = kChipSize - 1;  // bits 23..21 are don't-care
constexpr std::uint32_t kPageSize = 256;
constexpr std::uint32_t kBlockSize = 0x1000;
constexpr std::uint32_t kHalfSize = 0x8000;
constexpr std::uint32_t kSectorSize = 0x10000;
constexpr std::uint32_t kBlocks = kChipSize / kBlockSize;
constexpr std::uint32_t kAddressBytes = 3;
constexpr std::uint32_t kFastReadDummyBytes = 1;
constexpr std::uint32_t kSignatureDummyBytes = 3;
constexpr std::uint32_t kUniqueIdDummyBytes = 4;

// RDID answer: manufacturer, memory type, capacity (identity_), then the
// model's fourth byte (the M25P16's count of factory data bytes) and 0x00.
constexpr std::uint32_t kIdentityBytes = 4;
constexpr std::uint8_t kFactoryData = 0x00;
constexpr std::uint8_t kHighImpedance = 0xFF;  // Q floats; the board's pull-up reads 1

// What an erase of each size takes and where it is counted; the tests'
// given times know only two kinds, block and chip.
struct EraseKind {
    std::uint32_t size;
    std::uint64_t ModelTimes::*time;
    std::uint64_t ChipTiming::*given;
    std::uint64_t ChipCounters::*count;
};
constexpr EraseKind kEraseKinds[] = {
    {kBlockSize, &ModelTimes::erase_4k, &ChipTiming::sector_erase_ns, &ChipCounters::erases_4k},
    {kHalfSize, &ModelTimes::erase_32k, &ChipTiming::sector_erase_ns, &ChipCounters::erases_32k},
    {kSectorSize, &ModelTimes::erase_64k, &ChipTiming::sector_erase_ns,
     &ChipCounters::sector_erases},
    {kChipSize, &ModelTimes::chip_erase, &ChipTiming::bulk_erase_ns, &ChipCounters::bulk_erases},
};

}  // namespace

ChipTiming ChipTiming::typical() {
    return {640'000, 600'000'000, 13'000'000'000, 1'300'000, Kind::kTypical};
}

ChipTiming ChipTiming::maximum() {
    return {5'000'000, 3'000'000'000, 40'000'000'000, 15'000'000, Kind::kMaximum};
}

ChipTiming ChipTiming::zero() {
    return {0, 0, 0, 0, Kind::kZero};
}

SpiNor::SpiNor(std::uint8_t* memory, const VirtualClock& clock, ChipTiming timing,
               ChipFaults faults, const ChipModel& model)
    : memory_(memory), clock_(clock), timing_(timing), faults_(faults), model_(model) {
    std::memset(latch_, 0xFF, sizeof latch_);
    set_identity(model.jedec_id);
    identity_[3] = model.id_fourth;
    stored_ = model.factory;
    build_sfdp(model, sfdp_);
}

void SpiNor::set_select(bool high) {
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

bool SpiNor::clock(bool d) {
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

std::uint8_t SpiNor::clock_byte(std::uint8_t d) {
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

void SpiNor::set_identity(std::uint32_t jedec_id) {
    identity_[0] = static_cast<std::uint8_t>(jedec_id >> 16);
    identity_[1] = static_cast<std::uint8_t>(jedec_id >> 8);
    identity_[2] = static_cast<std::uint8_t>(jedec_id);
}

std::uint8_t SpiNor::status() const {
    if (cycle_ && !busy()) {
        return static_cast<std::uint8_t>(status_after_);
    }
    return static_cast<std::uint8_t>((stored_ & 0xFF) | (wel_ ? kStatusWel : 0) |
                                     (cycle_ ? kStatusWip : 0));
}

std::uint16_t SpiNor::nonvolatile_status() const {
    return static_cast<std::uint16_t>((cycle_ && !busy() ? status_after_ : stored_) &
                                      model_.stored);
}

void SpiNor::set_nonvolatile_status(std::uint16_t bits) {
    stored_ = static_cast<std::uint16_t>(bits & model_.stored);
}

// A complete byte arrived; `out_` becomes the byte Q carries next.
void SpiNor::on_byte(std::uint8_t in) {
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
                after_dummy();
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
            out_ = unique_id_byte(++count_);
            break;
        case Phase::kProgramData:
            latch_[latch_index_++] = in;  // wraps inside the page; the last 256 win
            count_ = 1;
            break;
        case Phase::kStatusData:
            status_byte(in);
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

// The dummy bytes are over: the data of a read, the SFDP table, the unique
// ID or the RES signature follows.
void SpiNor::after_dummy() {
    if (opcode_ == kOpFastRead) {
        phase_ = Phase::kReadData;
        out_ = read_byte(address_);
    } else if (opcode_ == kOpSfdp) {
        phase_ = Phase::kSfdpOut;
        out_ = sfdp_byte(address_);
    } else if (opcode_ == kOpUniqueId) {
        phase_ = Phase::kUniqueOut;
        out_ = unique_id_byte(0);
    } else {
        phase_ = Phase::kSignatureOut;
        out_ = model_.res_signature;
    }
}

// WRSR: register 1, then register 2 on a part that has one; 0x31: register
// 2 alone.
void SpiNor::status_byte(std::uint8_t in) {
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
}

bool SpiNor::awake() const {
    return !deep_power_down_ && clock_.now_ns >= wake_at_ns_;
}

// In deep power-down (and until tRES after RES) only RES is heard; during a
// write cycle only RDSR (and RDSR2).
bool SpiNor::heard(std::uint8_t opcode) const {
    if (!awake() && opcode != kOpSignature) {
        return false;
    }
    return !busy() || opcode == kOpReadStatus || opcode == kOpReadStatus2;
}

// The bytes the model's erase instruction `opcode` erases; 0: not an erase.
std::uint32_t SpiNor::erase_size(std::uint8_t opcode) const {
    for (const EraseOp& op : model_.erases) {
        if (op.opcode != 0 && op.opcode == opcode) {
            return op.size;
        }
    }
    return 0;
}

void SpiNor::decode(std::uint8_t opcode) {
    settle();
    opcode_ = opcode;
    phase_ = Phase::kIgnore;
    if (!heard(opcode)) {
        opcode_ = kOpNone;
        return;
    }
    erase_size_ = erase_size(opcode);
    if (erase_size_ != 0) {
        // The chip erase has all its bytes at once; the others take an address.
        phase_ = erase_size_ == kChipSize ? Phase::kComplete : Phase::kAddress;
        count_ = 0;
        return;
    }
    switch (opcode) {
        case kOpWriteEnable:
        case kOpWriteDisable:
        case kOpDeepPowerDown:
            phase_ = Phase::kComplete;
            break;
        case kOpWriteStatus:
            phase_ = Phase::kStatusData;
            count_ = 0;
            break;
        case kOpWriteStatus2:
        case kOpReadStatus2:
            if (!model_.second_register) {
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
            if (model_.unique_id_bytes == 0) {
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

void SpiNor::after_address() {
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

// True when any byte of [address, address + length) is protected (the
// layout is chip_model.h's).
bool SpiNor::protected_range(std::uint32_t address, std::uint32_t length) const {
    const std::uint32_t bp = (stored_ & kStatusBp) >> kStatusBpShift;
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

std::uint64_t SpiNor::busy_ns(std::uint64_t ModelTimes::*time,
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

// An erase with all its bytes: the aligned area around the address (the
// chip erase: the whole chip), unless any of it is protected.
void SpiNor::finish_erase() {
    const std::uint32_t base = address_ & ~(erase_size_ - 1);
    if (!wel_ || protected_range(base, erase_size_)) {
        return;
    }
    for (const EraseKind& kind : kEraseKinds) {
        if (kind.size == erase_size_) {
            std::memset(memory_ + base, 0xFF, erase_size_);
            ++(counters_.*kind.count);
            start_cycle(busy_ns(kind.time, kind.given), stored_);
        }
    }
}

// S# rose on a byte boundary: carry out a write-type instruction that has
// exactly its bytes (PP: at least one data byte).
void SpiNor::finish_write() {
    const bool complete = phase_ == Phase::kComplete;
    if (erase_size_ != 0 && opcode_ != kOpNone) {
        if (complete) {
            finish_erase();
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
void SpiNor::start_cycle(std::uint64_t busy_ns, std::uint16_t status_after) {
    ++cycles_;
    cycle_ = true;
    cycle_stuck_ = faults_.stuck_busy || cycles_ == faults_.stuck_busy_cycle;
    cycle_end_ns_ = clock_.now_ns + busy_ns;
    status_after_ = status_after;
}

// Ends a write cycle whose time is up.
void SpiNor::settle() {
    if (cycle_ && !busy()) {
        cycle_ = false;
        stored_ = status_after_;
        wel_ = false;
    }
}

bool SpiNor::busy() const {
    return cycle_ && (cycle_stuck_ || clock_.now_ns < cycle_end_ns_);
}

std::uint8_t SpiNor::read_byte(std::uint32_t address) const {
    std::uint8_t value = memory_[address];
    if (faults_.stuck_zero && address == (faults_.stuck_zero_address & kAddressMask)) {
        value &= 0xFE;
    }
    if (faults_.stuck_one && address == (faults_.stuck_one_address & kAddressMask)) {
        value |= 0x01;
    }
    return value;
}

std::uint8_t SpiNor::sfdp_byte(std::uint32_t address) const {
    return address < kSfdpBytes ? sfdp_[address] : kHighImpedance;
}

// Byte `index` of the unique ID, most significant first; ones past its end.
std::uint8_t SpiNor::unique_id_byte(std::uint32_t index) const {
    const std::uint32_t bytes = model_.unique_id_bytes;
    return index < bytes ? static_cast<std::uint8_t>(unique_id_ >> (8 * (bytes - 1 - index)))
                         : kHighImpedance;
}

}  // namespace sim
