// The page's copy of the plug-in's state tree, kept up to date from the batches of encoded changes
// that arrive as "valueTreeStateChange" events.
import { BinaryReader, base64ToBytes } from "./juceBinary.js";

const PROPERTY_CHANGED = 1, FULL_SYNC = 2, CHILD_ADDED = 3, CHILD_REMOVED = 4, CHILD_MOVED = 5, PROPERTY_REMOVED = 6;

export class StateMirror {
  constructor() {
    this.root = null;
    this.listeners = new Set();
  }

  onChange(listener) {
    this.listeners.add(listener);
  }

  // Applies one batch ({ treeId, changes: [base64...] }) in order, then tells the listeners once.
  applyBatch(batch) {
    const changes = Array.isArray(batch?.changes) ? batch.changes : [];
    let applied = 0;
    for (const change of changes) {
      try {
        if (this.applyChange(base64ToBytes(String(change))))
          ++applied;
      } catch (error) {
        // A change that cannot be read is skipped; the next full copy puts things right.
        console.warn("state change skipped:", error);
      }
    }
    if (applied > 0)
      for (const listener of this.listeners)
        listener(this);
    return applied;
  }

  applyChange(bytes) {
    const reader = new BinaryReader(bytes);
    const type = reader.readByte();

    if (type === FULL_SYNC) {
      this.root = reader.readValueTree();
      return true;
    }

    const node = this.locate(reader);
    if (node === null)
      return false;

    switch (type) {
      case PROPERTY_CHANGED: {
        const name = reader.readString();
        node.properties.set(name, reader.readVar());
        return true;
      }
      case PROPERTY_REMOVED:
        node.properties.delete(reader.readString());
        return true;
      case CHILD_ADDED: {
        const index = reader.readCompressedInt();
        const child = reader.readValueTree();
        if (child === null)
          return false;
        if (index >= 0 && index <= node.children.length)
          node.children.splice(index, 0, child);
        else
          node.children.push(child);
        return true;
      }
      case CHILD_REMOVED: {
        const index = reader.readCompressedInt();
        if (index < 0 || index >= node.children.length)
          return false;
        node.children.splice(index, 1);
        return true;
      }
      case CHILD_MOVED: {
        const from = reader.readCompressedInt();
        const to = reader.readCompressedInt();
        if (from < 0 || from >= node.children.length || to < 0 || to >= node.children.length)
          return false;
        const [child] = node.children.splice(from, 1);
        node.children.splice(to, 0, child);
        return true;
      }
      default:
        return false;
    }
  }

  // The sub-tree a change names: a count of levels, then a child index per level from the root.
  locate(reader) {
    if (this.root === null)
      return null;
    const levels = reader.readCompressedInt();
    if (levels < 0 || levels > 65535)
      return null;
    let node = this.root;
    for (let i = 0; i < levels; ++i) {
      const index = reader.readCompressedInt();
      if (index < 0 || index >= node.children.length)
        return null;
      node = node.children[index];
    }
    return node;
  }

  // The "value" of the first child whose "id" is `id`, or undefined.
  value(id) {
    const child = this.root?.children.find((c) => c.properties.get("id") === id);
    return child?.properties.get("value");
  }

  has(id) {
    return this.root?.children.some((c) => c.properties.get("id") === id) ?? false;
  }
}

// Stored values arrive typed (numbers, booleans) or, after a restored state, as text.
export function asNumber(value) {
  const number = typeof value === "number" ? value : parseFloat(value);
  return Number.isFinite(number) ? number : undefined;
}

export function asBoolean(value) {
  return value === true || value === 1 || value === "1" || value === "true";
}
