#include "hexflash/pool.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "identity/fields.h"
#include "identity/pool_text.h"
#include "identity/pools.h"
#include "json/json.h"

namespace {

int refuse(const std::string& message) {
    std::fprintf(stderr, "hexflash: %s\n", message.c_str());
    return 1;
}

// The store the options name (the default one else): open, or nullptr after saying why.
std::unique_ptr<RecordStore> open_store(const Options& options, RecordStore::Mode mode,
                                        StoreUrl& url) {
    std::string error;
    if (!store_url(options.db, url, error)) {
        refuse(error);
        return nullptr;
    }
    if (url.kind == StoreUrl::Kind::kNone) {
        refuse("the pools are in the record store; --db none names none");
        return nullptr;
    }
    std::unique_ptr<RecordStore> store = RecordStore::open(url, mode, error);
    if (store == nullptr) {
        refuse(error);
    }
    return store;
}

// The pool to add, checked whole before the store is opened.
bool pool_to_add(const PoolArgs& args, Pool& pool, std::string& error) {
    pool.name = args.name;
    return check_pool_name(args.name, error) &&
           parse_form(args.form, args.prefix, pool.form, error) &&
           parse_value(pool.form, args.first, pool.first, error) &&
           parse_value(pool.form, args.last, pool.last, error) &&
           check_range(pool.form, pool.first, pool.last, error);
}

int add(const Options& options) {
    Pool pool;
    std::string error;
    if (!pool_to_add(options.pool, pool, error)) {
        return refuse("pool add: " + error);
    }
    StoreUrl url;
    std::unique_ptr<RecordStore> store = open_store(options, RecordStore::Mode::kReadWrite, url);
    if (store == nullptr) {
        return 1;
    }
    pool.created = store_time_now();
    if (!PoolStore(store->sql()).add(pool, error)) {
        return refuse(store_url_text(url) + ": " + error);
    }
    std::printf("pool %s: %s, %s..%s\n", pool.name.c_str(), form_text(pool.form).c_str(),
                value_text(pool.form, pool.first).c_str(),
                value_text(pool.form, pool.last).c_str());
    return 0;
}

std::string pool_json(const Pool& pool, const PoolCounts& counts) {
    return JsonObject()
        .add("name", json_string(pool.name))
        .add("form", json_string(form_text(pool.form)))
        .add("prefix", json_string(pool.form.prefix))
        .add("first", json_string(value_text(pool.form, pool.first)))
        .add("last", json_string(value_text(pool.form, pool.last)))
        .add("issued", json_number(counts.issued))
        .add("spoiled", json_number(counts.spoiled))
        .add("reserved", json_number(counts.reserved))
        .add("released", json_number(counts.released))
        .add("left", json_number(counts.left))
        .line();
}

int list(const Options& options) {
    StoreUrl url;
    std::unique_ptr<RecordStore> store = open_store(options, RecordStore::Mode::kReadOnly, url);
    if (store == nullptr) {
        return 1;
    }
    std::vector<Pool> pools;
    std::vector<PoolCounts> counts;
    std::string error;
    if (!PoolStore(store->sql()).list(pools, counts, error)) {
        return refuse(store_url_text(url) + ": " + error);
    }
    if (!options.json) {
        std::fputs(pool_table(pools, counts).c_str(), stdout);
        return 0;
    }
    std::vector<std::string> items;
    for (std::size_t i = 0; i < pools.size(); ++i) {
        items.push_back(pool_json(pools[i], counts[i]));
    }
    std::printf("{\"pools\": %s}\n", json_array(items).c_str());
    return 0;
}

int show(const Options& options) {
    StoreUrl url;
    std::unique_ptr<RecordStore> store = open_store(options, RecordStore::Mode::kReadOnly, url);
    if (store == nullptr) {
        return 1;
    }
    PoolStore pools(store->sql());
    Pool pool;
    bool found = false;
    std::string error;
    if (!pools.get(options.pool.name, pool, found, error)) {
        return refuse(store_url_text(url) + ": " + error);
    }
    if (!found) {
        return refuse("no pool " + options.pool.name + " in " + store_url_text(url));
    }
    std::uint64_t number = 0;
    if (!parse_value(pool.form, options.pool.value, number, error)) {
        return refuse("pool show: " + error);
    }
    if (number < pool.first || number > pool.last) {
        return refuse(value_text(pool.form, number) + " is not in pool " + pool.name + " (" +
                      value_text(pool.form, pool.first) + ".." + value_text(pool.form, pool.last) +
                      ")");
    }
    PoolValue row;
    if (!pools.value(pool, number, row, found, error)) {
        return refuse(store_url_text(url) + ": " + error);
    }
    if (!options.json) {
        std::fputs(pool_value_text(pool, number, found ? &row : nullptr).c_str(), stdout);
        return 0;
    }
    JsonObject out;
    out.add("pool", json_string(pool.name))
        .add("value", json_string(value_text(pool.form, number)))
        .add("state", json_string(found ? row.state : "free"));
    if (found) {
        out.add("unique_id", row.unique_id.empty() ? "null" : json_string(row.unique_id))
            .add("run_id", json_string(row.run_id))
            .add("host", json_string(row.host))
            .add("location", json_number(row.location))
            .add("reserved", json_string(row.reserved))
            .add("updated", json_string(row.updated))
            .add("stale", json_bool(row.stale));
    }
    std::printf("%s\n", out.line().c_str());
    return 0;
}

}  // namespace

int pool_command(const Options& options) {
    if (options.pool.action == "add") {
        return add(options);
    }
    return options.pool.action == "list" ? list(options) : show(options);
}
