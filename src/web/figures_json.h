// The figures as the page's script reads them (figures.json, and the
// report's inline data).
#pragma once

#include <string>
#include <vector>

#include "web/figures.h"

// `live`: the page polls (the report does not); `now`: when the figures were
// read, as the store writes times, from which each station's age is counted.
std::string figures_json(const Figures& figures, bool live, const std::string& now);
// A board's history as search.json answers it.
std::string search_json(const std::string& query, const std::vector<StoreRecord>& records);
// {"error": "..."}: what the page shows when the store did not answer.
std::string error_json(const std::string& error);
