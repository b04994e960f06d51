// Puts the page together: the parameter controls, the model chooser and the presets, all fed by
// the mirror of the plug-in's state.
import { on, request, send, CLIENT } from "./bridge.js";
import { ParameterControl } from "./controls.js";
import { base64ToBytes } from "./juceBinary.js";
import { LOG_FILE, LoadLog } from "./loadOutcome.js";
import { ModelLoads } from "./modelLoads.js";
import { ModelPicker } from "./modelPicker.js";
import { controlPlans, layoutKey } from "./parameterLayout.js";
import { Presets } from "./presets.js";
import { StateMirror, asBoolean, asNumber } from "./stateMirror.js";

// The panels the controls go into, by the group of their plan.
const GROUPS = ["macros", "mix"];

// How often the page says it is ready again, so that it picks the state up again after the
// plug-in has rebuilt its side of the bridge (a restored state); each time costs one full copy.
const READY_AGAIN_MS = 4000;

const mirror = new StateMirror();
const controls = new Map();
const loadLog = new LoadLog();
const loads = new ModelLoads();
let shownLayout = "";
let modelLoading = false;
const loadingWatchers = new Set();

function $(id) {
  return document.getElementById(id);
}

function notify(text, isError = false) {
  const line = $("message");
  line.textContent = text;
  line.classList.toggle("error", isError);
  clearTimeout(notify.timer);
  notify.timer = setTimeout(() => (line.textContent = ""), 4000);
}

function setModelLoading(loading) {
  if (loading === modelLoading)
    return;
  modelLoading = loading;
  for (const watcher of loadingWatchers)
    watcher(loading);
}

// The log file's bytes, or null when it cannot be read.
async function readLog() {
  const reply = await request("readFileHandler", LOG_FILE).catch(() => "");
  return reply === "" ? null : base64ToBytes(String(reply));
}

function parameterValues() {
  const values = {};
  for (const id of controls.keys())
    values[id] = asNumber(mirror.value(id));
  return values;
}

// A load of `name` has ended: the plug-in logged its failure, if it failed, before it said so.
async function checkLoadOutcome(name) {
  const log = await readLog();
  if (loads.outcome(name, log === null ? "finished" : loadLog.outcomeFor(name, log)))
    notify(`“${name}” could not be loaded.`, true);
  picker.render();
}

// Resolves once no model load has run for a short while: picking a model can load it twice.
function modelLoadsSettled() {
  return new Promise((resolve) => {
    let quietTimer = 0;
    const finish = () => {
      clearTimeout(quietTimer);
      clearTimeout(giveUp);
      loadingWatchers.delete(watch);
      resolve();
    };
    const giveUp = setTimeout(finish, 30000);
    const watch = (loading) => {
      clearTimeout(quietTimer);
      if (!loading)
        quietTimer = setTimeout(finish, 600);
    };
    loadingWatchers.add(watch);
    quietTimer = setTimeout(finish, 1500); // a load that never starts (no such file)
  });
}

// The controls for what "parameterMetadata" declares; the same declaration again (it comes with
// every "init") leaves the controls as they are.
function buildControls(plans) {
  const key = layoutKey(plans);
  if (key === shownLayout)
    return;
  shownLayout = key;

  controls.clear();
  for (const group of GROUPS)
    $(group).replaceChildren();
  for (const plan of plans) {
    const control = new ParameterControl({
      ...plan,
      label: plan.name,
      resetTo: () => loads.resetTarget(plan.id),
      onInput: (value) => send("setParameter", { id: plan.id, value }),
    });
    controls.set(plan.id, control);
    $(plan.group).appendChild(control.root);
  }
  loads.declare(plans);
  for (const group of GROUPS) {
    const count = $(group).childElementCount;
    $(group).style.setProperty("--count", String(Math.max(1, count)));
    $(group).closest(".panel").hidden = count === 0;
  }
  showValues();
}

function collectPreset() {
  const parameters = {};
  for (const [id, control] of controls)
    parameters[id] = Number(control.value.toFixed(6));
  return { model: loads.current, parameters };
}

async function applyPreset(preset) {
  const model = typeof preset.model === "string" ? preset.model : "";
  if (model !== "" && model !== loads.current) {
    // Only the value changes: one load, whose defaults the preset's values then replace.
    loads.presetAsks(model);
    send("setHiddenParameter", { id: "model_path", value: model });
    await modelLoadsSettled();
  }
  for (const [id, value] of Object.entries(preset.parameters ?? {}))
    if (controls.has(id) && Number.isFinite(value)) {
      controls.get(id).setValue(value);
      send("setParameter", { id, value });
    }
}

function showValues() {
  for (const [id, control] of controls) {
    const value = asNumber(mirror.value(id));
    if (value !== undefined)
      control.setValue(value);
  }
}

function showState() {
  showValues();

  const stored = mirror.value("model_path");
  // Only a load in progress writes a boolean flag; a restored state holds the text it was saved
  // with, which may well be "1" from a load long finished.
  const flag = mirror.value("is_model_loading");
  const ended = loads.stateRead({
    model: stored === undefined || stored === null ? "" : String(stored),
    flag,
    values: parameterValues(),
  });
  if (typeof flag === "boolean")
    setModelLoading(flag);
  picker.render();
  if (ended !== null)
    checkLoadOutcome(ended);

  const version = mirror.value("plugin_version");
  $("version").textContent = version ? `v${version}` : "";
  $("instance").textContent = mirror.has("instance_id") ? `instance ${mirror.value("instance_id")}` : "";
}

function showMetadata(records) {
  if (Array.isArray(records))
    buildControls(controlPlans(records));
}

const picker = new ModelPicker({
  loads,
  list: $("model-select"),
  refreshButton: $("model-refresh"),
  status: $("model-status"),
  onError: (text) => notify(text, true),
});

const presets = new Presets({
  list: $("preset-select"),
  nameInput: $("preset-name"),
  saveButton: $("preset-save"),
  deleteButton: $("preset-delete"),
  collect: collectPreset,
  apply: applyPreset,
  onMessage: notify,
});

mirror.onChange(showState);

on("valueTreeStateChange", (batch) => mirror.applyBatch(batch));
on(`${CLIENT}::parameterMetadata`, showMetadata);
on("is_model_loading", (data) => {
  const loading = asBoolean(data);
  loads.announce(loading);
  setModelLoading(loading);
  picker.render();
  if (!loading)
    picker.refresh();
});

// What the log holds before the page starts is about loads it has not seen. Requests are answered
// in order, so this look comes before that of any load that ends later.
readLog().then((log) => log !== null && loadLog.skip(log));
send("init", { isReady: true });
setInterval(() => send("init", { isReady: true }), READY_AGAIN_MS);
picker.refresh();
presets.refresh();
