// What the page can learn of how a model load ended. The plug-in sends no outcome: it shows a failed
// load in a native message box and writes every load's outcome to its log file ("calbrix.log" in the
// data folder) before it clears "is_model_loading": the failure's text, or an empty line when the
// model loaded. So once a load has ended, the lines logged since the page last looked tell whether a
// load of the current model failed. A load that a newer request replaced before it began logs
// nothing; success itself names no model, so "something logged, no failure of this model" is all that
// success means here.

export const LOG_FILE = { directory: "", filename: "calbrix.log" };

const FAILURE = "error loading the model";
const LINE_FEED = 10;

// The model files whose load failed, by the full path the log gives on the line after the failure's.
export function failedModelPaths(logText) {
  const lines = String(logText).split(/\r?\n/);
  const paths = [];
  for (let i = 0; i + 1 < lines.length; ++i)
    if (lines[i] === FAILURE)
      paths.push(lines[i + 1]);
  return paths;
}

export class LoadLog {
  constructor() {
    this.seen = null; // bytes of the log already looked at; null before the first look
  }

  // Takes note of what the log holds now, which is about loads the page did not see.
  skip(bytes) {
    this.seen = this.completeLines(bytes);
  }

  // "failed" when the lines logged since the last look name a failed load of the model file `name`
  // (a name in the models folder), "loaded" when they do not, "unknown" when nothing was logged or on
  // the first look, which cannot tell this load from earlier ones.
  outcomeFor(name, bytes) {
    const start = this.seen;
    this.seen = this.completeLines(bytes);
    if (start === null)
      return "unknown";

    // A shorter log is a new one: the plug-in trims it when it starts.
    const from = start <= bytes.length ? start : 0;
    if (this.seen <= from)
      return "unknown";
    const text = new TextDecoder().decode(bytes.subarray(from, this.seen));
    return failedModelPaths(text).some((path) => path.endsWith(`/models/${name}`)) ? "failed" : "loaded";
  }

  // The length up to the last line feed: a line being written while the log was read is looked at next time.
  completeLines(bytes) {
    return bytes.lastIndexOf(LINE_FEED) + 1;
  }
}
