// history.js: the history page: the filters, the table of downloads (newest first) and the CSV export link.
"use strict";

(() => {
  const COLUMNS = [
    ["started", "Started (UTC)"], ["ended", "Ended"], ["port", "Port"], ["device", "Device"],
    ["identity", "Adapter"],
    ["image_name", "Image"], ["file_crc", "FILE-CRC"], ["unit_crc", "CRC"], ["outcome", "Outcome"],
    ["message", "Words"], ["state", "State"], ["blocks_sent", "Sent"], ["blocks_skipped", "Skipped"],
    ["retries", "Retries"], ["transcript_pruned", "Transcript pruned"],
  ];
  const FILTERS = ["day", "port", "outcome"];
  const $ = (id) => document.getElementById(id);

  function filterQuery() {
    const query = new URLSearchParams();
    for (const name of FILTERS) {
      const value = $(name).value;
      if (value) query.set(name, value);
    }
    return query.toString();
  }

  function cellText(name, value) {
    if (value === null || value === undefined) return "";
    if (name === "retries") {
      return Object.entries(value).filter(([, n]) => n).map(([state, n]) => `state ${state} ×${n}`).join(", ");
    }
    if (name === "started" || name === "ended") return String(value).replace("T", " ").replace("Z", "");
    return String(value);
  }

  function renderRows(rows) {
    const { element } = station;
    const head = document.querySelector("#history thead tr");
    head.replaceChildren(...COLUMNS.map(([, label]) => element("th", "", label)));
    const body = document.querySelector("#history tbody");
    body.replaceChildren(...rows.map((row) => {
      const line = element("tr", `outcome-${row.outcome || "running"}`);
      line.append(...COLUMNS.map(([name]) => element("td", name, cellText(name, row[name]))));
      return line;
    }));
    $("summary").textContent = rows.length === 1 ? "1 download" : `${rows.length} downloads`;
  }

  async function show() {
    const query = filterQuery();
    $("csv").href = "api/history.csv" + (query ? "?" + query : "");
    try {
      renderRows(await station.getJson("api/history" + (query ? "?" + query : "")));
    } catch (e) {
      station.notice(e.message, "error");
    }
  }

  async function loadPorts() {
    try {
      const { ports } = await station.getJson("api/ports");
      for (const tile of ports) $("port").append(new Option(tile.port, tile.port));
    } catch (e) {
      station.notice(`no port list: ${e.message}`, "error");
    }
  }

  $("filters").addEventListener("submit", (e) => { e.preventDefault(); show(); });
  for (const name of FILTERS) $(name).addEventListener("change", show);
  loadPorts();
  show();
})();
