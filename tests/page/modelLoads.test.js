// What the page makes of model loads, fed as the page feeds it: "is_model_loading" events, the
// mirror's batches (the model the state names, its flag, the parameters' values), the user's picks
// and the log's verdicts. The status line says "Ready" only for a load it saw of the current model;
// a double-click goes back to the model's defaults, or to the declared ones.
import { test } from "node:test";
import assert from "node:assert/strict";
import { ModelLoads } from "./js/modelLoads.js";

const DECLARED = [
  { id: "p2", defaultValue: 0.5 },
  { id: "wet_gain", defaultValue: 1 },
];

// Steps: ["event", loading], ["batch", model, flag, values?], ["choose", name], ["preset", name],
// ["outcome", verdict] (for the load last reported ended), ["status", text], ["ended", [names]],
// ["reset", id, value].
function run(steps) {
  const loads = new ModelLoads();
  loads.declare(DECLARED);
  let ended = [];
  let lastEnded = null;
  for (const [i, [kind, ...args]] of steps.entries()) {
    const at = `step ${i} (${kind} ${JSON.stringify(args)})`;
    switch (kind) {
      case "event":
        loads.announce(args[0]);
        break;
      case "batch": {
        const name = loads.stateRead({ model: args[0], flag: args[1], values: args[2] ?? {} });
        if (name !== null) {
          ended.push(name);
          lastEnded = name;
        }
        break;
      }
      case "choose":
        loads.choose(args[0]);
        break;
      case "preset":
        loads.presetAsks(args[0]);
        break;
      case "outcome":
        assert.notEqual(lastEnded, null, `${at}: no load ended to judge`);
        assert.equal(loads.outcome(lastEnded, args[0]), args[1] ?? false, `${at}: failure newly told`);
        break;
      case "status":
        assert.equal(loads.status.text, args[0], at);
        break;
      case "ended":
        assert.deepEqual(ended, args[0], at);
        ended = [];
        break;
      case "reset":
        assert.equal(loads.resetTarget(args[0]), args[1], at);
        break;
      default:
        throw new Error(`unknown step ${kind}`);
    }
  }
  return loads;
}

// The page picks a.pt and sees its load through.
const pickedAndLoaded = [
  ["choose", "a.pt"], ["status", "Selected"],
  ["event", true], ["status", "Loading…"], ["batch", "a.pt", true],
  ["event", false], ["ended", []], // the state has not shown the end yet
  ["batch", "a.pt", false], ["ended", ["a.pt"]], ["status", "Loading…"], // the log is being read
  ["outcome", "loaded"], ["status", "Ready"],
];

test("the status line tells only of loads the page saw, restored states included", async (t) => {
  const cases = {
    "a restored state whose load ends before its tree reaches the page": [
      ...pickedAndLoaded,
      // The new bridge stays silent until the page says "init" again; the load runs meanwhile.
      ["event", true], ["event", false], ["ended", []],
      ["batch", "b.pt", false], ["ended", ["b.pt"]], ["outcome", "loaded"], ["status", "Ready"],
    ],
    "a restored state whose tree comes first, holding its saved text": [
      ...pickedAndLoaded,
      ["batch", "b.pt", "1"], ["status", "Selected"],
      ["event", true], ["batch", "b.pt", true], ["event", false], ["batch", "b.pt", false],
      ["ended", ["b.pt"]], ["outcome", "loaded"], ["status", "Ready"],
    ],
    "a restored model that fails": [
      ...pickedAndLoaded,
      ["event", true], ["event", false], ["batch", "b.pt", false], ["ended", ["b.pt"]],
      ["outcome", "failed", true], ["status", "Load failed"],
    ],
    "a model that was loaded before the page started": [
      ["batch", "a.pt", false], ["ended", []], ["status", "Selected"],
    ],
    "a start-up load still running when the page starts": [
      ["batch", "a.pt", true], ["status", "Loading…"], ["event", false], ["batch", "a.pt", false],
      ["ended", ["a.pt"]], ["outcome", "loaded"], ["status", "Ready"],
    ],
    "a pick while the previous model still loads: that load's end is not the new model's": [
      ["choose", "a.pt"], ["event", true], ["batch", "a.pt", true],
      ["choose", "b.pt"], ["batch", "b.pt", true],
      ["event", false], ["batch", "b.pt", false], ["ended", ["b.pt"]], ["outcome", "loaded"], ["status", "Selected"],
      ["event", true], ["batch", "b.pt", true], ["event", false], ["batch", "b.pt", false],
      ["ended", ["b.pt"]], ["outcome", "loaded"], ["status", "Ready"],
    ],
    "a batch that shows the load before its event does: one load, one end": [
      ["choose", "a.pt"], ["batch", "a.pt", true], ["event", true], ["event", false],
      ["batch", "a.pt", false], ["batch", "a.pt", false], ["ended", ["a.pt"]],
      ["outcome", "loaded"], ["status", "Ready"],
    ],
    "a pick that loads twice and fails twice tells of the failure once": [
      ["choose", "bad.pt"], ["event", true], ["event", false], ["batch", "bad.pt", false], ["ended", ["bad.pt"]],
      ["outcome", "failed", true], ["status", "Load failed"],
      ["event", true], ["event", false], ["batch", "bad.pt", false], ["ended", ["bad.pt"]],
      ["outcome", "failed", false], ["status", "Load failed"],
    ],
    "a preset's model, whose load begins before the state names it": [
      ...pickedAndLoaded,
      ["preset", "c.pt"], ["event", true], ["batch", "c.pt", true], ["event", false], ["batch", "c.pt", false],
      ["ended", ["c.pt"]], ["outcome", "loaded"], ["status", "Ready"],
    ],
    "picking the current model again asks for nothing": [
      ...pickedAndLoaded, ["choose", "a.pt"], ["status", "Ready"],
    ],
  };
  for (const [what, steps] of Object.entries(cases))
    await t.test(what, () => run(steps));
});

