// Rotary knobs and horizontal faders for the plug-in's parameters. A control shows the value the
// plug-in holds and reports the user's moves through `onInput`, at most once per animation frame;
// a double-click puts it back to the value `resetTo` gives at that moment.

const SVG = "http://www.w3.org/2000/svg";
const START_ANGLE = -135, END_ANGLE = 135;

function polar(angleDegrees, radius) {
  const a = (angleDegrees - 90) * Math.PI / 180;
  return [50 + radius * Math.cos(a), 50 + radius * Math.sin(a)];
}

function arcPath(fromDegrees, toDegrees, radius) {
  const [x0, y0] = polar(fromDegrees, radius);
  const [x1, y1] = polar(toDegrees, radius);
  const large = toDegrees - fromDegrees > 180 ? 1 : 0;
  return `M ${x0} ${y0} A ${radius} ${radius} 0 ${large} 1 ${x1} ${y1}`;
}

function element(tag, className, parent) {
  const node = document.createElement(tag);
  if (className)
    node.className = className;
  parent?.appendChild(node);
  return node;
}

export class ParameterControl {
  constructor({ id, label, kind = "knob", min = 0, max = 1, step = 0.01, defaultValue = min, format, resetTo, onInput }) {
    this.id = id;
    this.kind = kind;
    this.min = min;
    this.max = max;
    this.step = step;
    this.defaultValue = defaultValue;
    this.format = format ?? ((v) => v.toFixed(2));
    this.resetTo = resetTo ?? (() => defaultValue);
    this.onInput = onInput ?? (() => {});
    this.value = defaultValue;
    this.dragging = false;
    this.pendingFrame = 0;

    this.root = element("div", `control ${kind}`);
    this.root.dataset.parameter = id;
    this.root.tabIndex = 0;
    this.root.setAttribute("role", "slider");
    this.root.setAttribute("aria-label", label);

    if (kind === "knob")
      this.buildKnob(label);
    else
      this.buildFader(label);

    this.attachInput();
    this.render();
  }

  buildKnob(label) {
    const svg = document.createElementNS(SVG, "svg");
    svg.setAttribute("viewBox", "0 0 100 100");
    svg.classList.add("dial");
    this.track = document.createElementNS(SVG, "path");
    this.track.setAttribute("class", "track");
    this.track.setAttribute("d", arcPath(START_ANGLE, END_ANGLE, 40));
    this.fill = document.createElementNS(SVG, "path");
    this.fill.setAttribute("class", "fill");
    this.pointer = document.createElementNS(SVG, "line");
    this.pointer.setAttribute("class", "pointer");
    svg.append(this.track, this.fill, this.pointer);
    this.surface = svg;
    this.root.appendChild(svg);
    element("div", "label", this.root).textContent = label;
    this.readout = element("div", "readout", this.root);
  }

  buildFader(label) {
    const head = element("div", "fader-head", this.root);
    element("span", "label", head).textContent = label;
    this.readout = element("span", "readout", head);
    this.surface = element("div", "rail", this.root);
    this.fill = element("div", "fill", this.surface);
    this.thumb = element("div", "thumb", this.surface);
  }

  // The value the plug-in holds; a control that the user is moving, or whose move has not been
  // sent yet, keeps the user's value.
  setValue(value) {
    if (this.dragging || this.pendingFrame || !Number.isFinite(value))
      return;
    this.value = this.clamp(value);
    this.render();
  }

  clamp(value) {
    return Math.min(this.max, Math.max(this.min, value));
  }

  snap(value) {
    const steps = Math.round((this.clamp(value) - this.min) / this.step);
    return this.clamp(Number((this.min + steps * this.step).toFixed(6)));
  }

  proportion() {
    return (this.value - this.min) / (this.max - this.min);
  }

  change(value) {
    const snapped = this.snap(value);
    if (snapped === this.value)
      return;
    this.value = snapped;
    this.render();
    if (!this.pendingFrame)
      this.pendingFrame = requestAnimationFrame(() => {
        this.pendingFrame = 0;
        this.onInput(this.value);
      });
  }

  render() {
    const p = Math.min(1, Math.max(0, this.proportion()));
    if (this.kind === "knob") {
      const angle = START_ANGLE + p * (END_ANGLE - START_ANGLE);
      this.fill.setAttribute("d", p > 0.001 ? arcPath(START_ANGLE, angle, 40) : "");
      const [x0, y0] = polar(angle, 14);
      const [x1, y1] = polar(angle, 32);
      this.pointer.setAttribute("x1", x0);
      this.pointer.setAttribute("y1", y0);
      this.pointer.setAttribute("x2", x1);
      this.pointer.setAttribute("y2", y1);
    } else {
      this.fill.style.width = `${p * 100}%`;
      this.thumb.style.left = `${p * 100}%`;
    }
    const text = this.format(this.value);
    this.readout.textContent = text;
    this.root.setAttribute("aria-valuemin", String(this.min));
    this.root.setAttribute("aria-valuemax", String(this.max));
    this.root.setAttribute("aria-valuenow", String(this.value));
    this.root.setAttribute("aria-valuetext", text);
  }

  attachInput() {
    let startY = 0, startValue = 0;

    const valueAtPointer = (event) => {
      if (this.kind === "knob") {
        const fine = event.shiftKey ? 0.1 : 1;
        return startValue + (startY - event.clientY) / 200 * (this.max - this.min) * fine;
      }
      const box = this.surface.getBoundingClientRect();
      return this.min + (event.clientX - box.left) / Math.max(1, box.width) * (this.max - this.min);
    };

    this.surface.addEventListener("pointerdown", (event) => {
      if (event.button !== 0)
        return;
      event.preventDefault();
      this.root.focus();
      this.surface.setPointerCapture(event.pointerId);
      this.dragging = true;
      startY = event.clientY;
      startValue = this.value;
      this.root.classList.add("active");
      if (this.kind === "fader")
        this.change(valueAtPointer(event));
    });
    this.surface.addEventListener("pointermove", (event) => {
      if (this.dragging)
        this.change(valueAtPointer(event));
    });
    const end = () => {
      this.dragging = false;
      this.root.classList.remove("active");
    };
    this.surface.addEventListener("pointerup", end);
    this.surface.addEventListener("pointercancel", end);

    this.root.addEventListener("dblclick", () => {
      const value = this.resetTo();
      if (Number.isFinite(value))
        this.change(value);
    });
    this.root.addEventListener("wheel", (event) => {
      event.preventDefault();
      const steps = (event.deltaY < 0 ? 1 : -1) * (event.shiftKey ? 1 : 5);
      this.change(this.value + steps * this.step);
    }, { passive: false });
    this.root.addEventListener("keydown", (event) => {
      const moves = {
        ArrowUp: this.step, ArrowRight: this.step, ArrowDown: -this.step, ArrowLeft: -this.step,
        PageUp: 10 * this.step, PageDown: -10 * this.step,
      };
      if (event.key in moves)
        this.change(this.value + moves[event.key]);
      else if (event.key === "Home")
        this.change(this.min);
      else if (event.key === "End")
        this.change(this.max);
      else
        return;
      event.preventDefault();
    });
  }
}
