// Follows the model loads for the page: from the "is_model_loading" events and the batches of the
// state it keeps what the status line says of the current model (ModelStatus) and the values a
// double-click resets the controls to (ResetDefaults).
import { LoadWatch } from "./loadWatch.js";
import { ModelStatus } from "./modelStatus.js";
import { ResetDefaults } from "./resetDefaults.js";

export class ModelLoads {
  constructor() {
    this.watch = new LoadWatch();
    this.status = new ModelStatus();
    this.defaults = new ResetDefaults();
  }

  get current() {
    return this.status.current;
  }

  // The controls shown, with the defaults the processor declares.
  declare(plans) {
    this.defaults.declare(plans);
  }

  // The user picks a model; false when it is the current one already.
  choose(name) {
    if (!this.status.choose(name))
      return false;
    this.defaults.requested(name);
    return true;
  }

  // A preset changes the model's name in the state.
  presetAsks(name) {
    this.defaults.requested(name);
  }

  // An "is_model_loading" event.
  announce(loading) {
    if (this.watch.announce(loading))
      this.status.loadBegan();
    this.status.setLoading(loading);
  }

  // After a batch of the state: the model it names, its "is_model_loading" value and the
  // parameters' values. Gives the model whose load the batch shows ended, whose outcome is then to
  // be looked up in the log, or null.
  stateRead({ model, flag, values }) {
    this.defaults.stateNames(model);
    this.status.stateNames(model);
    const told = this.watch.stateShows(flag);
    if (told.includes("began"))
      this.status.loadBegan();
    if (typeof flag === "boolean")
      this.status.setLoading(flag);

    let ended = null;
    if (told.includes("ended") && this.status.current !== "") {
      ended = this.status.current;
      if (this.status.loadSeen)
        this.defaults.loadEnded(ended, values);
      this.status.checking(ended);
    }
    this.status.stateRead();
    return ended;
  }

  // What the log tells of the load of `name` that ended; true when it makes a failure known.
  outcome(name, outcome) {
    if (outcome === "failed")
      this.defaults.loadFailed(name);
    return this.status.loadOutcome(name, outcome);
  }

  resetTarget(id) {
    return this.defaults.target(id, this.status.current);
  }
}
