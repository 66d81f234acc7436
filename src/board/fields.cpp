#include "board/fields.h"

#include <cstdio>
#include <vector>

#include "host/codepage.h"
#include "json/json.h"

namespace {

std::string decimal(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

std::string null() {
    return std::string(kJsonNull);
}

// A count where the record has it, null where it has not.
std::string count_if(bool known, std::uint64_t value) {
    return known ? json_number(value) : null();
}

bool stats(const RecordView& view) {
    return view.record.have_stats;
}
// Sectors and pages only where the task writes.
bool writes(const RecordView& view) {
    return stats(view) && (view.options.task == Task::kWrite || view.options.task == Task::kErase);
}
// The classes of sectors only a write sorts into.
bool classes(const RecordView& view) {
    return stats(view) && view.options.task == Task::kWrite;
}
bool reading(const RecordView& view) {
    return view.options.task == Task::kRead;
}

std::string range_json(std::uint64_t first, std::uint64_t second) {
    return json_array({json_number(first), json_number(second)});
}

}  // namespace

std::string host_json_string(const std::string& text) {
    return json_string(host_text_to_utf8(text));
}

chip_sectors protected_sectors(const BoardRecord& record) {
    return record.have_part ? chip_protected_sectors(record.part, record.status_word)
                            : chip_sectors{0, 0};
}

const char* erase_mode_name(plan_erase_mode mode) {
    static const char* const kModes[] = {"auto", "chip", "none"};
    return kModes[mode];
}

std::string jedec_hex(const BoardRecord& record, const char* separator) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x%s%02x%s%02x", record.id[0], separator, record.id[1],
                  separator, record.id[2]);
    return text;
}

std::string erase_types_json(const chip_part& part) {
    std::vector<std::string> types;
    for (const chip_erase_type& type : part.erases) {
        if (type.opcode != 0) {
            char opcode[8];
            std::snprintf(opcode, sizeof opcode, "%02x", type.opcode);
            types.push_back(JsonObject()
                                .add("opcode", json_string(opcode))
                                .add("bytes", json_number(type.size == 0 ? part.size : type.size))
                                .line());
        }
    }
    return json_array(types);
}

// --- the fields -------------------------------------------------------------------------

std::string field_command(const RecordView& view) {
    return json_string(task_name(view.options.task));
}

std::string field_device(const RecordView& view) {
    if (!view.has_board) {
        return null();
    }
    const Board& board = view.record.board;
    return JsonObject()
        .add("serial", host_json_string(board.serial))
        .add("description", host_json_string(board.description))
        .add("location", json_number(board.location))
        .add("index", json_number(board.index))
        .add("number", json_number(board.number))
        .line();
}

std::string field_location(const RecordView& view) {
    return json_number(view.record.board.location);
}

std::string field_serial(const RecordView& view) {
    return host_json_string(view.record.board.serial);
}

std::string field_jedec_id(const RecordView& view) {
    return view.record.have_id ? json_string(jedec_hex(view.record, "")) : null();
}

std::string field_unique_id(const RecordView& view) {
    return view.record.unique_id.empty() ? null() : json_string(view.record.unique_id);
}

std::string field_status_register(const RecordView& view) {
    return count_if(view.record.have_status, view.record.status);
}

std::string field_protected_sectors(const RecordView& view) {
    if (!view.record.have_status) {
        return null();
    }
    const chip_sectors covered = protected_sectors(view.record);
    return covered.count == 0 ? "[]" : range_json(covered.first, covered.first + covered.count - 1);
}

std::string field_part(const RecordView& view) {
    const BoardRecord& record = view.record;
    return !record.have_id                    ? null()
           : record.found == NOR_FOUND_TABLE ? json_string(record.part.name)
           : record.found == NOR_FOUND_SFDP  ? json_string("SFDP part")
                                              : json_string("unknown part");
}

std::string field_chip(const RecordView& view) {
    return view.record.have_part ? json_string(view.record.part.name) : null();
}

