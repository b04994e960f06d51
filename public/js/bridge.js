// The page's side of the plug-in protocol. Messages go out posted to the "juce" handler (or, where
// the web view has none, as a "juce://" navigation); native events come in through the global
// function receiveMessageFromJuce. Requests carry a "uid" and are answered under "Plugin::<uid>".

export const CLIENT = "Plugin";

const listeners = new Map();
const pending = new Map();
const session = Math.random().toString(36).slice(2, 8);
let nextRequest = 1;

function post(message) {
  const handler = window.webkit?.messageHandlers?.juce;
  if (handler)
    handler.postMessage(message);
  else
    window.location.href = "juce://" + encodeURIComponent(JSON.stringify(message));
}

// Sends one event of the plug-in client ("init", "setParameter", ...).
export function send(eventName, data) {
  post({ eventType: `${CLIENT}::${eventName}`, data });
}

// Sends a request and resolves with the text of its answer.
export function request(eventName, data = {}, timeoutMs = 10000) {
  const uid = `${session}-${nextRequest++}`;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      pending.delete(uid);
      reject(new Error(`no answer to ${eventName}`));
    }, timeoutMs);
    pending.set(uid, { resolve, timer });
    send(eventName, { ...data, uid });
  });
}

// Calls `handler(data)` for every native event of that full name.
export function on(eventType, handler) {
  if (!listeners.has(eventType))
    listeners.set(eventType, new Set());
  listeners.get(eventType).add(handler);
}

export function receive(event) {
  if (event === null || typeof event !== "object" || typeof event.eventType !== "string")
    return;

  const { eventType, data } = event;
  const prefix = `${CLIENT}::`;
  if (eventType.startsWith(prefix)) {
    const answer = pending.get(eventType.slice(prefix.length));
    if (answer) {
      pending.delete(eventType.slice(prefix.length));
      clearTimeout(answer.timer);
      answer.resolve(data);
      return;
    }
  }

  for (const handler of listeners.get(eventType) ?? []) {
    try {
      handler(data);
    } catch (error) {
      console.error(`handler of ${eventType} failed:`, error);
    }
  }
}

window.receiveMessageFromJuce = receive;
