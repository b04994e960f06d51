// The page's decoder against change blobs written by the framework for a real processor's tree.
import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { StateMirror, asBoolean, asNumber } from "./js/stateMirror.js";
import { BinaryReader, base64ToBytes, bytesToBase64 } from "./js/juceBinary.js";

const recorded = JSON.parse(readFileSync(process.env.CALBRIX_MIRROR_CHANGES, "utf8"));

function plain(value, kind) {
  switch (kind) {
    case "void": return null;
    case "undefined": return undefined;
    case "int64": return Number(value);
    default: return value;
  }
}

// The framework's tree, described by kind, turned into what the mirror holds.
function expectedTree(node) {
  return {
    type: node.type,
    properties: node.properties.map(([name, v]) => [name, expectedValue(v)]),
    children: node.children.map(expectedTree),
  };
}

function expectedValue(v) {
  return v.kind === "array" ? v.value.map(expectedValue) : plain(v.value, v.kind);
}

function mirroredTree(node) {
  return {
    type: node.type,
    properties: [...node.properties.entries()].map(([name, value]) =>
      [name, value instanceof Uint8Array ? [...value] : value]),
    children: node.children.map(mirroredTree),
  };
}

test("every recorded change applies and the mirror ends equal to the plug-in's tree", () => {
  const mirror = new StateMirror();
  let notified = 0;
  mirror.onChange(() => ++notified);

  assert.equal(mirror.applyBatch({ treeId: "PARAMETERS", changes: recorded.changes }), recorded.changes.length);
  assert.equal(notified, 1);
  assert.deepEqual(mirroredTree(mirror.root), expectedTree(recorded.tree));
});

test("one change at a time gives the same tree as the whole batch", () => {
  const mirror = new StateMirror();
  for (const change of recorded.changes)
    mirror.applyBatch({ changes: [change] });
  assert.deepEqual(mirroredTree(mirror.root), expectedTree(recorded.tree));
});

test("values read by id, in the kinds the page uses", () => {
  const mirror = new StateMirror();
  mirror.applyBatch({ changes: recorded.changes });
  assert.equal(mirror.value("p1"), 0.25);
  assert.equal(mirror.value("output_gain"), 15);
  assert.equal(mirror.value("is_model_loading"), true);
  assert.equal(mirror.value("model_path"), "dr\u00efve \ud83c\udfb8.pt");
  assert.equal(mirror.value("preset_id"), "3");
  assert.equal(mirror.value("missing"), undefined);
  assert.equal(mirror.root.children.at(-1).properties.get("id"), "model_path");
});

test("changes before any full copy, and broken blobs, are skipped without harm", () => {
  const mirror = new StateMirror();
  const [fullCopy, ...rest] = recorded.changes;
  assert.equal(mirror.applyBatch({ changes: rest }), 0);
  assert.equal(mirror.root, null);

  const truncated = bytesToBase64(base64ToBytes(rest[0]).subarray(0, 3));
  assert.equal(mirror.applyBatch({ changes: [fullCopy, truncated, "not base64 at all!", ...rest] }), 1 + rest.length);
  assert.deepEqual(mirroredTree(mirror.root), expectedTree(recorded.tree));
  assert.equal(mirror.applyBatch(null), 0);
  assert.equal(mirror.applyBatch({ changes: "nope" }), 0);
});

test("text and typed values read the same", () => {
  for (const [value, number, flag] of [[0.5, 0.5, false], ["0.5", 0.5, false], ["1", 1, true], [true, undefined, true],
                                       ["0", 0, false], [false, undefined, false], ["abc", undefined, false], [null, undefined, false]]) {
    assert.equal(asNumber(value), number, `asNumber(${value})`);
    assert.equal(asBoolean(value), flag, `asBoolean(${value})`);
  }
});

test("compressed integers of every width and sign", () => {
  const cases = [[[0], 0], [[1, 5], 5], [[0x81, 5], -5], [[2, 0x70, 0x11], 0x1170], [[4, 0xff, 0xff, 0xff, 0x7f], 0x7fffffff],
                 [[0x84, 0x00, 0x00, 0x00, 0x80], -(2 ** 31)]];
  for (const [bytes, expected] of cases)
    assert.equal(new BinaryReader(Uint8Array.from(bytes)).readCompressedInt(), expected);
  assert.throws(() => new BinaryReader(Uint8Array.from([5, 1, 2, 3, 4, 5])).readCompressedInt());
  assert.throws(() => new BinaryReader(Uint8Array.from([2, 1])).readCompressedInt());
});
