// A board record's fields, each worded here once: the JSON record, the
// production log and the summary line all take them from here, so that a
// fact (the JEDEC ID, the protection, the erase mode...) reads the same in
// each. Every value is JSON text; a writer picks the fields it shows and
// names them.
#pragma once

#include <cstdint>
#include <string>

#include "board/job.h"
#include "board/record.h"
#include "chip/chip.h"
#include "image/image_file.h"

// What a field is written from.
struct RecordView {
    const JobOptions& options;
    const LoadedImage* image;  // write and verify (and watch): the image burned
    const BoardRecord& record;
    bool has_board;  // false: refused before any board was chosen
};

// A field as a writer shows it: its key, its value, and whether it is there
// at all (null: always).
struct RecordField {
    const char* key;
    std::string (*value)(const RecordView& view);
    bool (*shown)(const RecordView& view) = nullptr;
};

// Text the host gave (a path, a serial, a message naming either) as a JSON
// string: UTF-8 whatever the host's code page.
std::string host_json_string(const std::string& text);

// The values behind the fields, for the summary line.
// The sectors the record's protection bits cover, decoded by the part's
// own layout (none when no part was identified).
chip_sectors protected_sectors(const BoardRecord& record);
// "auto", "chip" or "none".
const char* erase_mode_name(plan_erase_mode mode);
// The JEDEC ID in hex, its three bytes apart by `separator`: "ef 40 15".
std::string jedec_hex(const BoardRecord& record, const char* separator);

// --- the fields -------------------------------------------------------------------------
std::string field_command(const RecordView& view);
std::string field_device(const RecordView& view);  // the board, or null
std::string field_location(const RecordView& view);
std::string field_serial(const RecordView& view);
std::string field_jedec_id(const RecordView& view);  // "202015", null before the ID is read
std::string field_unique_id(const RecordView& view);
std::string field_status_register(const RecordView& view);
std::string field_protected_sectors(const RecordView& view);  // [first, last], [] or null
std::string field_part(const RecordView& view);  // the table's name, "SFDP part", "unknown part"
std::string field_chip(const RecordView& view);  // the name of the part driven, or null
std::string field_source(const RecordView& view);
std::string field_sfdp_read(const RecordView& view);
std::string field_erase_types(const RecordView& view);
std::string field_image(const RecordView& view);  // path, digest, records, ranges; or null
std::string field_image_path(const RecordView& view);  // as given; null without an image
std::string field_image_sha256(const RecordView& view);
std::string field_output(const RecordView& view);
std::string field_raw(const RecordView& view);
std::string field_erase_mode(const RecordView& view);
std::string field_keep_rest(const RecordView& view);
std::string field_bulk_erase(const RecordView& view);
std::string field_sectors_erased(const RecordView& view);
std::string field_sectors_skipped(const RecordView& view);
std::string field_sectors_programmed(const RecordView& view);
std::string field_sectors_already_right(const RecordView& view);
std::string field_sectors_untouched(const RecordView& view);
std::string field_pages_programmed(const RecordView& view);
std::string field_pages_skipped(const RecordView& view);
std::string field_phase_seconds(const RecordView& view);  // per phase, and the total
std::string field_seconds(const RecordView& view);        // the total
std::string field_bytes_moved(const RecordView& view);
std::string field_bytes_per_second(const RecordView& view);
std::string field_clock_hz(const RecordView& view);
std::string field_protected(const RecordView& view);  // true, false, or null when not read back
std::string field_result(const RecordView& view);
std::string field_verdict(const RecordView& view);  // "passed", "failed" or "interrupted"
std::string field_exit_status(const RecordView& view);
std::string field_failed_phase(const RecordView& view);  // where a failed run ended, or null
std::string field_first_difference(const RecordView& view);
std::string field_differing_bytes(const RecordView& view);
std::string field_differing_ranges(const RecordView& view);
std::string field_message(const RecordView& view);
std::string field_failure(const RecordView& view);  // the message of a failed run, or null
std::string field_retries(const RecordView& view);  // {"count": N, "first": [...]}

// The JSON object of one board's record (hexflash(1) documents the keys),
// one key a line.
std::string json_record(const RecordView& view);
// The erase types of `part` as JSON: [{"opcode": "20", "bytes": 4096}, ...],
// the chip erase with the chip's size.
std::string erase_types_json(const chip_part& part);