std::string field_source(const RecordView& view) {
    const BoardRecord& record = view.record;
    return !record.have_part                 ? null()
           : record.forced                   ? json_string("forced")
           : record.found == NOR_FOUND_SFDP ? json_string("sfdp")
                                             : json_string("table");
}

std::string field_sfdp_read(const RecordView& view) {
    return json_bool(view.record.sfdp_read);
}

std::string field_erase_types(const RecordView& view) {
    return view.record.have_part ? erase_types_json(view.record.part) : null();
}

std::string field_image(const RecordView& view) {
    if (view.image == nullptr || view.image->map == nullptr) {
        return null();
    }
    std::vector<std::string> ranges;
    for (const ByteRange& range : view.image->ranges) {
        ranges.push_back(range_json(range.start, range.end));
    }
    return JsonObject()
        .add("path", field_image_path(view))
        .add("sha256", field_image_sha256(view))
        .add("data_records", json_number(view.image->map->data_records))
        .add("ranges", json_array(ranges))
        .line();
}

std::string field_image_path(const RecordView& view) {
    return view.image != nullptr ? host_json_string(view.options.path) : null();
}

std::string field_image_sha256(const RecordView& view) {
    return view.image != nullptr ? json_string(view.image->sha256) : null();
}

std::string field_output(const RecordView& view) {
    return host_json_string(view.record.output);
}

std::string field_raw(const RecordView& view) {
    return json_bool(view.options.raw);
}

std::string field_erase_mode(const RecordView& view) {
    switch (view.options.task) {
        case Task::kWrite:
            return json_string(erase_mode_name(view.options.erase));
        case Task::kErase:
            return json_string(erase_mode_name(PLAN_ERASE_CHIP));
        default:
            return null();
    }
}

std::string field_keep_rest(const RecordView& view) {
    return json_bool(view.options.keep_rest);
}

std::string field_bulk_erase(const RecordView& view) {
    return json_bool(view.record.bulk_erase);
}

std::string field_sectors_erased(const RecordView& view) {
    return count_if(writes(view), view.record.stats.sectors_erased);
}

std::string field_sectors_skipped(const RecordView& view) {
    return count_if(writes(view), view.record.stats.sectors_skipped);
}

std::string field_sectors_programmed(const RecordView& view) {
    return count_if(classes(view), view.record.sectors_programmed);
}

std::string field_sectors_already_right(const RecordView& view) {
    return count_if(classes(view), view.record.sectors_right);
}

std::string field_sectors_untouched(const RecordView& view) {
    return count_if(classes(view), view.record.sectors_untouched);
}

std::string field_pages_programmed(const RecordView& view) {
    return count_if(writes(view), view.record.stats.pages_programmed);
}

std::string field_pages_skipped(const RecordView& view) {
    return count_if(writes(view), view.record.stats.pages_skipped);
}

std::string field_phase_seconds(const RecordView& view) {
    const fast_stats& s = view.record.stats;
    return JsonObject()
        .add("read", decimal("%.3f", s.seconds_read))
        .add("erase", decimal("%.3f", s.seconds_erase))
        .add("program", decimal("%.3f", s.seconds_program))
        .add("verify", decimal("%.3f", s.seconds_verify))
        .add("total", field_seconds(view))
        .line();
}

std::string field_seconds(const RecordView& view) {
    return decimal("%.3f", view.record.seconds);
}

std::string field_bytes_moved(const RecordView& view) {
    return count_if(stats(view), view.record.stats.bytes_moved);
}

std::string field_bytes_per_second(const RecordView& view) {
    const fast_stats& s = view.record.stats;
    const double phases = s.seconds_read + s.seconds_erase + s.seconds_program + s.seconds_verify;
    return stats(view) && phases > 0 ? decimal("%.0f", static_cast<double>(s.bytes_moved) / phases)
                                     : null();
}

std::string field_clock_hz(const RecordView& view) {
    return count_if(view.record.clock_hz != 0, view.record.clock_hz);
}

