// The page's HTML: the live page, whose script fetches the figures, and the
// report, one file with its styles, script and figures inline.
#pragma once

#include <string>
#include <string_view>

#include "web/figures.h"

// Text made safe to stand in HTML, between tags or in a quoted attribute.
std::string html_escape(std::string_view text);

// JSON text made safe inside a <script> element: no "</script>" or "<!--"
// can end or bend it (every '<' written as \u003c, which JSON reads back as '<').
std::string script_safe(std::string json);

// The live page: served at /, its style and script fetched from page.css
// and page.js beside it.
std::string page_live(const std::string& version);
// The page's own style and script ("/page.css", "/page.js"); false for
// anything else.
bool page_asset(std::string_view path, std::string_view& body, const char*& content_type);

// The report: the figures' JSON inline with everything the page needs, a
// policy that lets it load nothing, and the tally written into the HTML too,
// so that it reads even where scripts do not run.
std::string page_report(const Figures& figures, const std::string& figures_json,
                        const std::string& version);
