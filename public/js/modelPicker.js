// The model chooser: lists the files of the data folder's "models" folder and asks the plug-in to
// load the one picked.
import { request } from "./bridge.js";

export class ModelPicker {
  constructor({ select, refreshButton, status, onError }) {
    this.select = select;
    this.status = status;
    this.onError = onError ?? (() => {});
    this.current = "";
    this.loading = false;
    this.names = [];

    select.addEventListener("change", () => this.pick(select.value));
    refreshButton.addEventListener("click", () => this.refresh());
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
    if (name === "" || name === this.current)
      return;
    this.current = name;
    this.render();
    try {
      await request("model_path", { path: name });
    } catch (error) {
      this.onError(`Loading ${name} could not be requested.`);
    }
  }

  // What the plug-in's state names as its model, and whether a load is running.
  show({ modelPath, loading }) {
    if (modelPath !== undefined)
      this.current = modelPath;
    if (loading !== undefined)
      this.loading = loading;
    this.render();
  }

  render() {
    const options = [["", this.names.length ? "Choose a model…" : "No models in the models folder"]];
    for (const name of this.names)
      options.push([name, name]);
    if (this.current !== "" && !this.names.includes(this.current))
      options.push([this.current, `${this.current} (not found)`]);

    const wanted = options.map(([value, text]) => `${value}\u0000${text}`).join("\u0001");
    if (this.select.dataset.options !== wanted) {
      this.select.replaceChildren(...options.map(([value, text]) => new Option(text, value)));
      this.select.dataset.options = wanted;
    }
    this.select.value = this.current;

    this.status.textContent = this.loading ? "Loading…" : this.current === "" ? "No model" : "Ready";
    this.status.classList.toggle("busy", this.loading);
    document.body.classList.toggle("model-loading", this.loading);
  }
}
