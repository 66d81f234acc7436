// Draws the line's figures: fetched from figures.json every 1.5 s on the live
// page, or read once from the report's inline data. Every value from the
// store goes into the page as text (textContent, setAttribute), never as
// markup: serials and image names are whatever a board or an operator gave.
"use strict";

(function () {
  // SVG's namespace as the HTML parser gave it to the page's one <svg>: the
  // page then names no address at all.
  const SVG = document.getElementById("svg-space").namespaceURI;
  const POLL_MS = 1500;
  // A search naming more boards than this (a blank serial) shows only what matched.
  const BOARDS_FOLLOWED = 8;
  const inline = document.getElementById("figures");
  let figures = null;

  // --- building the DOM ------------------------------------------------------
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, value);
    for (const child of children) node.append(child instanceof Node ? child : String(child));
    return node;
  }

  function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, String(value));
    if (text !== undefined) node.textContent = String(text);
    return node;
  }

  function setText(id, text) {
    const node = document.getElementById(id);
    if (node) node.textContent = String(text);
  }

  // --- how values read ---------------------------------------------------------
  const pad = (n, w) => String(n).padStart(w || 2, "0");

  function localTime(iso) {
    if (!iso) return "";
    const d = new Date(iso);
    if (isNaN(d)) return iso;
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) + " " +
      pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  }

  function location(n) {
    return "0x" + Number(n).toString(16).toUpperCase().padStart(4, "0");
  }

  function percent(part, whole) {
    return whole > 0 ? Math.round((1000 * part) / whole) / 10 + "%" : "–";
  }

  const total = (t) => t.passed + t.failed + t.interrupted;

  // An image as a chart names it: its file's name, shortened to fit.
  function fileName(path) {
    if (!path) return "(none)";
    const name = path.slice(Math.max(path.lastIndexOf("/"), path.lastIndexOf("\\")) + 1);
    return name.length > 28 ? name.slice(0, 27) + "…" : name;
  }

  function fieldsText(record) {
    let values = {};
    let states = {};
    try {
      values = JSON.parse(record.fields || "{}");
      states = JSON.parse(record.field_states || "{}");
    } catch (e) {
      return record.fields || "";
    }
    return Object.keys(values)
      .map((name) => name + "=" + values[name] + (states[name] ? " (" + states[name] + ")" : ""))
      .join(", ");
  }

  function ago(seconds) {
    if (seconds < 90) return Math.round(seconds) + " s ago";
    if (seconds < 5400) return Math.round(seconds / 60) + " min ago";
    return Math.round(seconds / 3600) + " h ago";
  }

  // --- tables ----------------------------------------------------------------------
  function recordRow(r) {
    return el("tr", { class: r.result },
      el("td", { class: "nowrap" }, localTime(r.time)), el("td", {}, r.host),
      el("td", {}, location(r.location)), el("td", {}, r.serial),
      el("td", { class: "mono" }, r.unique_id || ""), el("td", {}, r.chip || ""),
      el("td", { class: "nowrap" }, r.image || ""), el("td", {}, fieldsText(r)),
      el("td", { class: "result" }, r.result), el("td", {}, r.phase || ""),
      el("td", { class: "message" }, r.message || ""));
  }

  function fillRecords(table, records) {
    table.tBodies[0].replaceChildren(...records.map(recordRow));
  }

  function stationRow(s) {
    const last = s.last || {};
    const burning = s.state === "burning";
    const bar = el("div", { class: "progress" }, el("span", {}));
    bar.firstChild.style.width = Math.max(0, Math.min(100, s.percent)) + "%";
    // A watch that stopped leaves its last state behind: say how old it is.
    const stale = s.age > 10;
    return el("tr", { class: "state-" + s.state + (stale ? " stale" : "") },
      el("td", {}, s.host), el("td", {}, location(s.location)),
      el("td", { class: "state" }, s.state), el("td", {}, burning ? s.phase : ""),
      el("td", {}, burning ? bar : "", burning ? " " + s.percent + "%" : ""),
      el("td", { class: "result " + (last.result || "") }, last.result || ""),
      el("td", {}, last.serial || ""),
      el("td", { class: "message" }, last.result === "passed" ? "" :
        [last.phase, last.message].filter(Boolean).join(": ")),
      el("td", {}, ago(s.age)));
  }

  // --- charts ----------------------------------------------------------------------
  const PARTS = ["passed", "failed", "interrupted"];

  function bucketLabel(start, unit) {
    const d = new Date(start);
    if (unit === "hour") return pad(d.getHours()) + ":00";
    if (unit === "day") return pad(d.getMonth() + 1) + "-" + pad(d.getDate());
    return start.slice(0, 7);
  }

  // The axis' top: 1, 2 or 5 times a power of ten, at least `n`.
  function roundUp(n) {
    const power = Math.pow(10, Math.floor(Math.log10(n)));
    return [1, 2, 5, 10].map((k) => k * power).find((v) => v >= n);
  }

  // Stacked bars, one per hour (day, month), passed at the bottom.
  function timeChart(buckets, unit) {
    const width = 560, height = 220, left = 40, bottom = 24, top = 10;
    const plotW = width - left - 8, plotH = height - top - bottom;
    const most = roundUp(Math.max(1, ...buckets.map(total)));
    const chart = svg("svg", { class: "chart", viewBox: `0 0 ${width} ${height}`, role: "img",
      "aria-label": "boards per " + unit });
    for (const f of most % 2 ? [0, 1] : [0, 0.5, 1]) {
      const y = top + plotH * (1 - f);
      chart.append(svg("line", { class: "grid", x1: left, x2: width - 8, y1: y, y2: y }));
      chart.append(svg("text", { class: "axis", x: left - 6, y: y + 4, "text-anchor": "end" },
        Math.round(most * f)));
    }
    const step = plotW / Math.max(1, buckets.length);
    const every = Math.ceil(buckets.length / 12);
    let drawn = 0;
    buckets.forEach((b, i) => {
      const x = left + i * step + step * 0.1;
      let y = top + plotH;
      const tip = svg("title", {}, bucketLabel(b.start, unit) + ": " +
        PARTS.map((p) => b[p] + " " + p).join(", "));
      const group = svg("g", {});
      group.append(tip);
      for (const part of PARTS) {
        const h = (plotH * b[part]) / most;
        if (h <= 0) continue;
        y -= h;
        group.append(svg("rect", { class: "bar " + part, x: x, y: y, width: step * 0.8,
          height: h }));
        drawn++;
      }
      chart.append(group);
      if (i % every === 0) {
        chart.append(svg("text", { class: "axis", x: x + step * 0.4, y: height - 6,
          "text-anchor": "middle" }, bucketLabel(b.start, unit)));
      }
    });
    chart.setAttribute("data-bars", drawn);
    return chart;
  }

  // One row a bar: each row's parts side by side, as shares of `scale(row)`.
  function rowChart(rows, label, parts, scale, caption) {
    const width = 560, rowH = 22, left = 170, right = 110;
    const height = rows.length * rowH + 8;
    const chart = svg("svg", { class: "chart", viewBox: `0 0 ${width} ${height}`, role: "img" });
    let drawn = 0;
    rows.forEach((row, i) => {
      const y = 4 + i * rowH;
      const name = svg("text", { class: "axis", x: left - 6, y: y + 15, "text-anchor": "end" },
        label(row));
      name.append(svg("title", {}, row.image || label(row)));
      chart.append(name);
      let x = left;
      for (const part of parts) {
        const w = ((width - left - right) * row[part]) / scale(row);
        if (!(w > 0)) continue;
        chart.append(svg("rect", { class: "bar " + part, x: x, y: y + 3, width: w, height: rowH - 6 }));
        x += w;
        drawn++;
      }
      chart.append(svg("text", { class: "axis", x: width - right + 6, y: y + 15 }, caption(row)));
    });
    chart.setAttribute("data-bars", drawn);
    return chart;
  }

  function yieldChart(rows, label) {
    return rowChart(rows, label, PARTS, total,
      (r) => percent(r.passed, total(r)) + " of " + total(r));
  }

  function place(id, rows, draw) {
    const box = document.getElementById(id);
    box.replaceChildren(rows.length ? draw() : el("p", { class: "empty" }, "no records"));
  }

  // --- the whole page ---------------------------------------------------------------
  function render(f) {
    figures = f;
    const t = f.tally;
    setText("tally-passed", t.passed);
    setText("tally-failed", t.failed);
    setText("tally-interrupted", t.interrupted);
    setText("tally-yield", percent(t.passed, total(t)));
    const end = new Date(f.until || f.generated);
    const firstBucket = f.per_time.find((b) => total(b) > 0);
    const begin = new Date(Math.max(new Date(f.since), firstBucket ? new Date(firstBucket.start) : end));
    const hours = Math.max(1, (end - begin) / 3600000);
    setText("tally-rate", total(t) ? Math.round((10 * total(t)) / hours) / 10 : 0);

    document.querySelector("#stations tbody").replaceChildren(...f.stations.map(stationRow));
    setText("chart-time-title", "Boards per " + f.unit);
    place("chart-time", f.per_time, () => timeChart(f.per_time, f.unit));
    place("chart-phases", f.failed_by_phase, () => rowChart(f.failed_by_phase,
      (r) => r.phase || "(none)", ["count"],
      () => Math.max(...f.failed_by_phase.map((r) => r.count)), (r) => r.count));
    place("chart-stations", f.per_station, () => yieldChart(f.per_station,
      (r) => r.host + " " + location(r.location)));
    place("chart-images", f.per_image, () => yieldChart(f.per_image, (r) => fileName(r.image)));

    const shown = f.records.length;
    setText("records-title", f.live ? "The last " + shown + " records"
      : shown < total(t) ? "The last " + shown + " of " + total(t) + " records"
        : "All " + shown + " records");
    fillRecords(document.getElementById("records"), f.records);
  }

  function status(text, bad) {
    const node = document.getElementById("status");
    node.textContent = text;
    node.classList.toggle("bad", !!bad);
  }

  // --- the live page: polling -------------------------------------------------------
  async function poll() {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), 5000);
    try {
      const answer = await fetch("figures.json", { cache: "no-store", signal: abort.signal });
      const body = await answer.json();
      if (!answer.ok) throw new Error(body.error || answer.statusText);
      render(body);
      status("live · updated " + localTime(body.generated));
    } catch (e) {
      status("store unreachable: " + e.message +
        (figures ? " (figures of " + localTime(figures.generated) + ")" : ""), true);
    } finally {
      clearTimeout(timer);
      setTimeout(poll, POLL_MS);
    }
  }

  // --- a board's history -------------------------------------------------------------
  function matches(record, text) {
    const wanted = text.toLowerCase();
    let values = [];
    try {
      values = Object.values(JSON.parse(record.fields || "{}")).map(String);
    } catch (e) {
      values = [];
    }
    return [record.serial, record.unique_id || "", ...values]
      .some((v) => String(v).toLowerCase() === wanted);
  }

  async function search(text) {
    const table = document.getElementById("found");
    if (!text) {
      table.hidden = true;
      setText("search-status", "");
      return;
    }
    let found = [];
    if (inline) {
      found = figures.records.filter((r) => matches(r, text));
      // As the server does: the few boards found, with all their runs.
      const boards = new Set(found.map((r) => r.unique_id).filter((id) => id));
      if (boards.size <= BOARDS_FOLLOWED) {
        found = figures.records.filter((r) => matches(r, text) || boards.has(r.unique_id));
      }
    } else {
      try {
        const answer = await fetch("search.json?q=" + encodeURIComponent(text), { cache: "no-store" });
        const body = await answer.json();
        if (!answer.ok) throw new Error(body.error || answer.statusText);
        found = body.records;
      } catch (e) {
        setText("search-status", "search failed: " + e.message);
        return;
      }
    }
    fillRecords(table, found);
    table.hidden = found.length === 0;
    setText("search-status", found.length ? found.length + " record" + (found.length > 1 ? "s" : "")
      : "no record of " + text);
  }

  document.getElementById("search").addEventListener("submit", (event) => {
    event.preventDefault();
    search(document.getElementById("search-text").value.trim());
  });

  if (inline) {
    render(JSON.parse(inline.textContent));
  } else {
    poll();
  }
})();
