#include "hexflash/job.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "host/interrupt.h"
#include "mpsse/d2xx.h"

namespace {

struct Callback {
    Progress* progress;
    int slot;
};

void on_report(void* context, const char* phase, std::uint64_t done, std::uint64_t total) {
    auto* callback = static_cast<Callback*>(context);
    callback->progress->phase(callback->slot, phase, done, total);
}

bool on_stop(void*) {
    return interrupt_status() != 0;
}

std::string hex_id(const std::uint8_t id[3]) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x %02x %02x", id[0], id[1], id[2]);
    return text;
}

// A board's run between fast_open and fast_close.
class BoardRun {
  public:
    BoardRun(const Job& job, BoardRecord& record, fast_link& link, const fast_progress& progress)
        : options_(*job.options),
          image_(job.image),
          record_(record),
          link_(link),
          progress_(progress) {}

    void run() {
        if (!read_id()) {
            return;
        }
        switch (options_.command) {
            case Command::kId:
                if (read_status() && read_unique_id()) {
                    done("identified");
                }
                break;
            case Command::kWrite:
                write();
                break;
            case Command::kVerify:
                verify(*image_->map);
                break;
            case Command::kRead:
                read();
                break;
            case Command::kErase:
                erase();
                break;
            default:
                break;
        }
    }

  private:
    // Ends the run with `status` from the transport (or a refusal).
    void fail(int status, const std::string& message) {
        if (interrupt_status() != 0 && status != FAST_OK) {
            record_.result = "interrupted";
            record_.exit_status = interrupt_status();
            record_.message = "interrupted";
            return;
        }
        record_.result = status == FAST_ERR_MISMATCH ? "mismatch" : "failed";
        record_.exit_status = status == FAST_ERR_MISMATCH ? 3 : 2;
        record_.message = message;
    }
    void refuse(const std::string& message) {
        record_.result = "refused";
        record_.exit_status = 1;
        record_.message = message;
    }
    void done(const char* result) {
        record_.result = result;
        record_.exit_status = 0;
    }

    bool read_id() {
        fast_identity identity{};
        int status = fast_identify(&link_, &identity);
        if (status != FAST_OK) {
            fail(status, "cannot read the chip's JEDEC ID");
            return false;
        }
        std::memcpy(record_.id, identity.id, 3);
        record_.found = identity.found;
        record_.sfdp_read = identity.sfdp_read;
        if (identity.found == FAST_FOUND_NONE) {
            fail(FAST_ERR_TRANSFER, "no flash chip answers (JEDEC ID " + hex_id(record_.id) + ")");
            return false;
        }
        record_.have_id = true;
        record_.part = *link_.part;
        record_.have_part = true;
        return true;
    }

    // The part's unique ID, where it has one; all zeros or all ones are no
    // identity (an ID never ordered, or nothing answering).
    bool read_unique_id() {
        std::uint32_t length = 0;
        int status = fast_read_unique_id(&link_, record_.unique_id, &length);
        if (status != FAST_OK) {
            fail(status, "cannot read the chip's unique ID");
            return false;
        }
        const std::uint8_t* begin = record_.unique_id;
        const std::uint8_t* end = begin + length;
        const bool blank = std::all_of(begin, end, [](std::uint8_t b) { return b == 0; }) ||
                           std::all_of(begin, end, [](std::uint8_t b) { return b == 0xFF; });
        record_.unique_id_length = blank ? 0 : length;
        return true;
    }

    bool read_status() {
        int status = fast_read_status_word(&link_, &record_.status_word);
        record_.status = static_cast<std::uint8_t>(record_.status_word);
        if (status != FAST_OK) {
            fail(status, "cannot read the chip's status register");
            return false;
        }
        record_.have_status = true;
        return true;
    }

