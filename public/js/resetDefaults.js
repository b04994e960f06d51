// The value a double-click puts a control back to: the value the loaded model gave it, or, before
// the page has seen a model give any, the parameter's default that the processor declares.
//
// The processor gives the parameters the model's defaults only when a change of the model's name
// asked for the load (the page's own pick, a preset's model); a restored state keeps the values it
// holds. So the page learns a model's defaults from the values the state shows right after a load
// it asked for, and nothing from the loads of a restored state.

export class ResetDefaults {
  constructor() {
    this.declared = new Map(); // parameter id -> the processor's default
    this.learned = new Map(); // model name -> { parameter id: the model's default }
    this.expected = ""; // the model whose load the page asked for and has not seen end yet
    this.stateModel = undefined; // the model the state named when last read
  }

  // The controls shown, each with the default the processor declares.
  declare(plans) {
    this.declared = new Map(plans.map((plan) => [plan.id, plan.defaultValue]));
  }

  // The page asked for `model` to be loaded through a change of the model's name.
  requested(model) {
    this.expected = model;
  }

  // The model that the plug-in's state names. A change to a model the page did not ask for is a
  // restored state's, whose load keeps the values it restored.
  stateNames(model) {
    if (model === this.stateModel)
      return;
    this.stateModel = model;
    if (model !== this.expected)
      this.expected = "";
  }

  // A load of `model` that the page saw begin after the model was chosen has ended; `values` are
  // the parameters' values as the state shows them now.
  loadEnded(model, values) {
    if (model === "" || model !== this.expected)
      return;
    this.expected = "";
    const finite = Object.entries(values).filter(([, value]) => Number.isFinite(value));
    this.learned.set(model, Object.fromEntries(finite));
  }

  // A failed load left the values as they were: they are not the model's.
  loadFailed(model) {
    this.learned.delete(model);
    if (model === this.expected)
      this.expected = "";
  }

  target(id, model) {
    const learned = this.learned.get(model);
    if (learned !== undefined && Object.hasOwn(learned, id))
      return learned[id];
    return this.declared.get(id);
  }
}
