#include "web/figures_json.h"

#include <cstdio>

#include "json/json.h"

namespace {

std::string text_or_null(const std::optional<std::string>& value) {
    return value ? json_string(*value) : std::string(kJsonNull);
}

const char* unit_name(BucketUnit unit) {
    return unit == BucketUnit::kHour ? "hour" : unit == BucketUnit::kDay ? "day" : "month";
}

JsonObject& add_tally(JsonObject& object, const Tally& tally) {
    return object.add("passed", json_number(tally.passed))
        .add("failed", json_number(tally.failed))
        .add("interrupted", json_number(tally.interrupted));
}

std::string record_json(const StoreRecord& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    JsonObject object;
    object.add("run_id", json_string(r.run_id))
        .add("time", json_string(r.time))
        .add("host", json_string(r.host))
        .add("location", json_number(r.location))
        .add("serial", json_string(r.serial))
        .add("chip", text_or_null(r.chip))
        .add("unique_id", text_or_null(r.unique_id))
        .add("image", text_or_null(r.image))
        .add("result", json_string(r.result))
        .add("exit_status", std::to_string(r.exit_status))
        .add("phase", text_or_null(r.phase))
        .add("message", text_or_null(r.message))
        .add("seconds", seconds)
        // As the store keeps them: JSON text, which the page parses.
        .add("fields", json_string(r.fields))
        .add("field_states", json_string(r.field_states));
    return object.line();
}

std::string records_json(const std::vector<StoreRecord>& records) {
    std::vector<std::string> items;
    items.reserve(records.size());
    for (const StoreRecord& record : records) {
        items.push_back(record_json(record));
    }
    return json_array(items);
}

std::string station_json(const StationView& view, long long now) {
    const StoreStation& s = view.station;
    const long long updated = figures_seconds(s.updated).value_or(now);
    JsonObject object;
    object.add("host", json_string(s.host))
        .add("location", json_number(s.location))
        .add("state", json_string(s.state))
        .add("phase", json_string(s.phase))
        .add("percent", std::to_string(s.percent))
        .add("updated", json_string(s.updated))
        .add("age", std::to_string(now > updated ? now - updated : 0));
    if (view.last) {
        const StoreRecord& r = *view.last;
        JsonObject last;
        last.add("time", json_string(r.time))
            .add("serial", json_string(r.serial))
            .add("unique_id", text_or_null(r.unique_id))
            .add("image", text_or_null(r.image))
            .add("result", json_string(r.result))
            .add("phase", text_or_null(r.phase))
            .add("message", text_or_null(r.message));
        object.add("last", last.line());
    } else {
        object.add("last", std::string(kJsonNull));
    }
    return object.line();
}

}  // namespace

std::string figures_json(const Figures& f, bool live, const std::string& now) {
    JsonObject tally;
    add_tally(tally, f.tally);
    std::vector<std::string> per_time, per_station, per_image, phases, stations;
    for (const TimeBucket& bucket : f.per_time) {
        JsonObject object;
        object.add("start", json_string(bucket.start));
        per_time.push_back(add_tally(object, bucket.tally).line());
    }
    for (const YieldRow& row : f.per_station) {
        JsonObject object;
        object.add("host", json_string(row.host)).add("location", json_number(row.location));
        per_station.push_back(add_tally(object, row.tally).line());
    }
    for (const YieldRow& row : f.per_image) {
        JsonObject object;
        object.add("image", row.host.empty() ? std::string(kJsonNull) : json_string(row.host));
        per_image.push_back(add_tally(object, row.tally).line());
    }
    for (const PhaseCount& phase : f.failed_by_phase) {
        JsonObject object;
        object.add("phase", json_string(phase.phase)).add("count", json_number(phase.count));
        phases.push_back(object.line());
    }
    const long long now_seconds = figures_seconds(now).value_or(0);
    for (const StationView& view : f.stations) {
        stations.push_back(station_json(view, now_seconds));
    }
    JsonObject out;
    out.add("live", json_bool(live))
        .add("generated", json_string(now))
        .add("since", json_string(f.since))
        .add("until", text_or_null(f.until))
        .add("unit", json_string(unit_name(f.unit)))
        .add("tally", tally.line())
        .add("per_time", json_array(per_time))
        .add("per_station", json_array(per_station))
        .add("per_image", json_array(per_image))
        .add("failed_by_phase", json_array(phases))
        .add("stations", json_array(stations))
        .add("records", records_json(f.records));
    return out.block();
}

std::string search_json(const std::string& query, const std::vector<StoreRecord>& records) {
    JsonObject out;
    out.add("query", json_string(query)).add("records", records_json(records));
    return out.block();
}

std::string error_json(const std::string& error) {
    JsonObject out;
    out.add("error", json_string(error));
    return out.line();
}