test("a double-click resets to the model's defaults once the page has seen them given", async (t) => {
  const cases = {
    "before any load: the declared defaults": [
      ["reset", "p2", 0.5], ["reset", "wet_gain", 1], ["reset", "unknown", undefined],
    ],
    "a model picked and loaded": [
      ["choose", "drive.pt"], ["event", true], ["batch", "drive.pt", true, { p2: 0.5, wet_gain: 1 }],
      ["event", false], ["batch", "drive.pt", false, { p2: 0.7, wet_gain: 0.8 }],
      ["reset", "p2", 0.7], ["reset", "wet_gain", 0.8], ["outcome", "loaded"], ["reset", "p2", 0.7],
      // The user's moves afterwards change nothing of it.
      ["batch", "drive.pt", false, { p2: 0.1, wet_gain: 0.1 }], ["reset", "p2", 0.7],
    ],
    "a model whose load failed: the values it left are not its defaults": [
      ["choose", "bad.pt"], ["event", true], ["event", false], ["batch", "bad.pt", false, { p2: 0.3 }],
      ["outcome", "failed", true], ["reset", "p2", 0.5],
    ],
    "a pick while another model loads learns from its own load only": [
      ["choose", "a.pt"], ["event", true], ["batch", "a.pt", true],
      ["choose", "b.pt"], ["event", false], ["batch", "b.pt", false, { p2: 0.1 }], ["outcome", "loaded"],
      ["reset", "p2", 0.5],
      ["event", true], ["event", false], ["batch", "b.pt", false, { p2: 0.9 }], ["reset", "p2", 0.9],
    ],
    "a preset's model gives its defaults before the preset's values replace them": [
      ["preset", "c.pt"], ["batch", "c.pt", false, { p2: 0.5 }], ["event", true], ["batch", "c.pt", true],
      ["event", false], ["batch", "c.pt", false, { p2: 0.6 }], ["outcome", "loaded"],
      ["batch", "c.pt", false, { p2: 0.2 }], ["reset", "p2", 0.6],
    ],
    "a restored state keeps its values: they are not the model's defaults": [
      ["event", true], ["event", false], ["batch", "r.pt", false, { p2: 0.9 }], ["outcome", "loaded"],
      ["status", "Ready"], ["reset", "p2", 0.5],
    ],
    "a restored state naming a model learned before goes back to what that model gave": [
      ["choose", "drive.pt"], ["event", true], ["event", false], ["batch", "drive.pt", false, { p2: 0.7 }],
      ["outcome", "loaded"],
      ["choose", "b.pt"], ["event", true], ["event", false], ["batch", "b.pt", false, { p2: 0.2 }],
      ["outcome", "loaded"], ["reset", "p2", 0.2],
      ["event", true], ["event", false], ["batch", "drive.pt", false, { p2: 0.9 }], ["outcome", "loaded"],
      ["reset", "p2", 0.7],
    ],
  };
  for (const [what, steps] of Object.entries(cases))
    await t.test(what, () => run(steps));
});
