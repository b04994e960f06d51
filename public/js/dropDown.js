// A list to pick one entry from, drawn by the page itself: a native <select> opens the toolkit's
// own light popup on the dark page, and fires nothing when the entry it shows is picked again.
// Every pick, of the entry shown too, calls `onPick(value)`.
//
// The opener is no <button>: a button turns Enter and Space into clicks of its own, which would
// open the list again as the key picks an entry.
//
// Keyboard: on the opener, Enter, Space, Arrow Down or Arrow Up open the list; in the open list
// the arrows, Home and End move, Enter or Space pick, Escape and Tab close it without a pick.

let nextListNumber = 1;

export class DropDown {
  constructor(root, { onPick }) {
    this.root = root;
    this.onPick = onPick ?? (() => {});
    this.options = []; // { value, text }
    this.placeholder = "";
    this.empty = "";
    this.selected = "";
    this.active = -1; // the entry the keyboard is on while the list is open
    const listId = `dropdown-list-${nextListNumber++}`;

    root.classList.add("dropdown");
    this.opener = document.createElement("div");
    this.opener.className = "dropdown-opener";
    this.opener.tabIndex = 0;
    this.opener.setAttribute("role", "combobox");
    this.opener.setAttribute("aria-haspopup", "listbox");
    this.opener.setAttribute("aria-expanded", "false");
    this.opener.setAttribute("aria-controls", listId);
    const label = root.getAttribute("aria-label");
    if (label)
      this.opener.setAttribute("aria-label", label);
    this.shown = document.createElement("span");
    this.shown.className = "dropdown-value";
    this.opener.appendChild(this.shown);

    this.list = document.createElement("ul");
    this.list.id = listId;
    this.list.className = "dropdown-list";
    this.list.setAttribute("role", "listbox");
    this.list.hidden = true;
    root.append(this.opener, this.list);

    this.opener.addEventListener("click", () => (this.isOpen ? this.close() : this.open()));
    this.opener.addEventListener("keydown", (event) => this.key(event));
    this.opener.addEventListener("blur", () => this.close());
    // The opener keeps the focus: a press on an entry must not take it away before the click.
    this.list.addEventListener("mousedown", (event) => event.preventDefault());
    this.list.addEventListener("click", (event) => {
      const item = event.target.closest("[role=option]");
      if (item && !item.classList.contains("dropdown-empty"))
        this.pick(Number(item.dataset.index));
    });
    this.list.addEventListener("pointermove", (event) => {
      const item = event.target.closest("[role=option]");
      if (item && !item.classList.contains("dropdown-empty"))
        this.setActive(Number(item.dataset.index));
    });
    document.addEventListener("pointerdown", (event) => {
      if (this.isOpen && !root.contains(event.target))
        this.close();
    });
    window.addEventListener("resize", () => this.close());
    this.render();
  }

  get isOpen() {
    return !this.list.hidden;
  }

  get value() {
    return this.selected;
  }

  set value(value) {
    this.selected = value;
    this.render();
  }

  // The entries, the text shown while none is selected, and the text of an empty list.
  setOptions(options, { placeholder = "", empty = "" } = {}) {
    const same = options.length === this.options.length &&
      options.every((o, i) => o.value === this.options[i].value && o.text === this.options[i].text);
    this.placeholder = placeholder;
    this.empty = empty;
    if (!same) {
      this.options = options.map(({ value, text }) => ({ value, text }));
      this.active = Math.min(this.active, this.options.length - 1);
      this.fillList();
    }
    this.render();
  }

  fillList() {
    const items = this.options.map(({ value, text }, index) => {
      const item = document.createElement("li");
      item.id = `${this.list.id}-${index}`;
      item.setAttribute("role", "option");
      item.dataset.index = String(index);
      item.dataset.value = value;
      item.textContent = text;
      return item;
    });
    if (items.length === 0) {
      const item = document.createElement("li");
      item.setAttribute("role", "option");
      item.setAttribute("aria-disabled", "true");
      item.className = "dropdown-empty";
      items.push(item);
    }
    this.list.replaceChildren(...items);
  }

  render() {
    const index = this.indexOf(this.selected);
    this.shown.textContent = index >= 0 ? this.options[index].text : this.placeholder;
    this.shown.classList.toggle("placeholder", index < 0);
    const empty = this.list.querySelector(".dropdown-empty");
    if (empty)
      empty.textContent = this.empty;
    for (const item of this.list.querySelectorAll("[role=option]:not(.dropdown-empty)")) {
      const i = Number(item.dataset.index);
      item.setAttribute("aria-selected", String(i === index));
      item.classList.toggle("active", i === this.active);
    }
    if (this.isOpen && this.active >= 0)
      this.opener.setAttribute("aria-activedescendant", `${this.list.id}-${this.active}`);
    else
      this.opener.removeAttribute("aria-activedescendant");
  }

  indexOf(value) {
    return this.options.findIndex((option) => option.value === value);
  }

  open() {
    if (this.isOpen)
      return;
    this.active = Math.max(0, this.indexOf(this.selected));
    if (this.options.length === 0)
      this.active = -1;
    this.list.hidden = false;
    this.opener.setAttribute("aria-expanded", "true");
    this.placeList();
    this.render();
    this.list.querySelector(".active")?.scrollIntoView({ block: "nearest" });
  }

  close() {
    if (!this.isOpen)
      return;
    this.list.hidden = true;
    this.opener.setAttribute("aria-expanded", "false");
    this.render();
  }

  // Below the opener, or above it where the window has more room there; never past the window.
  placeList() {
    const margin = 8;
    const box = this.opener.getBoundingClientRect();
    const below = window.innerHeight - box.bottom - margin;
    const above = box.top - margin;
    const wanted = this.list.scrollHeight;
    const upward = wanted > below && above > below;
    this.list.classList.toggle("upward", upward);
    this.list.style.maxHeight = `${Math.max(40, upward ? above : below)}px`;
  }

  setActive(index) {
    if (index < 0 || index >= this.options.length)
      return;
    this.active = index;
    this.render();
    this.list.querySelector(".active")?.scrollIntoView({ block: "nearest" });
  }

  pick(index) {
    if (index < 0 || index >= this.options.length)
      return;
    const { value } = this.options[index];
    this.selected = value;
    this.close();
    this.onPick(value);
  }

  key(event) {
    const last = this.options.length - 1;
    if (!this.isOpen) {
      if (!["Enter", " ", "ArrowDown", "ArrowUp"].includes(event.key))
        return;
      this.open();
    } else if (event.key === "ArrowDown") {
      this.setActive(Math.min(last, this.active + 1));
    } else if (event.key === "ArrowUp") {
      this.setActive(Math.max(0, this.active - 1));
    } else if (event.key === "Home") {
      this.setActive(0);
    } else if (event.key === "End") {
      this.setActive(last);
    } else if (event.key === "Enter" || event.key === " ") {
      this.pick(this.active);
    } else if (event.key === "Escape") {
      this.close();
    } else {
      if (event.key === "Tab")
        this.close();
      return;
    }
    event.preventDefault();
  }
}
