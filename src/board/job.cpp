#include "board/job.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "d2xx/d2xx.h"
#include "host/interrupt.h"

namespace {

struct Callback {
    Progress* progress;
    int slot;
    const char* phase;  // the last one reported: where a failure happened
};

// How many differing ranges a mismatch names.
constexpr std::size_t kRangesShown = 4;

void on_report(void* context, const char* phase, std::uint64_t done, std::uint64_t total) {
    auto* callback = static_cast<Callback*>(context);
    callback->phase = phase;
    callback->progress->phase(callback->slot, phase, done, total);
}

bool on_stop(void*) {
    return interrupt_status() != 0;
}

void on_retry(void* context, const char* phase, std::uint32_t address, const char* cause) {
    auto* callback = static_cast<Callback*>(context);
    char text[160];
    std::snprintf(text, sizeof text, "retrying %s at 0x%06x: %s", phase,
                  static_cast<unsigned>(address), cause);
    callback->progress->note(callback->slot, text);
}

std::string unplugged_text(const nor_chip& link) {
    char text[120];
    std::snprintf(text, sizeof text, "the board was unplugged during %s at 0x%06x", link.phase,
                  static_cast<unsigned>(link.address));
    return text;
}

std::string hex_id(const std::uint8_t id[3]) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x %02x %02x", id[0], id[1], id[2]);
    return text;
}

// A board's run between nor_open and link_close.
class BoardRun {
  public:
    BoardRun(const Job& job, BoardRecord& record, nor_chip& link, const link_progress& progress,
             Progress& display, int slot)
        : display_(display),
          slot_(slot),
          options_(*job.options),
          image_(job.image),
          record_(record),
          link_(link),
          progress_(progress) {}

    void run() {
        if (!read_id()) {
            return;
        }
        if (!read_unique_id()) {
            return;
        }
        switch (options_.task) {
            case Task::kId:
                if (read_status()) {
                    done("identified");
                }
                break;
            case Task::kWrite:
                write();
                break;
            case Task::kVerify:
                verify(*image_->map);
                break;
            case Task::kRead:
                read();
                break;
            case Task::kErase:
                erase();
                break;
            case Task::kProtect:
                if (right_chip() && read_status() && protect()) {
                    done("protected");
                }
                break;
            case Task::kUnprotect:
                if (right_chip() && read_status()) {
                    clear_all_protection();
                }
                break;
        }
    }

  private:
    // Ends the run with `status` from the transport (or a refusal).
    void fail(int status, const std::string& message) {
        if (record_.phase.empty()) {
            const char* last = static_cast<Callback*>(progress_.context)->phase;
            record_.phase = step_ != nullptr ? step_ : last != nullptr ? last : "identify";
        }
        if (link_.gone) {
            record_.result = "failed";
            record_.exit_status = 2;
            record_.message = unplugged_text(link_);
            return;
        }
        if (interrupt_status() != 0 && status != LINK_OK) {
            record_.result = "interrupted";
            record_.exit_status = interrupt_status();
            record_.message = "interrupted";
            return;
        }
        record_.result = status == LINK_ERR_MISMATCH ? "mismatch" : "failed";
        record_.exit_status = status == LINK_ERR_MISMATCH ? 3 : 2;
        record_.message = message;
    }
    void refuse(const std::string& message) {
        record_.result = "refused";
        record_.exit_status = 1;
        record_.message = message;
        record_.phase = record_.phase.empty() ? "check" : record_.phase;
    }
    void done(const char* result) {
        record_.result = result;
        record_.exit_status = 0;
    }