    // Before anything changes sectors first_changed..last_changed: true when
    // none of them is protected, or when --unprotect cleared the protection.
    bool may_change(std::uint32_t first_changed, std::uint32_t last_changed) {
        const chip_part& part = *link_.part;
        chip_sectors locked = chip_protected_sectors(part, record_.status_word);
        std::uint32_t first = locked.first, last = locked.first + locked.count - 1;
        if (locked.count == 0 || last_changed < first || first_changed > last) {
            return true;
        }
        if (options_.unprotect) {
            return unprotect();
        }
        char text[200];
        std::string sectors = locked.count == 1 ? "sector " + std::to_string(first) + " is"
                                                : "sectors " + std::to_string(first) + "-" +
                                                      std::to_string(last) + " are";
        std::snprintf(text, sizeof text,
                      "%s write-protected (status 0x%02x, %s); --unprotect clears that for "
                      "the run",
                      sectors.c_str(), record_.status,
                      chip_protection_text(part, record_.status_word).c_str());
        refuse(text);
        return false;
    }

    // A part neither the table nor its SFDP describes is written only with
    // --force, and then with the instructions every part shares.
    bool right_chip() {
        if (record_.found == FAST_FOUND_UNKNOWN) {
            if (!options_.force) {
                refuse("unknown part: JEDEC ID " + hex_id(record_.id) +
                       " has no row in the chip table and no usable SFDP; --force to go on");
                return false;
            }
            fast_force_part(&link_, record_.id);
            record_.part = *link_.part;
            record_.have_part = true;
            record_.forced = true;
        }
        return true;
    }

    // Clears the protection when it is set; true when the chip is unprotected.
    bool unprotect() {
        if (!link_.part->status.writable) {
            refuse("the status register of this part is not known; its protection is left alone");
            return false;
        }
        int status = fast_set_protection(&link_, 0);
        if (status != FAST_OK) {
            fail(status == FAST_ERR_MISMATCH ? FAST_ERR_TRANSFER : status,
                 "cannot clear the block protection (SRWD set and W# low, or locked?)");
            return false;
        }
        protection_cleared_ = true;
        return true;
    }

    // Sets the protection back as it was; after a good run its failure fails it.
    void restore_protection() {
        if (!protection_cleared_) {
            return;
        }
        int status = fast_set_protection(&link_, record_.status_word);
        if (status != FAST_OK && record_.exit_status == 0) {
            fail(status == FAST_ERR_MISMATCH ? FAST_ERR_TRANSFER : status,
                 "cannot set the block protection back");
        }
    }

    void write() {
        if (!right_chip() || !read_status()) {
            return;
        }
        auto plan = std::make_unique<fast_plan>();
        fast_options choice{options_.erase, options_.keep_rest};
        record_.have_stats = true;
        int status = fast_plan_burn(&link_, image_->map.get(), &choice, plan.get(), &record_.stats,
                                    &progress_);
        if (status != FAST_OK) {
            fail(status, "cannot read the chip");
            return;
        }
        record_.bulk_erase = plan->chip_erase;
        std::uint32_t first = 32, last = 0;
        for (std::uint32_t s = 0; s < FAST_SECTORS; ++s) {
            if (plan->action[s] != FAST_SECTOR_SKIP) {
                first = first < s ? first : s;
                last = s;
            }
        }
        // A bulk erase is refused by the chip while any sector is protected.
        if (plan->chip_erase) {
            first = 0;
            last = 31;
        }
        if (!may_change(first, last)) {
            return;
        }
        status = fast_execute(&link_, plan.get(), &record_.stats, &progress_);
        if (status == FAST_OK) {
            done("written");
        } else {
            std::int64_t at = record_.stats.first_difference;
            fail(status, status == FAST_ERR_MISMATCH
                             ? mismatch_text(at, at < 0 ? 0xFF : plan->target[at])
                             : "USB or chip failure while writing");
        }
        restore_protection();
    }

    void verify(const image_map& expected) {
        record_.have_stats = true;
        int status = fast_verify(&link_, &expected, &record_.stats, &progress_);
        if (status == FAST_OK) {
            done(options_.command == Command::kErase ? "erased" : "verified");
        } else {
            std::int64_t at = record_.stats.first_difference;
            bool defined = at >= 0 && ((expected.defined[at >> 3] >> (at & 7)) & 1) != 0;
            fail(status, status == FAST_ERR_MISMATCH
                             ? mismatch_text(at, defined ? expected.bytes[at] : 0xFF)
                             : "USB or chip failure while reading");
        }
    }

