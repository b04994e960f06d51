// Readers for the binary forms the plug-in uses to describe its state: JUCE's compressed integers,
// null-terminated strings, var values and whole value trees, as ValueTreeSynchroniser writes them.

const utf8 = new TextDecoder("utf-8");

// var type markers
const INT = 1, BOOL_TRUE = 2, BOOL_FALSE = 3, DOUBLE = 4, STRING = 5, INT64 = 6, ARRAY = 7, BINARY = 8, UNDEFINED = 9;

export class BinaryReader {
  constructor(bytes) {
    this.bytes = bytes;
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.pos = 0;
  }

  need(count) {
    if (count < 0 || this.pos + count > this.bytes.length)
      throw new RangeError("truncated data");
  }

  readByte() {
    this.need(1);
    return this.bytes[this.pos++];
  }

  // A size byte (bit 7: negative, bits 0-6: byte count up to 4), then the magnitude little-endian.
  readCompressedInt() {
    const head = this.readByte();
    const count = head & 0x7f;
    if (count > 4)
      throw new RangeError("bad compressed integer");
    this.need(count);
    let magnitude = 0;
    for (let i = 0; i < count; ++i)
      magnitude += this.bytes[this.pos++] * 2 ** (8 * i);
    return (head & 0x80) ? -magnitude : magnitude;
  }

  readString() {
    const end = this.bytes.indexOf(0, this.pos);
    if (end < 0)
      throw new RangeError("unterminated string");
    const text = utf8.decode(this.bytes.subarray(this.pos, end));
    this.pos = end + 1;
    return text;
  }

  // null stands for JUCE's void value, undefined for its undefined value.
  readVar() {
    const size = this.readCompressedInt();
    if (size <= 0)
      return null;

    this.need(size);
    const start = this.pos;
    const marker = this.bytes[this.pos++];
    const payload = size - 1;
    let value = null;

    switch (marker) {
      case INT:        value = this.view.getInt32(this.pos, true); break;
      case BOOL_TRUE:  value = true; break;
      case BOOL_FALSE: value = false; break;
      case DOUBLE:     value = this.view.getFloat64(this.pos, true); break;
      case INT64:      value = Number(this.view.getBigInt64(this.pos, true)); break;
      case UNDEFINED:  value = undefined; break;
      case STRING: {
        // The text and its terminating zero.
        const end = payload > 0 && this.bytes[this.pos + payload - 1] === 0 ? payload - 1 : payload;
        value = utf8.decode(this.bytes.subarray(this.pos, this.pos + end));
        break;
      }
      case BINARY:     value = this.bytes.slice(this.pos, this.pos + payload); break;
      case ARRAY: {
        const count = this.readCompressedInt();
        value = [];
        for (let i = 0; i < count; ++i)
          value.push(this.readVar());
        break;
      }
      default: break; // an unknown kind is skipped whole
    }

    this.pos = start + size;
    return value;
  }

  // { type, properties: Map, children: [] }, or null for the empty tree.
  readValueTree() {
    const type = this.readString();
    if (type === "")
      return null;

    const tree = { type, properties: new Map(), children: [] };
    const propertyCount = this.readCompressedInt();
    for (let i = 0; i < propertyCount; ++i) {
      const name = this.readString();
      tree.properties.set(name, this.readVar());
    }

    const childCount = this.readCompressedInt();
    for (let i = 0; i < childCount; ++i) {
      const child = this.readValueTree();
      if (child === null)
        break;
      tree.children.push(child);
    }
    return tree;
  }
}

export function base64ToBytes(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i)
    bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export function bytesToBase64(bytes) {
  let binary = "";
  const chunk = 0x8000;
  for (let i = 0; i < bytes.length; i += chunk)
    binary += String.fromCharCode(...bytes.subarray(i, i + chunk));
  return btoa(binary);
}
