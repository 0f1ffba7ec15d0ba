// A WebSocket to one server path that reconnects with back-off (the server restarted, or another
// client held the path: the gateway takes one client per path and closes the others at once).
// Each text message sent gets exactly one reply, in order. Runs on the main thread.

import { withKey } from './api_key.js';

const kFirstRetryMs = 250;
const kLongestRetryMs = 5000;
const kReplyTimeoutMs = 3000;

/** The delay before reconnect attempt `attempt` (0-based): doubling, capped. */
export function backoffDelay(attempt) {
  return Math.min(kLongestRetryMs, kFirstRetryMs * 2 ** Math.min(attempt, 10));
}

export class ReconnectingSocket {
  /**
   * `url`: ws://host:port/path. `onState(state)` gets 'connecting', 'open' or 'closed'.
   * `WebSocketClass` is injectable for tests.
   */
  constructor(url, { onState = () => {}, WebSocketClass = globalThis.WebSocket } = {}) {
    this.url = url;
    this.onState = onState;
    this.WebSocketClass = WebSocketClass;
    this.pending = []; // replies awaited, oldest first: { resolve, timer }
    this.attempt = 0;
    this.closed = false;
    this.socket = null;
    this.retryTimer = null;
    this.connect();
  }

  get isOpen() {
    return this.socket !== null && this.socket.readyState === 1;
  }

  /** Replies still awaited. */
  get outstanding() {
    return this.pending.length;
  }

  connect() {
    if (this.closed) return;
    this.onState('connecting');
    const socket = new this.WebSocketClass(withKey(this.url));
    this.socket = socket;
    socket.onopen = () => {
      if (socket !== this.socket) return;
      this.attempt = 0;
      this.onState('open');
    };
    socket.onmessage = (event) => {
      if (socket !== this.socket) return;
      const waiter = this.pending.shift();
      if (!waiter) return;
      clearTimeout(waiter.timer);
      let reply;
      try {
        reply = JSON.parse(event.data);
      } catch {
        reply = { result: `unreadable reply: ${String(event.data).slice(0, 80)}` };
      }
      waiter.resolve(reply);
    };
    socket.onclose = () => {
      if (socket !== this.socket) return;
      this.failPending({ result: 'connection closed' });
      this.socket = null;
      if (this.closed) return;
      this.onState('closed');
      this.retryTimer = setTimeout(() => this.connect(), backoffDelay(this.attempt++));
    };
    socket.onerror = () => {}; // a close event follows
  }

  /**
   * Sends `message` (an object, sent as JSON); resolves with its reply, or with an object
   * whose result says why none came. Never rejects.
   */
  request(message) {
    if (!this.isOpen) return Promise.resolve({ result: 'not connected' });
    return new Promise((resolve) => {
      const waiter = { resolve, timer: null };
      waiter.timer = setTimeout(() => {
        // A reply this late would be taken for the next request's: start afresh.
        this.failPending({ result: 'no reply' });
        this.socket?.close();
      }, kReplyTimeoutMs);
      this.pending.push(waiter);
      this.socket.send(JSON.stringify(message));
    });
  }

  failPending(reply) {
    const waiters = this.pending;
    this.pending = [];
    for (const waiter of waiters) {
      clearTimeout(waiter.timer);
      waiter.resolve(reply);
    }
  }

  /** Closes for good: no reconnect. */
  close() {
    this.closed = true;
    clearTimeout(this.retryTimer);
    this.failPending({ result: 'connection closed' });
    this.socket?.close();
    this.socket = null;
  }
}
