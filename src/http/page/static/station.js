// One station's page: its 32 channel panels coloured by level as the
// station's window colours them, the operator log's last lines, its faults
// with buttons that clear them, and the scenario's progress; refreshed every
// second.
"use strict";

(() => {
  const kPeriodMs = 1000;
  const kChannels = 32;
  const $ = (id) => document.getElementById(id);
  const { el, set_text, set_class } = orvane;

  const name = new URLSearchParams(location.search).get("name") || "";
  const station_path = "/api/v1/stations/" + encodeURIComponent(name);
  set_text($("name"), name || "Station");
  document.title = (name || "Station") + ": Orvane Emulator";

  // The window's rule (src/ui/channel_panel.cpp): analog level 1 is below
  // threshold 1, k is at or above threshold k-1; a digital input is alarm1
  // when set.
  function panel_state(p) {
    if (!p.has_sensor) return "no_sensor";
    if (!p.enabled) return "disabled";
    const level = Number(p.level) || 0;
    if (p.digital) return level !== 0 ? "alarm1" : "normal";
    if (level <= 0) return "idle";
    if (level === 1) return "normal";
    if (level === 2) return "alarm1";
    if (level === 3) return "alarm2";
    return "alarm3";
  }

  function panel_state_text(state, p) {
    switch (state) {
      case "no_sensor": return "no sensor";
      case "disabled": return "disabled";
      case "idle": return "waiting";
      case "normal": return p.digital ? "off" : "normal";
      default: return p.digital ? "on" : "above T" + ((Number(p.level) || 0) - 1);
    }
  }

  const panels = [];
  for (let n = 1; n <= kChannels; ++n) {
    const box = el("div", "panel no_sensor");
    box.id = "panel-" + n;
    const top = el("div", "top");
    const level = el("span", "level", "no sensor");
    top.append(el("span", "number", n), level);
    const label = el("div", "label", "None");
    const value = el("div", "value", "0");
    box.append(top, label, value);
    $("panels").append(box);
    panels.push({ box, level, label, value });
  }

  // The panels as the API gives them; from the channel list when it has none.
  function panel_list(s) {
    if (Array.isArray(s.panels)) return s.panels;
    return (Array.isArray(s.channels) ? s.channels : []).map((c) => ({
      channel: c.channel, label: c.port_id, shown: c.value, level: c.level,
      has_sensor: true, enabled: c.enabled, digital: c.digital,
    }));
  }

  function render_panels(s) {
    const port_ids = new Map();
    for (const c of Array.isArray(s.channels) ? s.channels : []) port_ids.set(Number(c.channel), c.port_id);
    const given = new Map();
    for (const p of panel_list(s)) given.set(Number(p.channel), p);
    panels.forEach((view, i) => {
      const p = given.get(i + 1) || { has_sensor: false, label: "None", shown: "0" };
      const state = panel_state(p);
      const text = panel_state_text(state, p);
      set_class(view.box, "panel " + state);
      set_text(view.level, text);
      set_text(view.label, p.label ?? "");
      set_text(view.value, p.shown ?? p.value ?? "");
      const tip = "Channel " + (i + 1) + ": " + (port_ids.get(i + 1) || p.label || "") + " (" + text + ")";
      if (view.box.title !== tip) view.box.title = tip;
    });
  }

  function render_memo(lines) {
    const memo = $("memo");
    // A line may hold a bare CR where the log breaks it.
    const text = (Array.isArray(lines) ? lines : []).map((l) => String(l).replace(/\r\n?/g, "\n")).join("\n");
    if (memo.textContent === text) return;
    const at_end = memo.scrollTop + memo.clientHeight >= memo.scrollHeight - 4;
    memo.textContent = text;
    if (at_end) memo.scrollTop = memo.scrollHeight;
  }

  async function act(button, call) {
    button.disabled = true;
    try {
      await call();
      orvane.show_problem("");
    } catch (e) {
      orvane.show_problem(e.message);
    }
    button.disabled = false;
    poller.now();
  }

  let shown_faults = null;  // rebuilt only when they change, so a click never meets a new button
  function render_faults(faults) {
    const list = Array.isArray(faults) ? faults : [];
    const key = JSON.stringify(list);
    if (key === shown_faults) return;
    shown_faults = key;
    const items = list.map((f) => {
      const li = el("li", "fault");
      const clear = el("button", "", "Clear");
      clear.type = "button";
      clear.addEventListener("click", () => act(clear, () => orvane.api("POST", "/api/v1/actions", {
        select: { names: [name] }, action: { clear_faults: { target: String(f.target) } },
      })));
      li.append(el("span", "", orvane.fault_text(f)), clear);
      return li;
    });
    $("faults").replaceChildren(...items);
    $("no-faults").hidden = list.length > 0;
    $("clear-all").hidden = list.length === 0;
  }

  let shown_scenario;
  function render_scenario(sc) {
    const key = JSON.stringify(sc);
    if (key === shown_scenario) return;
    shown_scenario = key;
    const box = el("div", "scenario");
    if (!sc || !sc.loaded) {
      box.append(el("p", "quiet", "No scenario."));
    } else {
      const steps = Number(sc.steps) || 0;
      const done = Math.min(Number(sc.done) || 0, steps);
      box.append(el("p", "scenario-line", String(sc.name ?? "") + (sc.seed !== undefined ? " (seed " + sc.seed + ")" : "")));
      const bar = el("progress");
      bar.max = Math.max(steps, 1);
      bar.value = done;
      box.append(bar, el("p", "scenario-line", done + " of " + steps + " steps"));
      if (sc.running) box.append(el("p", "scenario-line", "Running: " + sc.running));
      else if (steps && done >= steps) box.append(el("p", "scenario-line", "Finished."));
      if (sc.failed) box.append(el("p", "scenario-line", sc.failed + " failed; the last: " + String(sc.last_error ?? "")));
      if (sc.next_at) box.append(el("p", "scenario-line quiet", "Next step at " + sc.next_at));
      if (sc.started_at) box.append(el("p", "scenario-line quiet", "Started " + sc.started_at));
    }
    $("scenario").replaceChildren(box);
  }

  function render_status(s) {
    const hosts = s.hosts || {};
    const ev = s.events || {};
    const up = s.last_upload || {};
    set_text($("factory"), s.factory_id);
    set_text($("sensor"), s.sensor_id);
    set_text($("mode"), s.data_mode === "reading" ? "Data Mode : Read" : "Data Mode : Stop");
    set_class($("mode"), "mode " + (s.data_mode === "reading" ? "reading" : "stopped"));
    set_text($("listen"), s.listen ? "Listening on " + s.listen : hosts.listening === false ? "Port closed" : "");
    set_text($("hosts"), "Hosts " + (hosts.connected ?? 0) + (hosts.refused ? " (" + hosts.refused + " refused)" : ""));
    set_text($("events"), "Events waiting " + (ev.waiting ?? 0) + ", delivered " + (ev.delivered ?? 0));
    set_text($("upload"), "Last upload " + (up.result ?? "none") + (up.failures ? " (" + up.failures + " of " +
                                                                     up.attempts + " failed)" : ""));
  }

  async function once() {
    if (!name) {
      orvane.show_problem("No station named: open a station from the list of stations.");
      return;
    }
    let s;
    try {
      s = await orvane.api("GET", station_path);
    } catch (e) {
      if (e.status === 404) e.message = "No station named " + name + ".";
      throw e;
    }
    render_status(s);
    render_panels(s);
    render_memo(s.memo);
    render_faults(s.faults);
    let scenario = null;
    try {
      scenario = await orvane.api("GET", "/api/v1/scenario");
    } catch (e) {
      if (e.status !== 404) throw e;
    }
    render_scenario(scenario);
    orvane.show_problem("");
    orvane.updated($("updated"));
  }

  const poller = orvane.poll(once, kPeriodMs);
  $("clear-all").addEventListener("click", () =>
    act($("clear-all"), () => orvane.api("DELETE", station_path + "/faults")));
  orvane.bind_token($("token"), () => poller.now());
})();
