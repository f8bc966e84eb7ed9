// common.js: what both pages share: the station's token, requests that carry it, notices and small formatters.
"use strict";

const station = (() => {
  const TOKEN_KEY = "qbv-station-token";
  const NOTICE_MS = 8000;  // how long a good notice stays; a refusal stays until clicked

  // The station prints its URL with the token (#token=... or ?token=...): keep it for this tab, then take it out of
  // the address bar so it is not shown on the screen.
  function readToken() {
    const fromHash = new URLSearchParams(location.hash.slice(1)).get("token");
    const query = new URLSearchParams(location.search);
    const fromUrl = fromHash || query.get("token");
    if (fromUrl) {
      sessionStorage.setItem(TOKEN_KEY, fromUrl);
      query.delete("token");
      const rest = query.toString();
      history.replaceState(null, "", location.pathname + (rest ? "?" + rest : ""));
    }
    return fromUrl || sessionStorage.getItem(TOKEN_KEY) || "";
  }
  const token = readToken();

  async function wordsOf(response) {
    const text = await response.text();
    return text || `${response.status} ${response.statusText}`;
  }

  async function getJson(url) {
    const response = await fetch(url, { cache: "no-store" });
    if (!response.ok) throw new Error(await wordsOf(response));
    return response.json();
  }

  // POST with the token; resolves to the JSON answer, rejects with the station's words.
  async function post(url, body, headers = {}) {
    let response;
    try {
      response = await fetch(url, { method: "POST", body, headers: { ...headers, "X-Station-Token": token } });
    } catch (e) {
      throw new Error(`the station did not answer (${e.message})`);
    }
    if (!response.ok) throw new Error(await wordsOf(response));
    const text = await response.text();
    return text ? JSON.parse(text) : {};
  }

  let noticeTimer = 0;
  function notice(words, kind = "ok") {
    const node = document.getElementById("notice");
    clearTimeout(noticeTimer);
    node.textContent = words;
    node.className = `notice ${kind}`;
    node.hidden = false;
    node.onclick = () => { node.hidden = true; };
    if (kind === "ok") noticeTimer = setTimeout(() => { node.hidden = true; }, NOTICE_MS);
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  function minutesSeconds(seconds) {
    const whole = Math.max(0, Math.round(seconds));
    return `${Math.floor(whole / 60)}:${String(whole % 60).padStart(2, "0")}`;
  }

  return { token, getJson, post, notice, element, minutesSeconds };
})();