std::string field_protected(const RecordView& view) {
    return view.record.have_protection ? json_bool(view.record.is_protected) : null();
}

std::string field_result(const RecordView& view) {
    return json_string(view.record.result);
}

std::string field_verdict(const RecordView& view) {
    const BoardRecord& record = view.record;
    return json_string(record.exit_status == 0          ? "passed"
                       : record.result == "interrupted" ? "interrupted"
                                                        : "failed");
}

std::string field_exit_status(const RecordView& view) {
    return std::to_string(view.record.exit_status);
}

std::string field_failed_phase(const RecordView& view) {
    const BoardRecord& record = view.record;
    return record.exit_status != 0 && !record.phase.empty() ? json_string(record.phase) : null();
}

std::string field_first_difference(const RecordView& view) {
    const std::int64_t first = view.record.stats.first_difference;
    return count_if(stats(view) && first >= 0, static_cast<std::uint64_t>(first));
}

std::string field_differing_bytes(const RecordView& view) {
    return count_if(view.record.differing_bytes != 0, view.record.differing_bytes);
}

std::string field_differing_ranges(const RecordView& view) {
    if (view.record.differing_bytes == 0) {
        return null();
    }
    std::vector<std::string> ranges;
    for (const ByteRange& range : view.record.differing) {
        ranges.push_back(range_json(range.start, range.end));
    }
    return json_array(ranges);
}

std::string field_message(const RecordView& view) {
    return view.record.message.empty() ? null() : host_json_string(view.record.message);
}

std::string field_failure(const RecordView& view) {
    return view.record.exit_status != 0 ? field_message(view) : null();
}

std::string field_retries(const RecordView& view) {
    std::vector<std::string> first;
    for (const link_retry_entry& retry : view.record.retry_log) {
        first.push_back(JsonObject()
                            .add("phase", json_string(retry.phase))
                            .add("address", json_number(retry.address))
                            .add("cause", json_string(retry.cause))
                            .line());
    }
    return JsonObject()
        .add("count", json_number(view.record.retries))
        .add("first", json_array(first))
        .line();
}

namespace {

// The JSON record, in its order.
const RecordField kRecordFields[] = {
    {"command", field_command},
    {"device", field_device},
    {"jedec_id", field_jedec_id},
    {"unique_id", field_unique_id},
    {"status_register", field_status_register},
    {"protected_sectors", field_protected_sectors},
    {"part", field_part},
    {"source", field_source},
    {"sfdp_read", field_sfdp_read},
    {"erase_types", field_erase_types},
    {"image", field_image},
    {"output", field_output, reading},
    {"raw", field_raw, reading},
    {"erase_mode", field_erase_mode},
    {"keep_rest", field_keep_rest},
    {"bulk_erase", field_bulk_erase},
    {"sectors_erased", field_sectors_erased},
    {"sectors_skipped", field_sectors_skipped},
    {"sectors_programmed", field_sectors_programmed},
    {"sectors_already_right", field_sectors_already_right},
    {"sectors_untouched", field_sectors_untouched},
    {"pages_programmed", field_pages_programmed},
    {"pages_skipped", field_pages_skipped},
    {"seconds", field_phase_seconds},
    {"bytes_moved", field_bytes_moved},
    {"bytes_per_second", field_bytes_per_second},
    {"clock_hz", field_clock_hz},
    {"protected", field_protected},
    {"result", field_result},
    {"exit_status", field_exit_status},
    {"first_difference", field_first_difference},
    {"differing_bytes", field_differing_bytes},
    {"differing_ranges", field_differing_ranges},
    {"message", field_message},
    {"retries", field_retries},
};

}  // namespace

std::string json_record(const RecordView& view) {
    JsonObject record;
    for (const RecordField& field : kRecordFields) {
        if (field.shown == nullptr || field.shown(view)) {
            record.add(field.key, field.value(view));
        }
    }
    return record.block();
}