    // The first difference, with the chip's byte there and the one it should
    // hold (the chip's own bit order).
    std::string mismatch_text(std::int64_t address, std::uint8_t wanted) {
        char text[120];
        std::snprintf(text, sizeof text, "the chip differs at 0x%06llx",
                      static_cast<unsigned long long>(address < 0 ? 0 : address));
        std::string out = text;
        std::uint8_t byte = 0;
        if (address >= 0 &&
            fast_read(&link_, static_cast<std::uint32_t>(address), &byte, 1, nullptr) == FAST_OK) {
            std::snprintf(text, sizeof text, " (chip 0x%02x, should be 0x%02x)", byte, wanted);
            out += text;
        }
        return out;
    }

    void read() {
        auto chip = std::make_unique<std::uint8_t[]>(FAST_CHIP_SIZE);
        record_.have_stats = true;
        record_.stats.first_difference = -1;
        std::uint64_t start = d2xx_clock_ms();
        int status = fast_read(&link_, 0, chip.get(), FAST_CHIP_SIZE, &progress_);
        record_.stats.seconds_read = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
        if (status != FAST_OK) {
            fail(status, "USB or chip failure while reading");
            return;
        }
        record_.stats.bytes_moved = FAST_CHIP_SIZE;
        std::string error;
        if (!save_chip(options_.path, chip.get(), options_.raw, error)) {
            refuse(error);
            record_.result = "failed";
            return;
        }
        done("read");
    }

    void erase() {
        if (!right_chip() || !read_status() || !may_change(0, 31)) {
            return;
        }
        std::uint64_t start = d2xx_clock_ms();
        int status = fast_chip_erase(&link_, &progress_);
        double seconds = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
        if (status != FAST_OK) {
            fail(status, "USB or chip failure while erasing");
        } else {
            auto blank = std::make_unique<image_map>();  // no record: 0xFF throughout
            std::memset(blank->bytes, 0xFF, sizeof blank->bytes);
            verify(*blank);
            record_.bulk_erase = true;
            record_.stats.sectors_erased = FAST_SECTORS;
        }
        record_.stats.seconds_erase = seconds;
        restore_protection();
    }

    const Options& options_;
    const LoadedImage* image_;
    BoardRecord& record_;
    fast_link& link_;
    const fast_progress& progress_;
    bool protection_cleared_ = false;
};

}  // namespace

std::uint32_t first_protected_sector(std::uint8_t status) {
    return chip_first_protected_sector(CHIP_M25P16, status);
}

chip_sectors protected_sectors(const BoardRecord& record) {
    return chip_protected_sectors(record.have_part ? record.part : CHIP_M25P16, record.status_word);
}

BoardRecord run_board(const Job& job, const Board& board, int slot, Progress& progress) {
    BoardRecord record;
    record.board = board;
    FT_HANDLE handle = nullptr;
    if (FT_Open(static_cast<int>(board.index), &handle) != FT_OK) {
        record.result = "failed";
        record.exit_status = 1;
        record.message = "cannot open the device (in use, or unplugged?)";
        return record;
    }
    std::uint64_t start = d2xx_clock_ms();
    Callback callback{&progress, slot};
    fast_progress hooks{on_report, on_stop, &callback};
    auto link = std::make_unique<fast_link>();  // the transport's buffers: not on a stack
    if (fast_open(handle, job.options->clock_hz, link.get()) != FAST_OK) {
        record.result = "failed";
        record.exit_status = 2;
        record.message = "cannot set the FT2232H up for SPI";
    } else {
        record.clock_hz = link->clock_hz;
        BoardRun(job, record, *link, hooks).run();
        fast_close(link.get());
    }
    record.seconds = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
    FT_Close(handle);
    if (record.exit_status == 0 && interrupt_status() != 0 && record.result.empty()) {
        record.result = "interrupted";
        record.exit_status = interrupt_status();
    }
    return record;
}
