// The fleet page: one page of the stations table at a time (offset and
// limit go to the API, so ten thousand stations cost one page of rows), a
// filter by name or identity, the counts, refreshed every second and a half.
"use strict";

(() => {
  const kPeriodMs = 1500;
  const kLimits = [25, 50, 100, 500];
  const $ = (id) => document.getElementById(id);
  const { el, set_text, set_class } = orvane;

  const params = new URLSearchParams(location.search);
  const state = {
    q: params.get("q") || "",
    faulty: params.get("fault") === "any",
    offset: Math.max(0, parseInt(params.get("offset"), 10) || 0),
    limit: kLimits.includes(Number(params.get("limit"))) ? Number(params.get("limit")) : 50,
    total: 0,
  };
  const rows = [];  // the table's rows, kept and refilled: at most one page

  // The page's address keeps the view, so a reload or a link shows the same.
  function keep_in_address() {
    const p = new URLSearchParams();
    if (state.q) p.set("q", state.q);
    if (state.faulty) p.set("fault", "any");
    if (state.offset) p.set("offset", String(state.offset));
    if (state.limit !== 50) p.set("limit", String(state.limit));
    const search = p.toString();
    history.replaceState(null, "", search ? "?" + search : location.pathname);
  }

  function list_path(offset, limit, filtered) {
    const p = new URLSearchParams({ offset: String(offset), limit: String(limit) });
    if (filtered && state.q) p.set("q", state.q);
    if (filtered && state.faulty) p.set("fault", "any");
    return "/api/v1/stations?" + p.toString();
  }

  function new_row() {
    const cells = {};
    const tr = el("tr");
    const first = el("td");
    cells.link = el("a");
    first.append(cells.link);
    tr.append(first);
    for (const [key, cls] of [["listen", ""], ["identity", ""], ["mode", ""], ["waiting", "num"], ["delivered", "num"],
                              ["upload", ""], ["hosts", "num"], ["faults", ""]]) {
      cells[key] = el("td", cls);
      tr.append(cells[key]);
    }
    return { tr, cells };
  }

  function fill(c, s) {
    const name = String(s.station ?? "");
    const href = "/station.html?name=" + encodeURIComponent(name);
    if (c.link.getAttribute("href") !== href) c.link.setAttribute("href", href);
    set_text(c.link, name);
    set_text(c.listen, s.listen);
    set_text(c.identity, [s.factory_id, s.sensor_id].filter((x) => x !== undefined && x !== "").join(" "));
    set_text(c.mode, s.data_mode);
    set_class(c.mode, s.data_mode === "reading" ? "" : "stopped");
    const ev = s.events || {};
    set_text(c.waiting, ev.waiting);
    set_text(c.delivered, ev.delivered);
    const up = s.last_upload || {};
    let upload = up.result ?? "";
    if (up.failures) upload += " (" + up.failures + " of " + up.attempts + " failed)";
    set_text(c.upload, upload);
    set_class(c.upload, up.result === "failed" || up.result === "not connected" ? "bad" : "");
    const hosts = s.hosts || {};
    set_text(c.hosts, hosts.listening === false ? hosts.connected + " (port closed)" : hosts.connected);
    set_class(c.hosts, hosts.listening === false ? "num bad" : "num");
    const faults = Array.isArray(s.faults) ? s.faults : [];
    set_text(c.faults, faults.map(orvane.fault_text).join(", "));
    set_class(c.faults, faults.length ? "bad" : "");
  }

  function render(stations) {
    const shown = stations.slice(0, state.limit);
    while (rows.length < shown.length) {
      const row = new_row();
      rows.push(row);
      $("rows").append(row.tr);
    }
    while (rows.length > shown.length) rows.pop().tr.remove();
    shown.forEach((s, i) => fill(rows[i].cells, s));
    $("empty").hidden = shown.length > 0;
  }

  function render_counts(all) {
    const { total, offset, limit } = state;
    const last = Math.min(offset + limit, total);
    set_text($("range"), total ? orvane.count_text(offset + 1) + "–" + orvane.count_text(last) + " of " +
                                     orvane.count_text(total) : "0 of 0");
    $("first").disabled = $("prev").disabled = offset === 0;
    $("next").disabled = $("last").disabled = offset + limit >= total;
    const stations = (n) => orvane.count_text(n) + (n === 1 ? " station" : " stations");
    set_text($("count"), all === null ? stations(total) : orvane.count_text(total) + " of " + stations(all) + " match");
  }

  async function once() {
    const data = await orvane.api("GET", list_path(state.offset, state.limit, true));
    state.total = Number(data.total) || 0;
    if (state.offset >= state.total && state.offset > 0) {
      // The list shrank under this page: show its last page.
      state.offset = Math.max(0, Math.floor((state.total - 1) / state.limit) * state.limit);
      keep_in_address();
      return once();
    }
    const filtered = state.q !== "" || state.faulty;
    const all = filtered ? Number((await orvane.api("GET", list_path(0, 1, false))).total) || 0 : null;
    render(Array.isArray(data.stations) ? data.stations : []);
    render_counts(all);
    orvane.show_problem("");
    orvane.updated($("updated"));
  }

  const poller = orvane.poll(once, kPeriodMs);

  function go(offset) {
    state.offset = Math.max(0, offset);
    keep_in_address();
    poller.now();
  }

  $("filter").value = state.q;
  $("faulty").checked = state.faulty;
  $("limit").value = String(state.limit);
  let typing = null;
  $("filter").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => {
      state.q = $("filter").value.trim();
      go(0);
    }, 300);
  });
  $("faulty").addEventListener("change", () => {
    state.faulty = $("faulty").checked;
    go(0);
  });
  $("limit").addEventListener("change", () => {
    state.limit = Number($("limit").value);
    go(Math.floor(state.offset / state.limit) * state.limit);
  });
  $("first").addEventListener("click", () => go(0));
  $("prev").addEventListener("click", () => go(state.offset - state.limit));
  $("next").addEventListener("click", () => go(state.offset + state.limit));
  $("last").addEventListener("click", () => go(Math.floor(Math.max(0, state.total - 1) / state.limit) * state.limit));
  orvane.bind_token($("token"), () => poller.now());
})();