    bool read_id() {
        nor_identity identity{};
        int status = nor_identify(&link_, &identity);
        if (status != LINK_OK) {
            fail(status, "cannot read the chip's JEDEC ID");
            return false;
        }
        std::memcpy(record_.id, identity.id, 3);
        record_.found = identity.found;
        record_.sfdp_read = identity.sfdp_read;
        if (identity.found == NOR_FOUND_NONE) {
            fail(LINK_ERR_TRANSFER, "no flash chip answers (JEDEC ID " + hex_id(record_.id) + ")");
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
        std::uint8_t id[NOR_UNIQUE_ID_MAX] = {};
        std::uint32_t length = 0;
        int status = nor_read_unique_id(&link_, id, &length);
        if (status != LINK_OK) {
            fail(status, "cannot read the chip's unique ID");
            return false;
        }
        const bool blank = std::all_of(id, id + length, [](std::uint8_t b) { return b == 0; }) ||
                           std::all_of(id, id + length, [](std::uint8_t b) { return b == 0xFF; });
        record_.unique_id.clear();
        for (std::uint32_t i = 0; i < length && !blank; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", id[i]);
            record_.unique_id += hex;
        }
        return true;
    }

    // After a good run: BP over the whole chip (SRWD too with --lock), read back.
    bool protect() {
        step_ = "protect";
        std::uint16_t now = 0;
        int status = nor_protect_all(&link_, options_.lock, &now);
        record_.status_word = now;
        record_.status = static_cast<std::uint8_t>(now);
        record_.have_status = true;
        note_protection(now);
        if (status != LINK_OK || !record_.is_protected) {
            fail(status == LINK_OK ? LINK_ERR_TRANSFER : status,
                 "cannot set the block protection (SRWD set and W# low?)");
            return false;
        }
        step_ = nullptr;
        return true;
    }

    void clear_all_protection() {
        step_ = "protect";
        std::uint16_t now = 0;
        int status = nor_unprotect_all(&link_, &now);
        record_.status_word = now;
        record_.status = static_cast<std::uint8_t>(now);
        note_protection(now);
        if (status != LINK_OK || record_.is_protected || record_.locked ||
            chip_protected_sectors(*link_.part, now).count != 0) {
            fail(status == LINK_OK ? LINK_ERR_TRANSFER : status,
                 "cannot clear the block protection (SRWD set and W# low?)");
            return;
        }
        step_ = nullptr;
        done("unprotected");
    }

    void note_protection(std::uint16_t status) {
        const chip_part& part = *link_.part;
        const chip_sectors covered = chip_protected_sectors(part, status);
        record_.have_protection = true;
        record_.is_protected = covered.first == 0 && covered.count == part_sectors(part);
        record_.locked = (status & part.status.srwd) != 0;
    }

    bool read_status() {
        int status = nor_read_status_word(&link_, &record_.status_word);
        record_.status = static_cast<std::uint8_t>(record_.status_word);
        if (status != LINK_OK) {
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
        if (record_.found == NOR_FOUND_UNKNOWN) {
            if (!options_.force) {
                refuse("unknown part: JEDEC ID " + hex_id(record_.id) +
                       " has no row in the chip table and no usable SFDP; --force to go on");
                return false;
            }
            nor_force_part(&link_, record_.id);
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
        int status = nor_set_protection(&link_, 0);
        if (status != LINK_OK) {
            fail(status == LINK_ERR_MISMATCH ? LINK_ERR_TRANSFER : status,
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
        int status = nor_set_protection(&link_, record_.status_word);
        if (status != LINK_OK && record_.exit_status == 0) {
            fail(status == LINK_ERR_MISMATCH ? LINK_ERR_TRANSFER : status,
                 "cannot set the block protection back");
        }
    }

    void write() {
        if (!right_chip() || !read_status()) {
            return;
        }
        auto plan = std::make_unique<plan_burn>();
        plan_options choice{options_.erase, options_.keep_rest};
        record_.have_stats = true;
        estimate_first(*plan);
        int status = fast_plan_burn(&link_, image_->map.get(), &choice, plan.get(), &record_.stats,
                                    &progress_);
        if (status != LINK_OK) {
            fail(status, "cannot read the chip");
            return;
        }
        estimate(*plan, plan->chip_erase, false);
        record_.bulk_erase = plan->chip_erase;
        classify(*plan);
        const SectorSpan changes = planned_changes(*plan, sectors());
        if (!may_change(changes.first, changes.last)) {
            return;
        }
        record_.changed = changes.first <= changes.last;
        status = fast_execute(&link_, plan.get(), &record_.stats, &progress_);
        if (status == LINK_OK) {
            done("written");
        } else {
            fail(status, status == LINK_ERR_MISMATCH ? mismatch_text(plan->target)
                                                     : "USB or chip failure while writing");
        }
        restore_protection();
        if (record_.exit_status != 0) {
            return;
        }
        if (options_.protect) {
            protect();
        } else {
            std::uint16_t now = record_.status_word;
            if (protection_cleared_ || nor_read_status_word(&link_, &now) == LINK_OK) {
                note_protection(now);
            }
        }
    }

    // Before the chip is read, the rest of the run as it most often goes:
    // the sectors the image touches erased (an older firmware there), the
    // rest already blank. Refined once the chip has been read.
    void estimate_first(plan_burn& plan) {
        std::memcpy(plan.target, image_->map->bytes, sizeof plan.target);
        std::memset(plan.chip, 0x00, sizeof plan.chip);
        plan.chip_known = true;
        for (std::uint32_t s = 0; s < sectors(); ++s) {
            plan.action[s] =
                plan_sector_touched(image_->map->defined, s) ? PLAN_SECTOR_ERASE : PLAN_SECTOR_SKIP;
        }
        estimate(plan, options_.erase == PLAN_ERASE_CHIP, true);
    }

    // The rest of the run by `plan`, at the part's own times.
    void estimate(const plan_burn& plan, bool bulk, bool after_read) {
        const std::uint64_t ns = fast_estimate_ns(&plan, *link_.part, bulk, link_.clock_hz);
        display_.estimate(slot_, static_cast<double>(ns) / 1e9, after_read);
    }

    // Every sector in one class: erased, programmed without an erase, already
    // right, or outside the image and kept.
    void classify(const plan_burn& plan) {
        for (std::uint32_t s = 0; s < sectors() && !plan.chip_erase; ++s) {
            if (plan.action[s] == PLAN_SECTOR_PROGRAM) {
                ++record_.sectors_programmed;
            } else if (plan.action[s] == PLAN_SECTOR_SKIP) {
                ++(options_.keep_rest && !plan_sector_touched(image_->map->defined, s)
                       ? record_.sectors_untouched
                       : record_.sectors_right);
            }
        }
    }

    void verify(const image_map& expected) {
        record_.have_stats = true;
        int status = fast_verify(&link_, &expected, &record_.stats, &progress_);
        if (status == LINK_OK) {
            done(options_.task == Task::kErase ? "erased" : "verified");
        } else {
            // The image map holds 0xFF wherever the image gives no byte.
            fail(status, status == LINK_ERR_MISMATCH ? mismatch_text(expected.bytes)
                                                     : "USB or chip failure while reading");
        }
    }

    // A byte as the image file holds it: bit-reversed back, unless the image
    // is the chip's own bytes.
    std::uint8_t image_form(std::uint8_t chip_byte) const {
        return options_.raw ? chip_byte : static_cast<std::uint8_t>(reverse_bits(chip_byte));
    }

    // The mismatch in the image's terms: how many bytes differ from `wanted`
    // (what the chip should hold, chip form), the first with both values as
    // the image holds them, and the first few differing ranges.
    std::string mismatch_text(const std::uint8_t* wanted) {
        auto chip = std::make_unique<std::uint8_t[]>(CHIP_MAX_SIZE);
        std::int64_t first = record_.stats.first_difference;
        char text[160];
        if (nor_read(&link_, 0, chip.get(), chip_size(), nullptr) != LINK_OK) {
            std::snprintf(text, sizeof text, "the chip differs at 0x%06llx",
                          static_cast<unsigned long long>(first < 0 ? 0 : first));
            return text;
        }
        for (std::uint32_t a = 0; a < chip_size(); ++a) {
            if (chip[a] == wanted[a]) {
                continue;
            }
            if (record_.differing_bytes++ == 0) {
                first = a;
            }
            std::vector<ByteRange>& ranges = record_.differing;
            if (!ranges.empty() && ranges.back().end == a) {
                ++ranges.back().end;
            } else if (ranges.size() < kRangesShown + 1) {
                ranges.push_back({a, a + 1});  // one more than shown: "and more"
            }
        }
        if (record_.differing_bytes == 0) {
            // Read right the second time: what the first read saw is all there is.
            std::snprintf(text, sizeof text, "the chip read differently at 0x%06llx once",
                          static_cast<unsigned long long>(first < 0 ? 0 : first));
            return text;
        }
        record_.stats.first_difference = first;
        auto at = static_cast<std::uint32_t>(first);
        bool erasing = options_.task == Task::kErase;
        std::snprintf(text, sizeof text,
                      "the chip differs from %s in %llu byte%s, first at 0x%06x (chip "
                      "0x%02x, %s 0x%02x)",
                      erasing ? "the erased state" : "the image",
                      static_cast<unsigned long long>(record_.differing_bytes),
                      record_.differing_bytes == 1 ? "" : "s", at, image_form(chip[at]),
                      erasing ? "erased" : "image", image_form(wanted[at]));
        std::string out = text;
        bool more = record_.differing.size() > kRangesShown;
        if (more) {
            record_.differing.pop_back();
        }
        out += "; at";
        for (std::size_t i = 0; i < record_.differing.size(); ++i) {
            const ByteRange& range = record_.differing[i];
            std::snprintf(text, sizeof text, "%s 0x%06x", i == 0 ? "" : ",", range.start);
            out += text;
            if (range.end - range.start > 1) {
                std::snprintf(text, sizeof text, "-0x%06x", range.end - 1);
                out += text;
            }
        }
        return out + (more ? " and more" : "");
    }

    void read() {
        auto chip = std::make_unique<std::uint8_t[]>(CHIP_MAX_SIZE);
        record_.have_stats = true;
        record_.stats.first_difference = -1;
        std::uint64_t start = d2xx_clock_ms();
        int status = nor_read(&link_, 0, chip.get(), chip_size(), &progress_);
        record_.stats.seconds_read = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
        if (status != LINK_OK) {
            fail(status, "USB or chip failure while reading");
            return;
        }
        record_.stats.bytes_moved = chip_size();
        std::string error;
        if (!save_chip(record_.output, chip.get(), options_.raw, error)) {
            refuse(error);
            record_.result = "failed";
            return;
        }
        done("read");
    }

    void erase() {
        if (!right_chip() || !read_status() || !may_change(0, sectors() - 1)) {
            return;
        }
        std::uint64_t start = d2xx_clock_ms();
        record_.changed = true;
        int status = nor_chip_erase(&link_, &progress_);
        double seconds = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
        if (status != LINK_OK) {
            fail(status, "USB or chip failure while erasing");
        } else {
            auto blank = std::make_unique<image_map>();  // no record: 0xFF throughout
            std::memset(blank->bytes, 0xFF, sizeof blank->bytes);
            verify(*blank);
            record_.bulk_erase = true;
            record_.stats.sectors_erased = sectors();
        }
        record_.stats.seconds_erase = seconds;
        restore_protection();
    }

    // The part driven: its sectors and size (the transport holds at most CHIP_MAX_SIZE).
    std::uint32_t sectors() const { return part_sectors(*link_.part); }
    std::uint32_t chip_size() const { return sectors() * CHIP_SECTOR_SIZE; }

    Progress& display_;
    int slot_;
    const JobOptions& options_;
    const LoadedImage* image_;
    BoardRecord& record_;
    nor_chip& link_;
    const link_progress& progress_;
    bool protection_cleared_ = false;
    const char* step_ = nullptr;  // a step outside the transport's phases
};

}  // namespace

void Progress::note(int slot, const std::string& line) {
    std::fprintf(stderr, "board %d: %s\n", slot, line.c_str());
}

const char* task_name(Task task) {
    static const char* const kNames[] = {"id",    "write",   "verify",   "read",
                                         "erase", "protect", "unprotect"};
    return kNames[static_cast<int>(task)];
}

std::uint32_t part_sectors(const chip_part& part) {
    return std::min(part.size, CHIP_MAX_SIZE) / CHIP_SECTOR_SIZE;
}

SectorSpan planned_changes(const plan_burn& plan, std::uint32_t sectors) {
    // A bulk erase is refused by the chip while any sector is protected.
    if (plan.chip_erase) {
        return {0, sectors - 1};
    }
    SectorSpan span{sectors, 0};
    for (std::uint32_t s = 0; s < sectors; ++s) {
        if (plan.action[s] != PLAN_SECTOR_SKIP) {
            span.first = std::min(span.first, s);
            span.last = s;
        }
    }
    return span;
}

BoardRecord unopened_record(const Board& board, bool may_be_gone) {
    BoardRecord record;
    record.board = board;
    record.result = "failed";
    record.exit_status = 1;
    record.phase = "open";
    record.message = may_be_gone ? "cannot open the device (in use, or unplugged?)"
                                 : "cannot open the device (in use?)";
    return record;
}

int worse_status(int a, int b) {
    auto rank = [](int status) { return status > 3 ? 4 : status; };
    return rank(b) > rank(a) ? b : a;
}

BoardRecord run_board(const Job& job, const Board& board, int slot, Progress& progress,
                      const std::string& output) {
    FT_HANDLE handle = nullptr;
    if (FT_Open(static_cast<int>(board.index), &handle) != FT_OK) {
        return unopened_record(board, true);
    }
    return run_opened_board(job, board, handle, slot, progress, output);
}

BoardRecord run_opened_board(const Job& job, const Board& board, FT_HANDLE handle, int slot,
                             Progress& progress, const std::string& output) {
    BoardRecord record;
    record.board = board;
    record.output = output.empty() ? job.options->path : output;
    std::uint64_t start = d2xx_clock_ms();
    Callback callback{&progress, slot, nullptr};
    link_progress hooks{on_report, on_stop, &callback, on_retry};
    auto link = std::make_unique<nor_chip>();  // the transport's buffers: not on a stack
    link->location = board.location;
    link->watcher = &hooks;
    if (nor_open(handle, job.options->clock_hz, link.get()) != LINK_OK) {
        record.result = "failed";
        record.exit_status = 2;
        record.message = link->gone ? unplugged_text(*link) : "cannot set the FT2232H up for SPI";
        record.phase = "setup";
    } else {
        record.clock_hz = link->clock_hz;
        BoardRun(job, record, *link, hooks, progress, slot).run();
    }
    link_close(link.get());  // the pins released whatever failed, while the board takes writes
    record.retries = link->retries;
    record.retry_log.assign(link->retry_log,
                            link->retry_log + std::min(link->retries, LINK_RETRY_LOG));
    record.seconds = static_cast<double>(d2xx_clock_ms() - start) / 1000.0;
    FT_Close(handle);
    if (record.exit_status == 0 && interrupt_status() != 0 && record.result.empty()) {
        record.result = "interrupted";
        record.exit_status = interrupt_status();
    }
    return record;
}
