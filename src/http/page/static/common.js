// What both pages of the status page share: the token field, the API calls,
// elements built from text only (station texts come from hosts: they are
// never parsed as markup), a poll that never overlaps itself, and how a fault
// reads.
"use strict";

const orvane = (() => {
  const kTokenKey = "orvane-emulator-token";

  function token() {
    try {
      return sessionStorage.getItem(kTokenKey) || "";
    } catch (e) {
      return "";  // storage turned off: no token kept
    }
  }

  // The token field: filled from this tab's session, kept there when changed.
  function bind_token(input, changed) {
    input.value = token();
    input.addEventListener("change", () => {
      try {
        if (input.value) sessionStorage.setItem(kTokenKey, input.value);
        else sessionStorage.removeItem(kTokenKey);
      } catch (e) {
        // storage turned off: the field still holds it for this page
      }
      changed();
    });
  }

  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  // One call of the control API; resolves to the answer's JSON, rejects with
  // an ApiError that says why (status 0: no answer at all).
  async function api(method, path, body) {
    const headers = { Accept: "application/json" };
    const given = token() || (document.getElementById("token") || {}).value || "";
    if (given) headers.Authorization = "Bearer " + given;
    const init = { method, headers, cache: "no-store", credentials: "omit" };
    if (body !== undefined) {
      headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (e) {
      throw new ApiError(0, "The endpoint does not answer.");
    }
    let data = null;
    try {
      data = await response.json();
    } catch (e) {
      data = null;
    }
    if (!response.ok) {
      if (response.status === 401)
        throw new ApiError(401, given ? "The token was refused." : "The API asks for a token: type it in the Token field.");
      const reason = data && typeof data.error === "string" ? data.error : response.statusText;
      throw new ApiError(response.status, reason || "HTTP " + response.status);
    }
    return data;
  }

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = String(text);
    return node;
  }

  // Changes a node's text only when it differs, so polling leaves a
  // selection, a hover and the layout alone.
  function set_text(node, text) {
    const t = text === undefined || text === null ? "" : String(text);
    if (node.textContent !== t) node.textContent = t;
  }

  function set_class(node, name) {
    if (node.className !== name) node.className = name;
  }

  // The problem line: a message, or hidden with none.
  function show_problem(message) {
    const p = document.getElementById("problem");
    set_text(p, message || "");
    p.hidden = !message;
  }

  // Runs `once` (async) now and again `period_ms` after each run ends, so two
  // runs never overlap and a slow endpoint is polled no faster than it
  // answers. now(): run at once, or right after the run under way. A hidden
  // tab is not polled.
  function poll(once, period_ms) {
    let timer = null;
    let running = false;
    let again = false;
    async function run() {
      if (running) {
        again = true;
        return;
      }
      clearTimeout(timer);
      timer = null;
      if (document.hidden) return;  // visibilitychange starts it again
      running = true;
      try {
        await once();
      } catch (e) {
        show_problem(e.message || String(e));
      }
      running = false;
      if (again) {
        again = false;
        run();
      } else {
        timer = setTimeout(run, period_ms);
      }
    }
    document.addEventListener("visibilitychange", () => {
      if (!document.hidden && !running && timer === null) run();
    });
    run();
    return { now: run };
  }

  function updated(node) {
    set_text(node, "Updated " + new Date().toLocaleTimeString());
  }

  function count_text(n) {
    return Number(n).toLocaleString("en-US");
  }

  // "module 01: delayed 300 ms", "uplink: slow 1000 B/s", "port: close connections".
  function fault_text(f) {
    if (!f || typeof f !== "object") return String(f);
    let where = String(f.target || "?");
    if (f.target === "module") where += " " + (f.module ? String(f.module) : "(all)");
    let what = String(f.kind || "?").replace(/_/g, " ");
    if (f.delay_ms !== undefined && f.delay_ms !== null) what += " " + f.delay_ms + " ms";
    if (f.bytes_per_s !== undefined && f.bytes_per_s !== null) what += " " + f.bytes_per_s + " B/s";
    return where + ": " + what;
  }

  return { api, ApiError, bind_token, el, set_text, set_class, show_problem, poll, updated, count_text, fault_text };
})();
