// station.js: the station page: one live tile per port, the image and its upload, the mode, today's counts and chart.
"use strict";

(() => {
  const STATE_WORDS = {
    waiting: "Waiting", ready: "Ready", not_ready: "Not ready", flashing: "Flashing",
    passed: "Passed", failed: "Failed", gone: "Gone",
  };
  const REFRESH_MS = 10000;       // the image, the mode and the counts, which other pages may change
  const COUNTS_DELAY_MS = 500;    // a burst of ended downloads fetches the counts once
  const RECONNECT_MS = 5000;      // after the station refused the live stream
  const HOURS = 24;
  const CHART = { left: 28, right: 8, bottom: 20, top: 22, labelEvery: 3 };  // margins in px
  const SVG = "http://www.w3.org/2000/svg";

  // live: the event stream's snapshot has come, and its events keep the tiles from then on.
  const view = { tiles: new Map(), manual: false, largestImageBytes: 0, counts: null, live: false };
  const $ = (id) => document.getElementById(id);

  // ---- tiles

  function newTile(id) {
    const { element } = station;
    const node = element("article", "tile");
    node.dataset.portId = id;
    const head = element("header", "tile-head");
    head.append(element("h2", "port"), element("div", "identity"));
    const state = element("div", "state");
    state.append(element("span", "state-word"), element("span", "status"));
    const progress = element("div", "progress");
    progress.append(element("div", "bar"));
    const numbers = element("div", "numbers");
    numbers.append(element("span", "blocks"), element("span", "rate"), element("span", "eta"));
    const actions = element("div", "actions");
    const flash = element("button", "flash", "Flash");
    const retry = element("button", "retry", "Retry");
    const check = element("button", "check", "Check");
    flash.type = retry.type = check.type = "button";
    flash.onclick = () => act(id, "start");
    retry.onclick = () => act(id, "retry");
    check.onclick = () => checkLine(id, node);
    check.title = "Status requests only: the round trip of the line and what it says";
    actions.append(flash, retry, check);
    node.append(head, state, progress, numbers, element("div", "outcome"), element("div", "crcs"),
      element("div", "check-result"), actions);
    return node;
  }

  // What a check of the line found, in one or two lines: its figures or why there are none, then its advice.
  function checkWords(report) {
    if (!report.opened) return `Check: does not open: ${report.why_not_opened}`;
    const answered = report.polls.filter((poll) => poll.answer === "reply").length;
    const trip = report.round_trip;
    const ms = (value) => value.toFixed(1);
    const figures = trip
      ? `round trip ${ms(trip.median_ms)} ms median (min ${ms(trip.min_ms)}, 95% ${ms(trip.p95_ms)}, max ${ms(trip.max_ms)})`
      : "no answer";
    const first = `Check at ${report.baud} baud: ${answered} of ${report.polls.length} answered · ${figures}`;
    return report.advice ? `${first}\n${report.advice}` : first;
  }

  async function checkLine(id, node) {
    const button = node.querySelector(".check");
    const result = node.querySelector(".check-result");
    button.disabled = true;
    result.textContent = "Checking the line…";
    try {
      result.textContent = checkWords(await station.post(`api/ports/${encodeURIComponent(id)}/doctor`));
    } catch (e) {
      result.textContent = `Check: ${e.message}`;
    } finally {
      button.disabled = false;
    }
  }

  function identityLine(tile) {
    const who = tile.identity || (tile.adapter_serial ? `serial ${tile.adapter_serial}` : "");
    const device = tile.device && tile.device !== tile.port ? tile.device : "";
    return [who, device].filter(Boolean).join(" · ");
  }

  function crcLine(tile) {
    if (!tile.unit_crc && !tile.outcome) return tile.file_crc ? `FILE-CRC:${tile.file_crc}` : "";
    return `CRC:${tile.unit_crc || "----"}  FILE-CRC:${tile.file_crc || "----"}`;
  }

  function renderTile(tile) {
    const node = tileNode(tile.id);
    const flashing = tile.state === "flashing";
    const child = (name) => node.querySelector("." + name);
    node.dataset.state = tile.state;
    child("port").textContent = tile.port;
    child("identity").textContent = identityLine(tile);
    child("state-word").textContent = STATE_WORDS[tile.state] || tile.state;
    child("status").textContent = tile.status || "";
    const share = tile.blocks_total ? tile.blocks_done / tile.blocks_total : 0;
    child("bar").style.width = `${Math.min(100, share * 100).toFixed(1)}%`;
    child("blocks").textContent = tile.blocks_total ? `${tile.blocks_done}/${tile.blocks_total} blk` : "";
    child("rate").textContent = flashing ? `${tile.kb_per_second.toFixed(1)} kB/s` : "";
    child("eta").textContent = flashing ? `ETA ${station.minutesSeconds(tile.eta_seconds)}` : "";
    child("outcome").textContent = tile.message || "";
    child("crcs").textContent = crcLine(tile);
    const differ = Boolean(tile.unit_crc && tile.file_crc && tile.unit_crc !== tile.file_crc);
    child("crcs").classList.toggle("differ", differ);
    child("flash").hidden = !(tile.state === "ready" || (view.manual && tile.state === "not_ready"));
    child("retry").hidden = tile.state !== "failed";
    child("check").hidden = flashing;
    if (flashing) child("check-result").textContent = "";
  }

  function tileNode(id) {
    const found = [...$("tiles").children].find((node) => node.dataset.portId === id);
    if (found) return found;
    const node = newTile(id);
    $("tiles").append(node);
    return node;
  }

  function onTile(tile) {
    const before = view.tiles.get(tile.id);
    view.tiles.set(tile.id, tile);
    renderTile(tile);
    const ended = tile.state === "passed" || tile.state === "failed";
    if (ended && (!before || before.state !== tile.state)) scheduleCounts();
  }

  async function act(id, what) {
    try {
      await station.post(`api/ports/${encodeURIComponent(id)}/${what}`);
    } catch (e) {
      station.notice(e.message, "error");
    }
  }

  // ---- the whole station: image, mode, ports

  function renderImage(image) {
    $("image-name").textContent = image.name || "none";
    $("image-bytes").textContent = image.bytes.toLocaleString("en");
    $("image-blocks").textContent = image.blocks;
    $("image-crc").textContent = image.file_crc || "----";
    const signature = $("image-signature");
    signature.textContent = image.key_id ? `signed by key ${image.key_id}: ${image.trusted_comment}` : "unsigned";
    signature.className = `signature ${image.key_id ? "signed" : "unsigned"}`;
  }

  function renderMode(manual) {
    view.manual = manual;
    $("manual").checked = manual;
    $("flash-all").hidden = !manual;
    view.tiles.forEach(renderTile);
  }

  // The whole station; withTiles false takes only the image and the mode (the tiles come live).
  function applySnapshot(snapshot, withTiles = true) {
    view.largestImageBytes = snapshot.largest_image_bytes || 0;
    renderImage(snapshot.image);
    if (!withTiles) return renderMode(snapshot.manual);
    const ids = new Set(snapshot.ports.map((tile) => tile.id));
    for (const node of [...$("tiles").children]) {
      if (!ids.has(node.dataset.portId)) node.remove();
    }
    view.tiles = new Map(snapshot.ports.map((tile) => [tile.id, tile]));
    snapshot.ports.forEach((tile) => $("tiles").append(tileNode(tile.id)));  // keeps the station's order
    renderMode(snapshot.manual);
  }

  // The image, the mode and the counts, which other pages may change; the tiles too while the stream is not live. Once
  // it is, they are the stream's alone: a snapshot fetched before a tile's last event but answered after it would show
  // that tile's older state until its next change.
  async function refresh() {
    try {
      const snapshot = await station.getJson("api/ports");
      applySnapshot(snapshot, !view.live);
      await loadCounts();
    } catch (e) {
      station.notice(`the station did not answer: ${e.message}`, "error");
    }
  }

  async function setManual(manual) {
    try {
      const answer = await station.post("api/mode", new URLSearchParams({ manual: String(manual) }));
      renderMode(answer.manual);
    } catch (e) {
      renderMode(!manual);
      station.notice(e.message, "error");
    }
  }

  async function flashAll() {
    try {
      const answer = await station.post("api/start");
      station.notice(answer.started === 1 ? "1 unit started" : `${answer.started} units started`);
    } catch (e) {
      station.notice(e.message, "error");
    }
  }

  // ---- the image upload: a file dropped on the page or picked

  // An image and, when one is among the files, its signature (the file whose name ends in .minisig).
  async function upload(files) {
    const signatureFile = files.find((f) => f.name.toLowerCase().endsWith(".minisig"));
    const file = files.find((f) => f !== signatureFile);
    if (!file) {
      station.notice("no image among the files: drop the image with its .minisig", "error");
      return;
    }
    if (view.largestImageBytes && file.size > view.largestImageBytes) {
      station.notice(`${file.name} has ${file.size} bytes, more than the largest image (${view.largestImageBytes})`,
                     "error");
      return;
    }
    station.notice(`loading ${file.name}…`);
    try {
      const headers = { "X-Image-Name": encodeURIComponent(file.name), "Content-Type": "application/octet-stream" };
      if (signatureFile) headers["X-Image-Signature"] = btoa(await signatureFile.text());
      const image = await station.post("api/image", file, headers);
      renderImage(image);
      station.notice(`image ${image.name} loaded: FILE-CRC ${image.file_crc}`);
    } catch (e) {
      station.notice(`${file.name} was not taken: ${e.message}`, "error");
    }
  }

  function watchDrops() {
    const hint = $("drop-hint");
    const carriesFile = (e) => e.dataTransfer && [...e.dataTransfer.types].includes("Files");
    document.addEventListener("dragover", (e) => {
      if (!carriesFile(e)) return;
      e.preventDefault();
      hint.hidden = false;
    });
    document.addEventListener("dragleave", (e) => { if (!e.relatedTarget) hint.hidden = true; });
    document.addEventListener("drop", (e) => {
      if (!carriesFile(e)) return;
      e.preventDefault();
      hint.hidden = true;
      if (e.dataTransfer.files.length) upload([...e.dataTransfer.files]);
    });
    $("image-file").addEventListener("change", (e) => {
      if (e.target.files.length) upload([...e.target.files]);
      e.target.value = "";
    });
  }

  // ---- today's counts and the chart of units per hour

  let countsTimer = 0;
  function scheduleCounts() {
    clearTimeout(countsTimer);
    countsTimer = setTimeout(loadCounts, COUNTS_DELAY_MS);
  }

  async function loadCounts() {
    try {
      view.counts = await station.getJson("api/counts");
      renderCounts(view.counts);
      drawChart(view.counts.hours || []);
    } catch (e) {
      station.notice(`no counts: ${e.message}`, "error");
    }
  }

  function renderCounts(counts) {
    const { element } = station;
    // "failed" is {"STATE": N, ...}, or the total beside "failed_by_state".
    const byState = typeof counts.failed === "object" ? counts.failed : counts.failed_by_state;
    const failedByState = Object.entries(byState || {});
    const failed = typeof counts.failed === "number" ? counts.failed : failedByState.reduce((sum, [, n]) => sum + n, 0);
    const box = $("counts");
    box.replaceChildren();
    const passed = element("div", "count passed");
    passed.append(element("span", "number", String(counts.passed || 0)), element("span", "what", "passed today"));
    const failedBox = element("div", "count failed");
    failedBox.append(element("span", "number", String(failed)), element("span", "what", "failed today"));
    const states = element("ul", "by-state");
    for (const [state, n] of failedByState) {
      states.append(element("li", "", `${state === "0" ? "no state" : "state " + state}: ${n}`));
    }
    failedBox.append(states);
    box.append(passed, failedBox);
  }

  function svgNode(tag, attributes, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attributes)) node.setAttribute(name, value);
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // One pair of bars per hour: passed (green) beside failed (red), on a scale of the busiest hour.
  function drawChart(hours) {
    const chart = $("chart");
    const { left, right, bottom, top, labelEvery } = CHART;
    const width = chart.clientWidth;
    const height = chart.clientHeight;
    chart.setAttribute("viewBox", `0 0 ${width} ${height}`);
    chart.replaceChildren();
    const most = Math.max(1, ...hours.map((h) => Math.max(h.passed, h.failed)));
    const slot = (width - left - right) / HOURS;
    const barWidth = slot * 0.4;
    const plotHeight = height - bottom - top;
    const base = height - bottom;
    chart.append(svgNode("line", { class: "axis", x1: left, y1: base, x2: width, y2: base }));
    chart.append(svgNode("text", { class: "scale", x: left - 4, y: top + 10, "text-anchor": "end" }, String(most)));
    chart.append(svgNode("text", { class: "legend", x: left, y: 14 }, "units per hour (UTC):"));
    chart.append(svgNode("text", { class: "legend passed", x: left + 130, y: 14 }, "■ passed"));
    chart.append(svgNode("text", { class: "legend failed", x: left + 200, y: 14 }, "■ failed"));
    hours.slice(0, HOURS).forEach((hour, i) => {
      const x = left + i * slot + slot * 0.1;
      [["passed", hour.passed, 0], ["failed", hour.failed, barWidth]].forEach(([kind, n, offset]) => {
        const barHeight = (n / most) * plotHeight;
        const bar = svgNode("rect", { class: `bar ${kind}`, x: x + offset, y: base - barHeight, width: barWidth,
                                      height: barHeight });
        bar.append(svgNode("title", {}, `${String(i).padStart(2, "0")}:00 UTC: ${n} ${kind}`));
        chart.append(bar);
      });
      if (i % labelEvery === 0) {
        chart.append(svgNode("text", { class: "hour", x: x + barWidth, y: height - 4, "text-anchor": "middle" },
                             String(i).padStart(2, "0")));
      }
    });
  }

  // ---- live updates

  function listen() {
    const live = $("live");
    const events = new EventSource("api/events");
    events.addEventListener("snapshot", (e) => {
      view.live = true;
      applySnapshot(JSON.parse(e.data));
    });
    events.addEventListener("tile", (e) => onTile(JSON.parse(e.data)));
    events.onopen = () => { live.textContent = "live"; live.className = "live on"; };
    events.onerror = () => {
      view.live = false;
      live.textContent = "reconnecting…";
      live.className = "live off";
      // The browser retries by itself unless the station refused the stream (too many pages open): then try later.
      if (events.readyState === EventSource.CLOSED) setTimeout(listen, RECONNECT_MS);
    };
  }

  $("manual").addEventListener("change", (e) => setManual(e.target.checked));
  $("flash-all").addEventListener("click", flashAll);
  watchDrops();
  window.addEventListener("resize", () => view.counts && drawChart(view.counts.hours || []));
  refresh();
  listen();
  setInterval(refresh, REFRESH_MS);
})();
