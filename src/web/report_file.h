// hexflash report --html: the figures of a period as one HTML file that
// opens offline, for mailing.
#pragma once

#include <optional>
#include <string>

#include "store/store.h"

struct ReportRequest {
    std::optional<std::string> since;  // as typed; none: 24 hours before now
    std::optional<std::string> until;  // as typed; none: now
    std::string out;                   // the HTML file
};

// The exit status: 0 once the file is written whole, 1 when a time, the
// store or the file does not allow it (one line on standard error says why).
int web_report(const StoreUrl& url, const ReportRequest& request, const std::string& version);
