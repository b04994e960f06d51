// Presets: JSON files in the data folder's "presets" folder holding the model's name and the
// parameter values.
import { request } from "./bridge.js";
import { DropDown } from "./dropDown.js";
import { base64ToBytes, bytesToBase64 } from "./juceBinary.js";

const EXTENSION = ".json";
const FORMAT = "calbrix-fx-preset";

// A preset name that stays one file inside the presets folder.
export function presetFileName(name) {
  const cleaned = String(name).replace(/[\/\\:*?"<>|\u0000-\u001f]/g, " ").replace(/^[.\s]+/, "").trim();
  return cleaned === "" ? "" : cleaned.slice(0, 80) + EXTENSION;
}

export function encodePreset(preset) {
  const json = JSON.stringify({ format: FORMAT, version: 1, ...preset }, null, 2);
  return "data:application/json;base64," + bytesToBase64(new TextEncoder().encode(json));
}

export function decodePreset(base64) {
  const preset = JSON.parse(new TextDecoder().decode(base64ToBytes(base64)));
  if (preset === null || typeof preset !== "object" || preset.format !== FORMAT)
    throw new Error("not a preset file");
  return preset;
}

export class Presets {
  constructor({ list, nameInput, saveButton, deleteButton, collect, apply, onMessage }) {
    this.nameInput = nameInput;
    this.collect = collect;
    this.apply = apply;
    this.onMessage = onMessage ?? (() => {});

    // Every pick loads, of the preset shown too: that is the way back to it after changes.
    this.list = new DropDown(list, { onPick: (name) => this.load(name) });
    saveButton.addEventListener("click", () => this.save(nameInput.value));
    nameInput.addEventListener("keydown", (event) => {
      if (event.key === "Enter")
        this.save(nameInput.value);
    });
    deleteButton.addEventListener("click", () => this.remove(this.list.value));
  }

  async refresh(selected = this.list.value) {
    let names = [];
    try {
      const reply = String(await request("fileListHandler", { directory: "presets" }));
      if (reply !== "not a valid directory")
        names = [...new Set(reply.split(",").filter((n) => n.endsWith(EXTENSION)).map((n) => n.slice(0, -EXTENSION.length)))]
          .sort((a, b) => a.localeCompare(b));
    } catch (error) {
      this.onMessage("The presets could not be listed.", true);
    }
    this.list.setOptions(names.map((name) => ({ value: name, text: name })),
                         { placeholder: names.length ? "Load a preset…" : "No presets yet", empty: "No presets yet" });
    this.list.value = names.includes(selected) ? selected : "";
  }

  async save(name) {
    const fileName = presetFileName(name);
    if (fileName === "") {
      this.onMessage("Give the preset a name first.", true);
      return;
    }
    const reply = await request("saveFileHandler",
                                { directory: "presets", filename: fileName, data: encodePreset(this.collect()) })
      .catch(() => "failed");
    if (reply === "success") {
      this.onMessage(`Saved “${fileName.slice(0, -EXTENSION.length)}”.`);
      await this.refresh(fileName.slice(0, -EXTENSION.length));
    } else {
      this.onMessage("The preset could not be saved.", true);
    }
  }

  async load(name) {
    const content = await request("readFileHandler", { directory: "presets", filename: name + EXTENSION })
      .catch(() => "");
    try {
      if (content === "")
        throw new Error("empty or missing");
      await this.apply(decodePreset(String(content)));
      this.nameInput.value = name;
      this.onMessage(`Loaded “${name}”.`);
    } catch (error) {
      this.onMessage(`“${name}” is not a preset that can be loaded.`, true);
    }
  }

  async remove(name) {
    if (name === "")
      return;
    const reply = await request("deleteFileHandler", { directory: "presets", filename: name + EXTENSION })
      .catch(() => "failed");
    this.onMessage(reply === "success" ? `Deleted “${name}”.` : `“${name}” could not be deleted.`, reply !== "success");
    await this.refresh("");
  }
}
