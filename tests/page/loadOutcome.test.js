// Telling from the plug-in's log file how the loads that ended since the page last looked went.
import { test } from "node:test";
import assert from "node:assert/strict";
import { LoadLog, failedModelPaths } from "./js/loadOutcome.js";

const bytes = (text) => new TextEncoder().encode(text);
const models = "/home/user/.config/Application Support/Ardel/Calbrix/models";
// As the plug-in's file logger writes it: each message followed by CR LF, lines inside a message by LF.
const banner = "Calbrix Error Log\r\n**********************************************************\r\nLog started: 10 Dec 2024 9:00:00am\r\n";
const failure = (name) => `error loading the model\n${models}/${name}\nPytorchStreamReader failed\nnot a zip archive\r\n`;
const success = "\r\n\r\n"; // the load's empty message, then the preparation's

test("the failed models are the paths named after each failure line", () => {
  const log = banner + failure("a.pt") + success + failure("dr\u00efve \ud83c\udfb8.pt") + "error loading the model";
  assert.deepEqual(failedModelPaths(log), [`${models}/a.pt`, `${models}/dr\u00efve \ud83c\udfb8.pt`]);
  assert.deepEqual(failedModelPaths(banner + success), []);
});

test("each look judges only what was logged since the one before", () => {
  const log = new LoadLog();
  let text = banner + failure("old.pt");
  log.skip(bytes(text)); // before the page's time

  const steps = [
    ["old.pt", success, "loaded"],             // the earlier failure is not this load's
    ["old.pt", "", "unknown"],                  // a load replaced before it began logs nothing
    ["a.pt", failure("a.pt"), "failed"],
    ["a.pt", success, "loaded"],               // fixed and loaded again
    ["b.pt", failure("sub/b.pt") + success, "loaded"], // another file of a similar name
    ["b.pt", failure("a.pt") + success, "loaded"],     // another model's failure
    ["dr\u00efve \ud83c\udfb8.pt", failure("dr\u00efve \ud83c\udfb8.pt"), "failed"],
  ];
  for (const [name, logged, expected] of steps) {
    text += logged;
    assert.equal(log.outcomeFor(name, bytes(text)), expected, `${name} after ${JSON.stringify(logged)}`);
  }
});

test("a line still being written is judged on the next look", () => {
  const log = new LoadLog();
  log.skip(bytes(banner));
  const whole = banner + failure("a.pt");
  const cut = whole.indexOf("error loading") + 8;
  assert.equal(log.outcomeFor("a.pt", bytes(whole.slice(0, cut))), "unknown");
  assert.equal(log.outcomeFor("a.pt", bytes(whole)), "failed");
});

test("without an earlier look nothing can be told; a new, shorter log is read from its start", () => {
  const log = new LoadLog();
  const text = banner + failure("a.pt");
  assert.equal(log.outcomeFor("a.pt", bytes(text)), "unknown");
  assert.equal(log.outcomeFor("a.pt", bytes(text + success)), "loaded");
  assert.equal(log.outcomeFor("a.pt", bytes(failure("a.pt"))), "failed");
});
