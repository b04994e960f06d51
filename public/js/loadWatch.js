// When a model load begins and ends, as the page hears of it on two roads: the "is_model_loading"
// event, which comes at once, and the state's own "is_model_loading" in the mirror's batches, which
// come up to a timer tick later and hold the values the load left behind.
//
// A load has ended for the page only once a batch read after the event's end shows the flag
// cleared: only then does the mirror hold what the load did, and name the model the state holds by
// then. After a restored state, whose new bridge sends no batch until the page says "init" again,
// that is the restored model, not the one the page's older picture named.

export class LoadWatch {
  constructor() {
    this.announced = undefined; // the last "is_model_loading" event, a boolean
    this.stateFlag = undefined; // the state's flag as last read, when it was a boolean
    this.pending = false; // a load has begun and its end not been read from the state yet
  }

  // An "is_model_loading" event; true when it tells of a load that has begun.
  announce(loading) {
    const began = loading && this.announced !== true;
    this.announced = loading;
    if (began)
      this.pending = true;
    return began;
  }

  // The state's flag after a batch (anything but a boolean is a restored text and says nothing).
  // Gives what that batch tells: "began" (a load that no event has told of yet) and/or "ended".
  stateShows(flag) {
    const told = [];
    if (typeof flag !== "boolean")
      return told;
    if (flag && this.stateFlag !== true && this.announced !== true) {
      this.pending = true;
      told.push("began");
    }
    this.stateFlag = flag;
    if (!flag && this.pending && this.announced !== true) {
      this.pending = false;
      told.push("ended");
    }
    return told;
  }
}
