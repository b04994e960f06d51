// The model chooser: lists the files of the data folder's "models" folder, asks the plug-in to
// load the one picked and shows what the page knows of how the loads went (ModelLoads).
import { request } from "./bridge.js";
import { DropDown } from "./dropDown.js";

export class ModelPicker {
  constructor({ loads, list, refreshButton, status, onError }) {
    this.loads = loads;
    this.statusLine = status;
    this.onError = onError ?? (() => {});
    this.names = [];
    this.list = new DropDown(list, { onPick: (name) => this.pick(name) });

    refreshButton.addEventListener("click", () => this.refresh());
    this.render();
  }

  async refresh() {
    try {
      const reply = String(await request("fileListHandler", { directory: "models" }));
      const listed = reply === "not a valid directory" || reply === "" ? [] : reply.split(",");
      this.names = [...new Set(listed.filter((name) => name !== "" && !name.startsWith(".")))]
        .sort((a, b) => a.localeCompare(b));
    } catch (error) {
      this.onError("The models folder could not be listed.");
    }
    this.render();
  }

  async pick(name) {
    const chosen = this.loads.choose(name);
    this.render();
    if (!chosen)
      return;
    try {
      await request("model_path", { path: name });
    } catch (error) {
      this.onError(`Loading ${name} could not be requested.`);
    }
  }

  render() {
    const { status } = this.loads;
    const current = status.current;
    const options = this.names.map((name) => ({ value: name, text: name }));
    if (current !== "" && !this.names.includes(current))
      options.push({ value: current, text: `${current} (not found)` });
    if (status.outcome === "failed")
      for (const option of options)
        if (option.value === current && current !== "")
          option.text = `${current} (failed to load)`;

    const none = "No models in the models folder";
    this.list.setOptions(options, { placeholder: this.names.length ? "Choose a model…" : none, empty: none });
    this.list.value = current;

    this.statusLine.textContent = status.text;
    this.statusLine.classList.toggle("busy", status.busy);
    this.statusLine.classList.toggle("failed", status.failed);
    document.body.classList.toggle("model-loading", status.loading);
  }
}
