// The controls the page builds from "parameterMetadata": the processor's own list first, then the
// records a processor could declare that the page must take as they come.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { controlPlans, decimalsFor, displayName, layoutKey } from "./js/parameterLayout.js";

const recorded = JSON.parse(readFileSync(process.env.CALBRIX_MIRROR_CHANGES, "utf8"));
const plain = (plans) => plans.map(({ format, ...rest }) => rest);

test("the processor's parameters become its controls, in the order, ranges and defaults it declares", () => {
  const plans = controlPlans(recorded.metadata);
  const expected = [
    // id, name, kind, group, min, max, default, a value and how it reads
    ["dry_gain", "Dry", "fader", "mix", 0, 1, 0.5, 0.25, "25 %"],
    ["input_gain", "Input", "fader", "mix", -30, 30, 0, 3, "+3.0 dB"],
    ["output_gain", "Output", "fader", "mix", -30, 30, 0, -15, "-15.0 dB"],
    ["p1", "P1", "knob", "macros", 0, 1, 0.5, 0.7, "0.70"],
    ["p2", "P2", "knob", "macros", 0, 1, 0.5, 0.25, "0.25"],
    ["p3", "P3", "knob", "macros", 0, 1, 0.5, 1, "1.00"],
    ["p4", "P4", "knob", "macros", 0, 1, 0.5, 0, "0.00"],
    ["wet_gain", "Wet", "fader", "mix", 0, 1, 1, 1, "100 %"],
  ];
  assert.deepEqual(plans.map((s) => s.id), expected.map((e) => e[0]));
  for (const [i, [id, name, kind, group, min, max, defaultValue, value, text]] of expected.entries()) {
    const plan = plans[i];
    assert.deepEqual([plan.name, plan.kind, plan.group, plan.min, plan.max, plan.defaultValue],
                     [name, kind, group, min, max, defaultValue], id);
    // The single-precision step as it arrives, a little below 0.01.
    assert.ok(Math.abs(plan.step - 0.01) < 1e-8, `${id} step ${plan.step}`);
    assert.equal(plan.format(value), text, id);
  }
});

test("records are taken as declared, and those the page cannot show are left out", () => {
  const cases = [
    ["a custom value", { id: "model_path" }, null],
    ["a bool parameter", { id: "bypass", type: "bool", label: "" }, null],
    ["a choice parameter", { id: "mode", type: "choice", choices: ["a", "b"], label: "" }, null],
    ["an int parameter", { id: "voices", type: "int", label: "", min: 1, max: 8, step: 1, default: 3 },
      { name: "Voices", kind: "knob", group: "macros", min: 1, max: 8, step: 1, defaultValue: 3, unit: "", shown: [5, "5"] }],
    ["a unit label", { id: "cutoff_hz", type: "float", label: "Hz", min: 20, max: 20000, step: 0.5, default: 440 },
      { name: "Cutoff hz", kind: "knob", group: "macros", min: 20, max: 20000, step: 0.5, defaultValue: 440, unit: "Hz", shown: [440.5, "440.5 Hz"] }],
    ["no default: the range's start", { id: "p9", type: "float", label: "", min: -1, max: 1, step: 0.25 },
      { name: "P9", kind: "knob", group: "macros", min: -1, max: 1, step: 0.25, defaultValue: -1, unit: "", shown: [0.5, "0.50"] }],
    ["a default outside the range", { id: "p9", type: "float", label: "", min: 0, max: 1, step: 0.1, default: 7 },
      { name: "P9", kind: "knob", group: "macros", min: 0, max: 1, step: 0.1, defaultValue: 1, unit: "", shown: [0.3, "0.3"] }],
    ["no step: a hundredth of the range", { id: "wet_gain", type: "float", label: "", min: 0, max: 2, default: 1 },
      { name: "Wet", kind: "fader", group: "mix", min: 0, max: 2, step: 0.02, defaultValue: 1, unit: "", shown: [1.5, "150 %"] }],
    ["an empty range", { id: "p1", type: "float", label: "", min: 1, max: 1, step: 0.01, default: 1 }, null],
    ["a reversed range", { id: "p1", type: "float", label: "", min: 1, max: 0, step: 0.01, default: 1 }, null],
    ["a range that is no number", { id: "p1", type: "float", label: "", min: "x", max: 1, step: 0.01 }, null],
    ["no id", { type: "float", label: "", min: 0, max: 1, step: 0.01 }, null],
    ["no object", "p1", null],
  ];
  for (const [what, record, expected] of cases) {
    const plans = controlPlans([record]);
    if (expected === null) {
      assert.deepEqual(plans, [], what);
      continue;
    }
    assert.equal(plans.length, 1, what);
    const { shown: [value, text], ...plan } = expected;
    const { id, format, ...got } = plans[0];
    assert.deepEqual(got, plan, what);
    assert.equal(format(value), text, what);
  }
  assert.deepEqual(controlPlans(undefined), []);
  assert.deepEqual(controlPlans({ id: "p1" }), []);
});

test("a repeated id keeps its first record, and the order stays the processor's", () => {
  const record = (id, max) => ({ id, type: "float", label: "", min: 0, max, step: 0.01, default: 0 });
  const plans = controlPlans([record("b", 1), { id: "model_path" }, record("a", 1), record("b", 5)]);
  assert.deepEqual(plans.map((s) => [s.id, s.max]), [["b", 1], ["a", 1]]);
});

test("the same declaration again needs no new controls; a different one does", () => {
  const key = layoutKey(controlPlans(recorded.metadata));
  // Every "init" sends the list again; the custom values moved to the end change nothing shown.
  const moved = [...recorded.metadata.filter((r) => r.id !== "model_id"), { id: "model_id" }];
  assert.equal(layoutKey(controlPlans(structuredClone(recorded.metadata))), key);
  assert.equal(layoutKey(controlPlans(moved)), key);

  const widened = structuredClone(recorded.metadata);
  widened.find((r) => r.id === "p3").max = 2;
  const reordered = [...recorded.metadata.filter((r) => r.id !== "p1"), recorded.metadata.find((r) => r.id === "p1")];
  const fewer = recorded.metadata.filter((r) => r.id !== "wet_gain");
  for (const other of [widened, reordered, fewer])
    assert.notEqual(layoutKey(controlPlans(other)), key);
  assert.equal(plain(controlPlans(widened)).find((s) => s.id === "p3").max, 2);
});

test("steps read with the fewest decimals that show them; identifiers read as names", () => {
  const steps = [[0.009999999776482582, 2], [0.01, 2], [1, 0], [5, 0], [0.1, 1], [0.25, 2], [0.5, 1], [0.001, 3], [1 / 3, 6]];
  for (const [step, decimals] of steps)
    assert.equal(decimalsFor(step), decimals, String(step));
  const names = [["p1", "P1"], ["input_gain", "Input gain"], ["a__b_", "A b"], ["x", "X"]];
  for (const [id, name] of names)
    assert.equal(displayName(id), name, id);
});
