// The model chooser: lists the files of the data folder's "models" folder, asks the plug-in to
// load the one picked and says what it knows of how that went: "Ready" only after the page has
// seen a load of the model end without a logged failure, "Load failed" after one that failed, and
// "Selected" while it knows no more than that the plug-in's state names the model.
import { request } from "./bridge.js";

const STATUS = {
  unknown: "Selected",
  checking: "Loading…",
  loaded: "Ready",
  failed: "Load failed",
  finished: "Load finished", // a load ended, but its outcome could not be read
};

export class ModelPicker {
  constructor({ select, refreshButton, status, onError }) {
    this.select = select;
    this.status = status;
    this.onError = onError ?? (() => {});
    this.current = "";
    this.loading = false;
    this.outcome = "unknown"; // of the current model's last load, a key of STATUS
    this.loadSeen = false; // whether a load has started since the current model was chosen
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
    this.outcome = "unknown";
    this.loadSeen = false;
    this.render();
    try {
      await request("model_path", { path: name });
    } catch (error) {
      this.onError(`Loading ${name} could not be requested.`);
    }
  }

  // What the plug-in's state names as its model, and whether a load is running.
  show({ modelPath, loading }) {
    if (modelPath !== undefined && modelPath !== this.current) {
      this.current = modelPath;
      this.outcome = "unknown";
      // A load that is running when the state names another model (a preset's) is most likely
      // that model's: the change asked for it.
      if (!this.loading)
        this.loadSeen = false;
    }
    if (loading !== undefined)
      this.loading = loading;
    if (loading)
      this.loadSeen = true;
    this.render();
  }

  // How the last load of `name` ended, as far as the page can tell (a key of STATUS); ignored when
  // another model has been chosen meanwhile.
  loadOutcome(name, outcome) {
    if (name !== this.current || !(outcome in STATUS))
      return;
    // A load that ended before this model's began (the previous one's) says nothing of it; a
    // failure names its model and needs no such care.
    if (!this.loadSeen && (outcome === "loaded" || outcome === "finished"))
      outcome = "unknown";
    if (outcome === "failed" && this.outcome !== "failed")
      this.onError(`“${name}” could not be loaded.`);
    this.outcome = outcome;
    this.render();
  }

  render() {
    const options = [["", this.names.length ? "Choose a model…" : "No models in the models folder"]];
    for (const name of this.names)
      options.push([name, name]);
    if (this.current !== "" && !this.names.includes(this.current))
      options.push([this.current, `${this.current} (not found)`]);
    if (this.outcome === "failed")
      for (const option of options)
        if (option[0] === this.current && this.current !== "")
          option[1] = `${this.current} (failed to load)`;

    const wanted = options.map(([value, text]) => `${value}\u0000${text}`).join("\u0001");
    if (this.select.dataset.options !== wanted) {
      this.select.replaceChildren(...options.map(([value, text]) => new Option(text, value)));
      this.select.dataset.options = wanted;
    }
    this.select.value = this.current;

    const busy = this.loading || this.outcome === "checking";
    this.status.textContent = busy ? STATUS.checking : this.current === "" ? "No model" : STATUS[this.outcome];
    this.status.classList.toggle("busy", busy);
    this.status.classList.toggle("failed", !busy && this.current !== "" && this.outcome === "failed");
    document.body.classList.toggle("model-loading", this.loading);
  }
}
