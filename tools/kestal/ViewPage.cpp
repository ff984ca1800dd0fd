// The page of `kestal view`: everything in one document, so it works on a machine without a
// network.
#include "ViewServer.h"

const char* ViewServer::Page() {
  return R"html(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>kestal view</title>
<style>
body { font: 14px sans-serif; margin: 12px; background: #f4f4f4; }
section { background: #fff; border: 1px solid #ccc; border-radius: 4px; padding: 8px; margin: 0 12px 12px 0;
          display: inline-block; vertical-align: top; }
h2 { font-size: 14px; margin: 0 0 6px; }
#image { image-rendering: pixelated; max-width: 640px; background: #000; }
#events { height: 160px; width: 300px; overflow-y: auto; margin: 0; padding-left: 18px; font-size: 12px; }
td { padding: 0 8px 0 0; font-size: 12px; } .plot { background: #fafafa; border: 1px solid #ddd; }
button { margin: 2px; } #ack { font-family: monospace; min-height: 1.2em; }
.stale { opacity: .35; } .bad { color: #b00; font-weight: bold; }
</style></head><body>
<section><h2>Image</h2><canvas id="image" width="640" height="480" data-frame="0"></canvas>
<div>frames received by this tool <b id="frame-counter">0</b>, at <b id="fps">0</b> per second;
shown: the device's frame number <b id="frame-number">-</b> <b id="frame-age" class="bad"></b></div></section>
<section><h2>Device</h2><table>
<tr><td>link</td><td id="link">-</td></tr>
<tr><td>scan head</td><td id="scanner-state">-</td></tr><tr><td>arm</td><td id="arm-state">-</td></tr>
<tr><td>FPGA temperature</td><td id="temp">-</td></tr><tr><td>status line</td><td id="status-line">-</td></tr>
</table><h2>Orders</h2>
<button data-order="start-scan">Start scan</button><button data-order="stop-scan">Stop scan</button>
<button data-order="trigger-single">Single trigger</button><button data-order="fpga-temp">FPGA temperature</button>
<button data-order="static-info">Static information</button><br>
<input id="exposure" size="8" placeholder="exposure"><button data-order="exposure" data-input="exposure">Set exposure</button>
<input id="gain" size="8" placeholder="gain"><button data-order="gain" data-input="gain">Set gain</button>
<div id="ack"></div><h2>Events</h2><ul id="events"></ul></section>
<section><h2>FPGA temperature, last 10 minutes (&deg;C)</h2><canvas id="temp-plot" class="plot" width="360" height="110"></canvas>
<h2>Frames per second</h2><canvas id="fps-plot" class="plot" width="360" height="110"></canvas></section>
<section><h2>Link health</h2><table id="health"></table></section>
<script>
"use strict";
const $ = id => document.getElementById(id);
const token = "@TOKEN@";  // this run's, sent with every order: the view refuses orders without it
const sleep = ms => new Promise(done => setTimeout(done, ms));
const stateText = ["working normally", "device not found", "open failed", "I/O error", "device inserted",
                   "device removed", "communication timeout", "invalid"];
const state = code => code < 0 ? "-" : code + " (" + (stateText[code] || "unknown") + ")";
const stale = 3;  // seconds: older figures are shown as old, as the library marks a status of 3 s as invalid
const ago = age => age < 0 ? "" : " (" + Math.round(age) + " s ago)";
const time = ms => new Date(ms).toTimeString().slice(0, 8);

function plot(canvas, values) {
  const g = canvas.getContext("2d"), w = canvas.width, h = canvas.height;
  g.clearRect(0, 0, w, h);
  const known = values.filter(v => v !== null);  // null: no value then, drawn as a gap
  if (!known.length) return;
  const lo = Math.min(...known), hi = Math.max(...known), span = hi - lo || 1;
  g.beginPath();
  let pen = false;
  values.forEach((v, i) => {
    if (v !== null) g[pen ? "lineTo" : "moveTo"](w * i / 599, h - 14 - (h - 28) * (v - lo) / span);
    pen = v !== null;
  });
  g.strokeStyle = "#246"; g.stroke();
  g.fillText(hi.toFixed(1), 2, 10); g.fillText(lo.toFixed(1), 2, h - 2);
}

new EventSource("/events").onmessage = message => {
  const s = JSON.parse(message.data);
  $("frame-counter").textContent = s.frames;
  $("fps").textContent = s.fps;
  $("image").classList.toggle("stale", s.frame_age > stale);
  $("frame-age").textContent = s.frame_age > stale ? "received" + ago(s.frame_age) : "";
  $("link").textContent = s.connected ? "connected" : "not connected" + (s.link ? " (" + s.link + ")" : "");
  $("link").className = s.connected ? "" : "bad";
  // The states are the library's; the frame rates of the controller status only while it is fresh.
  const fresh = s.status_age >= 0 && s.status_age <= stale;
  $("scanner-state").textContent = state(s.scanner) + (fresh ? ", " + s.fpga_fps + " fps" : "");
  $("arm-state").textContent = state(s.arm) + (fresh ? ", " + s.arm_fps + " fps" : "");
  $("scanner-state").className = s.scanner > 0 ? "bad" : "";
  $("arm-state").className = s.arm > 0 ? "bad" : "";
  if (s.status_age >= 0) $("temp").textContent = s.temp.toFixed(2) + " \u00b0C" + (fresh ? "" : ago(s.status_age));
  $("temp").classList.toggle("stale", !fresh);
  const old = s.status_line_age > stale;
  $("status-line").textContent = (s.status_line || "-") + (old ? ago(s.status_line_age) : "");
  $("status-line").classList.toggle("stale", old);
  $("events").innerHTML = "";
  for (const [ms, text] of s.events)
    $("events").appendChild(document.createElement("li")).textContent = time(ms) + " " + text;
  $("events").scrollTop = $("events").scrollHeight;
  plot($("temp-plot"), s.history.map(p => p[0]));
  plot($("fps-plot"), s.history.map(p => p[1]));
  $("health").innerHTML = "";
  for (const pair of s.health.split(" ")) {
    const row = $("health").insertRow(), [name, value] = pair.split("=");
    row.insertCell().textContent = name; row.insertCell().textContent = value;
  }
};

// A frame is fetched only once the one before it is drawn: a slow page never makes the tool keep frames.
async function showFrames() {
  const canvas = $("image");
  for (let last = -1;;) {
    try {
      const r = await fetch("/frame?after=" + last, {cache: "no-store"});
      if (r.status !== 200) { await sleep(100); continue; }
      const w = +r.headers.get("X-Width"), h = +r.headers.get("X-Height");
      const grey = new Uint8Array(await r.arrayBuffer());
      if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
      const g = canvas.getContext("2d"), image = g.createImageData(w, h);
      for (let i = 0; i < w * h; ++i) {
        image.data[4 * i] = image.data[4 * i + 1] = image.data[4 * i + 2] = grey[i];
        image.data[4 * i + 3] = 255;
      }
      g.putImageData(image, 0, 0);
      last = +r.headers.get("X-Frame-Number");
      canvas.dataset.frame = last;
      $("frame-number").textContent = last;
      await new Promise(done => requestAnimationFrame(done));
    } catch (error) { await sleep(1000); }
  }
}
showFrames();

for (const button of document.querySelectorAll("button[data-order]")) {
  button.onclick = async () => {
    let query = "name=" + button.dataset.order;
    if (button.dataset.input) query += "&value=" + encodeURIComponent($(button.dataset.input).value);
    $("ack").textContent = button.textContent + " ...";
    try {
      const reply = await (await fetch("/order?" + query, {method: "POST", headers: {"X-Kestal-Token": token}})).json();
      $("ack").textContent = reply.ack || "error: " + reply.error;
    } catch (error) { $("ack").textContent = "error: " + error; }
  };
}
</script></body></html>
)html";
}
