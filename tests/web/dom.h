// Reading a page's DOM as Chromium dumped it: an element's text, a table's
// rows, the charts' bars. Enough for the page's own markup, no more.
#pragma once

#include <string>

// The HTML of the element whose id is `id` (from its start tag to the end of
// the first `</TAG>` that balances it); "" when there is none.
std::string element_html(const std::string& dom, const std::string& id);
// The text of that element with every tag taken out (entities left as they are).
std::string element_text(const std::string& dom, const std::string& id);
// The <tr> rows in the body of the table whose id is `id`.
std::size_t body_rows(const std::string& dom, const std::string& id);
// How many times `what` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& what);
// The largest data-bars of the page's SVG charts: bars drawn for data.
int most_bars(const std::string& dom);
