#include "dom.h"

#include <algorithm>
#include <cstdlib>

std::string element_html(const std::string& dom, const std::string& id) {
    const std::size_t attribute = dom.find("id=\"" + id + "\"");
    if (attribute == std::string::npos) {
        return "";
    }
    const std::size_t start = dom.rfind('<', attribute);
    const std::size_t name_end = dom.find_first_of(" >", start);
    const std::string tag = dom.substr(start + 1, name_end - start - 1);
    int depth = 0;
    for (std::size_t at = start; at < dom.size();) {
        const std::size_t open = dom.find("<" + tag, at);
        const std::size_t close = dom.find("</" + tag + ">", at);
        if (close == std::string::npos) {
            return "";
        }
        const bool opens = open < close &&
                           (dom[open + tag.size() + 1] == ' ' || dom[open + tag.size() + 1] == '>');
        if (open < close && !opens) {
            at = open + 1;  // <th> inside a <table>: another tag, same prefix
            continue;
        }
        if (opens) {
            ++depth;
            at = open + 1;
            continue;
        }
        if (--depth == 0) {
            return dom.substr(start, close + tag.size() + 3 - start);
        }
        at = close + 1;
    }
    return "";
}

std::string element_text(const std::string& dom, const std::string& id) {
    const std::string html = element_html(dom, id);
    std::string text;
    bool in_tag = false;
    for (char c : html) {
        if (c == '<') {
            in_tag = true;
        } else if (c == '>') {
            in_tag = false;
        } else if (!in_tag) {
            text += c;
        }
    }
    return text;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

std::size_t body_rows(const std::string& dom, const std::string& id) {
    const std::string table = element_html(dom, id);
    const std::size_t body = table.find("<tbody");
    return body == std::string::npos ? 0 : occurrences(table.substr(body), "<tr");
}

int most_bars(const std::string& dom) {
    int most = 0;
    const std::string key = "data-bars=\"";
    for (std::size_t at = dom.find(key); at != std::string::npos; at = dom.find(key, at + 1)) {
        const std::size_t tag = dom.rfind('<', at);
        if (tag != std::string::npos && dom.compare(tag, 4, "<svg") == 0) {
            most = std::max(most, std::atoi(dom.c_str() + at + key.size()));
        }
    }
    return most;
}
