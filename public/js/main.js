// Puts the page together: the parameter controls, the model chooser and the presets, all fed by
// the mirror of the plug-in's state.
import { on, request, send, CLIENT } from "./bridge.js";
import { ParameterControl } from "./controls.js";
import { base64ToBytes } from "./juceBinary.js";
import { LOG_FILE, LoadLog } from "./loadOutcome.js";
import { ModelPicker } from "./modelPicker.js";
import { Presets } from "./presets.js";
import { StateMirror, asBoolean, asNumber } from "./stateMirror.js";

const decimals = (v) => v.toFixed(2);
const percent = (v) => `${Math.round(v * 100)} %`;
const decibels = (v) => `${v > 0 ? "+" : ""}${v.toFixed(1)} dB`;

const PARAMETERS = [
  { id: "p1", label: "P1", kind: "knob", group: "macros", defaultValue: 0.5, format: decimals },
  { id: "p2", label: "P2", kind: "knob", group: "macros", defaultValue: 0.5, format: decimals },
  { id: "p3", label: "P3", kind: "knob", group: "macros", defaultValue: 0.5, format: decimals },
  { id: "p4", label: "P4", kind: "knob", group: "macros", defaultValue: 0.5, format: decimals },
  { id: "input_gain", label: "Input", kind: "fader", group: "mix", min: -30, max: 30, defaultValue: 0, format: decibels },
  { id: "dry_gain", label: "Dry", kind: "fader", group: "mix", defaultValue: 0.5, format: percent },
  { id: "wet_gain", label: "Wet", kind: "fader", group: "mix", defaultValue: 1, format: percent },
  { id: "output_gain", label: "Output", kind: "fader", group: "mix", min: -30, max: 30, defaultValue: 0, format: decibels },
];

// How often the page says it is ready again, so that it picks the state up again after the
// plug-in has rebuilt its side of the bridge (a restored state); each time costs one full copy.
const READY_AGAIN_MS = 4000;

const mirror = new StateMirror();
const controls = new Map();
const loadLog = new LoadLog();
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
  picker.show({ loading });
  if (!loading)
    checkLoadOutcome();
  for (const watcher of loadingWatchers)
    watcher(loading);
}

// The log file's bytes, or null when it cannot be read.
async function readLog() {
  const reply = await request("readFileHandler", LOG_FILE).catch(() => "");
  return reply === "" ? null : base64ToBytes(String(reply));
}

// A load has ended: the plug-in logged its failure, if it failed, before it said so.
async function checkLoadOutcome() {
  const name = picker.current;
  if (name === "")
    return;
  picker.loadOutcome(name, "checking");
  const log = await readLog();
  picker.loadOutcome(name, log === null ? "finished" : loadLog.outcomeFor(name, log));
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

function buildControls() {
  for (const spec of PARAMETERS) {
    const control = new ParameterControl({
      ...spec,
      onInput: (value) => send("setParameter", { id: spec.id, value }),
    });
    controls.set(spec.id, control);
    $(spec.group).appendChild(control.root);
  }
}

function collectPreset() {
  const parameters = {};
  for (const [id, control] of controls)
    parameters[id] = Number(control.value.toFixed(6));
  return { model: picker.current, parameters };
}

async function applyPreset(preset) {
  const model = typeof preset.model === "string" ? preset.model : "";
  if (model !== "" && model !== picker.current) {
    // Only the value changes: one load, whose defaults the preset's values then replace.
    send("setHiddenParameter", { id: "model_path", value: model });
    await modelLoadsSettled();
  }
  for (const [id, value] of Object.entries(preset.parameters ?? {}))
    if (controls.has(id) && Number.isFinite(value)) {
      controls.get(id).setValue(value);
      send("setParameter", { id, value });
    }
}

function showState() {
  for (const [id, control] of controls) {
    const value = asNumber(mirror.value(id));
    if (value !== undefined)
      control.setValue(value);
  }

  const modelPath = mirror.value("model_path");
  picker.show({ modelPath: modelPath === undefined || modelPath === null ? "" : String(modelPath) });
  // Only a load in progress writes a boolean here; a restored state holds the text it was saved
  // with, which may well be "1" from a load long finished.
  const loadingFlag = mirror.value("is_model_loading");
  if (typeof loadingFlag === "boolean")
    setModelLoading(loadingFlag);

  const version = mirror.value("plugin_version");
  $("version").textContent = version ? `v${version}` : "";
  $("instance").textContent = mirror.has("instance_id") ? `instance ${mirror.value("instance_id")}` : "";
}

function showMetadata(records) {
  if (!Array.isArray(records))
    return;
  for (const record of records) {
    const control = controls.get(record?.id);
    if (control && record.type === "float")
      control.setRange(Number(record.min), Number(record.max), Number(record.step));
  }
}

const picker = new ModelPicker({
  select: $("model-select"),
  refreshButton: $("model-refresh"),
  status: $("model-status"),
  onError: (text) => notify(text, true),
});

const presets = new Presets({
  select: $("preset-select"),
  nameInput: $("preset-name"),
  saveButton: $("preset-save"),
  deleteButton: $("preset-delete"),
  collect: collectPreset,
  apply: applyPreset,
  onMessage: notify,
});

buildControls();
mirror.onChange(showState);

on("valueTreeStateChange", (batch) => mirror.applyBatch(batch));
on(`${CLIENT}::parameterMetadata`, showMetadata);
on("is_model_loading", (loading) => {
  setModelLoading(asBoolean(loading));
  if (!asBoolean(loading))
    picker.refresh();
});

// What the log holds before the page starts is about loads it has not seen. Requests are answered
// in order, so this look comes before that of any load that ends later.
readLog().then((log) => log !== null && loadLog.skip(log));
send("init", { isReady: true });
setInterval(() => send("init", { isReady: true }), READY_AGAIN_MS);
picker.refresh();
presets.refresh();
