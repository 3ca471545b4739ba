// The panel's keyboard flow and live state: the operator's name once per shift,
// per place a label serial and Enter (a scanner types both), Enter on an empty
// field retests a failed board, Esc stops. Everything a board names is set as text.
"use strict";
const OPERATOR_KEY = "rigpanel.operator";
let pollMs = 1000;
let serialRule = "optional";
let last = {};

function $(sel, root) { return (root || document).querySelector(sel); }
function card(name) { return document.querySelector(`section.place[data-place="${CSS.escape(name)}"]`); }
function say(text) { $("#message").textContent = text; }

function minutes(s) {
  const m = Math.floor(s / 60), r = Math.round(s % 60);
  return m ? `${m} min ${r} s left` : `${r} s left`;
}

function show(p) {
  const c = card(p.place);
  if (!c) return;
  last[p.place] = p;
  c.dataset.state = p.state;
  const f = (name) => c.querySelector(`[data-f="${name}"]`);
  f("state").textContent = p.state;
  f("device_type").textContent = p.device_type;
  f("chip").textContent = p.chip;
  f("serial").textContent = p.serial ? `label ${p.serial}` : "";
  f("operator").textContent = p.operator ? `by ${p.operator}` : "";
  f("progress").value = p.progress;
  f("step").textContent = p.state === "testing" || p.state === "no answer" ? p.step : "";
  f("left").textContent = p.state === "testing" && p.seconds_left > 0 ? minutes(p.seconds_left) : "";
  const ul = f("failed_ports");
  ul.replaceChildren(...p.failed_ports.map((t) => { const li = document.createElement("li"); li.textContent = t; return li; }));
  f("reason").textContent = [p.reason, p.retest ? "retest" : "", p.stored].filter(Boolean).join(" · ");
  f("next").textContent = p.next;
  c.querySelector("button.stop").disabled = p.state !== "testing";
  c.querySelector("button.start").disabled = p.state === "testing";
}

async function poll() {
  try {
    const r = await fetch("/api/places", { cache: "no-store" });
    if (r.ok) (await r.json()).forEach(show);
  } catch (e) {
    say("the panel's server does not answer");
  }
  setTimeout(poll, pollMs);
}

function focusNextFree(after) {
  const cards = [...document.querySelectorAll("section.place")];
  const start = after ? cards.indexOf(after) + 1 : 0;
  for (let i = 0; i < cards.length; i++) {
    const c = cards[(start + i) % cards.length];
    if ((last[c.dataset.place] || {}).state !== "testing") { $("input.serial", c).focus(); return; }
  }
}

async function post(name, what, fields) {
  const r = await fetch(`/api/places/${encodeURIComponent(name)}/${what}`,
    { method: "POST", body: new URLSearchParams(fields) });
  const body = await r.json();
  if (!r.ok) { say(`${name}: ${body.error}`); return false; }
  show(body);
  say("");
  return true;
}

async function start(c) {
  const operator = localStorage.getItem(OPERATOR_KEY) || "";
  if (!operator) { say("enter your name first"); $("#operator").focus(); return; }
  const input = $("input.serial", c), serial = input.value.trim();
  const p = last[c.dataset.place] || {};
  const fields = { operator, serial };
  if (!serial && p.state === "FAIL") fields.retest = "1";
  else if (!serial && serialRule === "required") { say("scan the board's label first"); return; }
  if (await post(c.dataset.place, "start", fields)) { input.value = ""; focusNextFree(c); }
}

function setup() {
  pollMs = Number(document.body.dataset.pollMs) || pollMs;
  serialRule = document.body.dataset.serial;
  const op = $("#operator");
  op.value = localStorage.getItem(OPERATOR_KEY) || "";
  op.addEventListener("keydown", (e) => {
    if (e.key !== "Enter") return;
    const name = op.value.trim();
    if (!name) { say("enter your name"); return; }
    localStorage.setItem(OPERATOR_KEY, name);
    say(`operator ${name}`);
    focusNextFree(null);
  });
  document.querySelectorAll("section.place").forEach((c) => {
    const input = $("input.serial", c);
    input.addEventListener("keydown", (e) => {
      if (e.key === "Enter") { e.preventDefault(); start(c); }
      if (e.key === "Escape") { e.preventDefault(); post(c.dataset.place, "stop", {}); }
    });
    $("button.start", c).addEventListener("click", () => start(c));
    $("button.stop", c).addEventListener("click", () => post(c.dataset.place, "stop", {}));
  });
  if (op.value) focusNextFree(null); else op.focus();
  poll();
}

document.addEventListener("DOMContentLoaded", setup);
