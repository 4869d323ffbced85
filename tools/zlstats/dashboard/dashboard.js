// The dashboard: reads the period from the address (?from=&to=, seconds since
// 1970; the last 24 hours by default), asks /api/summary for its figures and
// draws them. Every figure is written into the page with its exact value in
// data-value, and <body data-state="ready"> marks the end of drawing.
(function () {
  "use strict";
  const charts = {};
  const byId = (id) => document.getElementById(id);

  function bytesText(n) {
    const units = ["B", "KiB", "MiB", "GiB", "TiB", "PiB"];
    let i = 0;
    let v = n;
    while (v >= 1024 && i < units.length - 1) { v /= 1024; i++; }
    return (i === 0 ? String(v) : v.toFixed(2)) + " " + units[i];
  }
  function speedText(n) { return bytesText(n) + "/s"; }
  function secondsText(n) {
    if (n < 120) return n + " s";
    if (n < 7200) return Math.round(n / 60) + " min";
    return (n / 3600).toFixed(1) + " h";
  }
  function percentText(f) { return (100 * f).toFixed(2) + " %"; }

  function setFigure(id, value, text) {
    const el = byId(id);
    el.dataset.value = String(value);
    el.textContent = text === undefined ? String(value) : text;
  }

  function fillTable(id, rows) {
    const body = byId(id).querySelector("tbody");
    body.replaceChildren();
    for (const cells of rows) {
      const tr = document.createElement("tr");
      for (const c of cells) {
        const td = document.createElement("td");
        td.textContent = String(c);
        tr.appendChild(td);
      }
      body.appendChild(tr);
    }
  }

  function draw(id, config) {
    if (charts[id]) charts[id].destroy();
    config.options = Object.assign({ animation: false, responsive: true, maintainAspectRatio: false }, config.options);
    charts[id] = new Chart(byId(id), config);
  }

  function hourLabel(t) {
    const d = new Date(t * 1000);
    return d.toISOString().slice(5, 13).replace("T", " ") + ":00";
  }

  function spreadChart(id, buckets, label, format) {
    draw(id, {
      type: "bar",
      data: {
        labels: buckets.map((b) => format(b.low) + " – " + format(b.high)),
        datasets: [{ label: label, data: buckets.map((b) => b.downloads), backgroundColor: "#4a78c2" }],
      },
      options: { plugins: { legend: { display: false } }, scales: { y: { beginAtZero: true, ticks: { precision: 0 } } } },
    });
  }

  function render(s) {
    const d = s.downloads;
    setFigure("fig-begun", d.begun);
    setFigure("fig-completed", d.completed);
    setFigure("fig-verified", d.verified);
    setFigure("fig-repaired", d.repaired);
    setFigure("fig-failed", d.failed);
    setFigure("fig-peer-share", s.bytes.peer_share, percentText(s.bytes.peer_share));
    setFigure("fig-peer-bytes", s.bytes.peer, bytesText(s.bytes.peer));
    setFigure("fig-server-bytes", s.bytes.server, bytesText(s.bytes.server));
    setFigure("fig-events", s.events);
    setFigure("fig-machines", s.machines);

    draw("chart-hourly", {
      data: {
        labels: s.hourly.map((h) => hourLabel(h.hour)),
        datasets: [
          { type: "line", label: "Peers' share (%)", yAxisID: "share", data: s.hourly.map((h) => 100 * h.peer_share),
            borderColor: "#d9822b", backgroundColor: "#d9822b" },
          { type: "bar", label: "From servers (MiB)", yAxisID: "bytes", stack: "b",
            data: s.hourly.map((h) => h.server / 1048576), backgroundColor: "#8aa1c7" },
          { type: "bar", label: "From peers (MiB)", yAxisID: "bytes", stack: "b",
            data: s.hourly.map((h) => h.peer / 1048576), backgroundColor: "#3f9e6e" },
        ],
      },
      options: {
        scales: {
          share: { position: "right", min: 0, max: 100, title: { display: true, text: "%" } },
          bytes: { position: "left", stacked: true, beginAtZero: true, title: { display: true, text: "MiB" } },
          x: { stacked: true },
        },
      },
    });
    spreadChart("chart-speeds", s.speeds, "Downloads", speedText);
    spreadChart("chart-times", s.times, "Downloads", secondsText);

    fillTable("failures", s.top_failures.map((f) => [f.code, f.name || "—", f.count]));
    const rows = (list) => list.map((e) => [e.label, e.machines]);
    fillTable("sys-os", rows(s.systems.os));
    fillTable("sys-memory", rows(s.systems.memory));
    fillTable("sys-cpu", rows(s.systems.cpu));
    byId("sys-disk").textContent = s.systems.disk.length ? "" : "Disk: " + s.systems.disk_note + ".";
  }

  function localInput(t) {
    const d = new Date(t * 1000);
    return new Date(d.getTime() - d.getTimezoneOffset() * 60000).toISOString().slice(0, 19);
  }
  function fromInput(value) { return Math.floor(new Date(value).getTime() / 1000); }

  function period() {
    const q = new URLSearchParams(location.search);
    const now = Math.floor(Date.now() / 1000);
    const to = q.has("to") ? parseInt(q.get("to"), 10) : now + 60;
    const from = q.has("from") ? parseInt(q.get("from"), 10) : to - 86400;
    return { from, to };
  }

  async function load() {
    const p = period();
    byId("from").value = localInput(p.from);
    byId("to").value = localInput(p.to);
    document.body.dataset.state = "loading";
    byId("status").textContent = "Loading…";
    try {
      const answer = await fetch("api/summary?from=" + p.from + "&to=" + p.to);
      if (!answer.ok) throw new Error("the service answered " + answer.status);
      render(await answer.json());
      byId("status").textContent = "";
      document.body.dataset.state = "ready";
    } catch (e) {
      byId("status").textContent = "Cannot load the figures: " + e.message;
      document.body.dataset.state = "failed";
    }
  }

  function go(from, to) {
    history.pushState(null, "", "?from=" + from + "&to=" + to);
    load();
  }

  byId("period").addEventListener("submit", (e) => {
    e.preventDefault();
    go(fromInput(byId("from").value), fromInput(byId("to").value));
  });
  for (const b of document.querySelectorAll("button[data-last]")) {
    b.addEventListener("click", () => {
      const to = Math.floor(Date.now() / 1000) + 60;
      go(to - parseInt(b.dataset.last, 10), to);
    });
  }
  window.addEventListener("popstate", load);
  load();
})();
