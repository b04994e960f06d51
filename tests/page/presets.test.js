// Preset files: the names the page writes and the round trip of their content.
import { test } from "node:test";
import assert from "node:assert/strict";

globalThis.window = globalThis.window ?? {};
const { presetFileName, encodePreset, decodePreset } = await import("./js/presets.js");

test("preset names become one safe file name in the presets folder", () => {
  const cases = [
    ["Warm drive", "Warm drive.json"],
    ["../../etc/passwd", "  etc passwd.json".trim()],
    ["a/b\\c:d", "a b c d.json"],
    ["...hidden", "hidden.json"],
    ["   ", ""],
    ["", ""],
    ["x".repeat(200), "x".repeat(80) + ".json"],
    ["Gitarre \u00fc\u00df \ud83c\udfb8", "Gitarre \u00fc\u00df \ud83c\udfb8.json"],
  ];
  for (const [name, expected] of cases)
    assert.equal(presetFileName(name), expected, JSON.stringify(name));
});

test("a preset survives the trip through the file as Base64", () => {
  const preset = { model: "dr\u00efve.pt", parameters: { p1: 0.25, output_gain: -3.5 } };
  const data = encodePreset(preset);
  assert.match(data, /^data:application\/json;base64,[A-Za-z0-9+/]+=*$/);
  const back = decodePreset(data.slice(data.indexOf(",") + 1));
  assert.equal(back.model, preset.model);
  assert.deepEqual(back.parameters, preset.parameters);
});

test("files that are not presets are refused", () => {
  const base64 = (text) => Buffer.from(text, "utf8").toString("base64");
  for (const content of ["{}", "[1,2]", "null", "not json", '{"format":"other"}'])
    assert.throws(() => decodePreset(base64(content)), content);
});
