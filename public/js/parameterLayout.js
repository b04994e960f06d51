// Which controls the page shows: one for each float or int parameter that "parameterMetadata"
// declares, in its order, with the processor's range, step, label (its unit) and default. What the
// records do not say, the panel a parameter sits in, its short name and how its value reads, the
// page knows for the mix parameters it was made for; every other parameter is a knob among the
// model's parameters, named after its identifier.

const MIX = {
  input_gain: { name: "Input", format: "decibels" },
  output_gain: { name: "Output", format: "decibels" },
  dry_gain: { name: "Dry", format: "percent" },
  wet_gain: { name: "Wet", format: "percent" },
};

const MAX_DECIMALS = 6;

// The fewest decimals that show every step exactly; a single-precision step arrives widened
// (0.01 as 0.009999999776482582), so "exactly" allows for that.
export function decimalsFor(step) {
  for (let decimals = 0; decimals < MAX_DECIMALS; ++decimals) {
    const scaled = step * 10 ** decimals;
    if (Math.abs(scaled - Math.round(scaled)) < 1e-6 * scaled)
      return decimals;
  }
  return MAX_DECIMALS;
}

// "input_gain" reads "Input gain", "p1" reads "P1": the processor's identifiers are its names.
export function displayName(id) {
  const words = id.replace(/_+/g, " ").trim();
  return words.charAt(0).toUpperCase() + words.slice(1);
}

function formatFor(kind, decimals, unit) {
  switch (kind) {
    case "decibels":
      return (v) => `${v > 0 ? "+" : ""}${v.toFixed(1)} dB`;
    case "percent":
      return (v) => `${Math.round(v * 100)} %`;
    default:
      return (v) => (unit === "" ? v.toFixed(decimals) : `${v.toFixed(decimals)} ${unit}`);
  }
}

// The description of one control, or null for a record the page shows nothing for (a custom value,
// a bool or choice parameter, a range that cannot be shown).
function planFor(record) {
  if (record === null || typeof record !== "object" || typeof record.id !== "string" || record.id === "")
    return null;
  if (record.type !== "float" && record.type !== "int")
    return null;

  const min = Number(record.min), max = Number(record.max);
  if (!Number.isFinite(min) || !Number.isFinite(max) || !(max > min))
    return null;
  const declaredStep = record.type === "int" ? 1 : Number(record.step);
  const step = Number.isFinite(declaredStep) && declaredStep > 0 ? declaredStep : (max - min) / 100;
  const declaredDefault = Number(record.default);
  const defaultValue = Number.isFinite(declaredDefault) ? Math.min(max, Math.max(min, declaredDefault)) : min;
  const unit = typeof record.label === "string" ? record.label.trim() : "";

  const mix = Object.hasOwn(MIX, record.id) ? MIX[record.id] : undefined;
  return {
    id: record.id,
    name: mix ? mix.name : displayName(record.id),
    kind: mix ? "fader" : "knob",
    group: mix ? "mix" : "macros",
    min,
    max,
    step,
    defaultValue,
    unit,
    format: formatFor(mix?.format, decimalsFor(step), unit),
  };
}

// The controls for the records of one "parameterMetadata" event, in its order; a repeated id
// keeps its first record.
export function controlPlans(records) {
  if (!Array.isArray(records))
    return [];
  const plans = [];
  const seen = new Set();
  for (const record of records) {
    const plan = planFor(record);
    if (plan !== null && !seen.has(plan.id)) {
      seen.add(plan.id);
      plans.push(plan);
    }
  }
  return plans;
}

// Equal for two lists of plans that give the same controls: the metadata comes again with every
// "init", and only a different list is worth rebuilding the controls for.
export function layoutKey(plans) {
  return JSON.stringify(plans.map(({ id, kind, group, min, max, step, defaultValue, unit }) =>
    [id, kind, group, min, max, step, defaultValue, unit]));
}
