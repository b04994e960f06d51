// What the page can say of the current model: "Ready" only after it has seen a load of that model
// begin and end without a logged failure, "Load failed" after one that failed, and "Selected"
// while it knows no more than that the plug-in's state names the model.

const TEXT = {
  unknown: "Selected",
  checking: "Loading…",
  loaded: "Ready",
  failed: "Load failed",
  finished: "Load finished", // a load ended, but its outcome could not be read
};

export class ModelStatus {
  constructor() {
    this.current = "";
    this.outcome = "unknown"; // of the current model's last load, a key of TEXT
    this.loading = false;
    this.loadSeen = false; // a load has begun since the current model was chosen
    this.beganUnread = false; // a load has begun since the page last read the state
    this.failureTold = false; // the current model's failure has been told to the user
  }

  // The user picks `name`; false when it is already the current model.
  choose(name) {
    if (name === "" || name === this.current)
      return false;
    this.current = name;
    this.outcome = "unknown";
    this.loadSeen = false;
    this.failureTold = false;
    return true;
  }

  // The model that the plug-in's state names, read from a batch of the mirror.
  stateNames(name) {
    if (name === this.current)
      return;
    this.current = name;
    this.outcome = "unknown";
    this.failureTold = false;
    // A load that began before the state showed the change, running or over by now, is most likely
    // the new model's: the change asked for it (a preset's model, a restored state).
    this.loadSeen = this.loading || this.beganUnread;
  }

  // The page has read a batch of the state to its end.
  stateRead() {
    this.beganUnread = false;
  }

  loadBegan() {
    this.loadSeen = true;
    this.beganUnread = true;
  }

  setLoading(loading) {
    this.loading = loading;
  }

  // The log is being read for the outcome of the load of `name` that ended.
  checking(name) {
    if (name === this.current)
      this.outcome = "checking";
  }

  // How the last load of `name` ended (a key of TEXT other than "checking"); ignored when another model has been chosen
  // meanwhile. True when this makes a failure known that was not told already (a pick loads the
  // file twice, and both loads fail).
  loadOutcome(name, outcome) {
    if (name !== this.current || !Object.hasOwn(TEXT, outcome) || outcome === "checking")
      return false;
    // A load that ended before this model's began (the previous one's) says nothing of it; a
    // failure names its model and needs no such care.
    if (!this.loadSeen && (outcome === "loaded" || outcome === "finished"))
      outcome = "unknown";
    this.outcome = outcome;
    if (outcome !== "failed")
      this.failureTold = false;
    else if (!this.failureTold)
      return (this.failureTold = true);
    return false;
  }

  get busy() {
    return this.loading || this.outcome === "checking";
  }

  get failed() {
    return !this.busy && this.current !== "" && this.outcome === "failed";
  }

  get text() {
    if (this.busy)
      return TEXT.checking;
    return this.current === "" ? "No model" : TEXT[this.outcome];
  }
}
