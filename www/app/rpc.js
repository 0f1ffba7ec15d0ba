// The page's one connection to the server: JSON-RPC 2.0 over the WebSocket /v2. Calls are
// answered by id in any order; subscriptions (links, a bundle's status) are pushed by the server
// and renewed after every reconnect, so the page never polls and leaves the /v1 WebSocket paths
// to other programs. Reconnects with back-off. Main thread.

import { withKey } from './api_key.js';

const kFirstRetryMs = 250;
const kLongestRetryMs = 5000;
const kCallTimeoutMs = 3000;
const kNoReplyCode = -32000;

/** The delay before reconnect attempt `attempt` (0-based): doubling, capped. */
export function backoffDelay(attempt) {
  return Math.min(kLongestRetryMs, kFirstRetryMs * 2 ** Math.min(attempt, 10));
}

export class RpcConnection {
  /**
   * `url`: ws://host:port/v2. `onState(state)` gets 'connecting', 'open' or 'closed'.
   * `WebSocketClass` is injectable for tests.
   */
  constructor(url, { onState = () => {}, WebSocketClass = globalThis.WebSocket } = {}) {
    this.url = url;
    this.WebSocketClass = WebSocketClass;
    this.listeners = new Set([onState]);
    this.state = 'connecting';
    this.nextId = 1;
    this.pending = new Map(); // request id -> { resolve, timer, path }
    this.subscriptions = new Set(); // { params, onData, id: server's subscription or null }
    this.early = new Map(); // subscription id -> params of a notification ahead of its subscribe answer
    this.attempt = 0;
    this.closed = false;
    this.socket = null;
    this.retryTimer = null;
    this.connect();
  }

  get isOpen() {
    return this.socket !== null && this.socket.readyState === 1;
  }

  /** Calls still awaiting their answer, all paths or only those to `path`. */
  outstanding(path) {
    if (path === undefined) return this.pending.size;
    return [...this.pending.values()].filter((waiter) => waiter.path === path).length;
  }

  /** `listener(state)` is told every change of the connection's state, and the present one now. */
  watch(listener) {
    this.listeners.add(listener);
    listener(this.state);
    return () => this.listeners.delete(listener);
  }

  setState(state) {
    this.state = state;
    for (const listener of this.listeners) listener(state);
  }

  connect() {
    if (this.closed) return;
    this.setState('connecting');
    const socket = new this.WebSocketClass(withKey(this.url));
    this.socket = socket;
    socket.onopen = () => {
      if (socket !== this.socket) return;
      this.attempt = 0;
      this.setState('open');
      for (const subscription of this.subscriptions) this.sendSubscribe(subscription);
    };
    socket.onmessage = (event) => {
      if (socket === this.socket) this.receive(event.data);
    };
    socket.onclose = () => {
      if (socket !== this.socket) return;
      this.socket = null;
      this.failPending('connection closed');
      this.early.clear();
      for (const subscription of this.subscriptions) subscription.id = null;
      if (this.closed) return;
      this.setState('closed');
      this.retryTimer = setTimeout(() => this.connect(), backoffDelay(this.attempt++));
    };
    socket.onerror = () => {}; // a close event follows
  }

  receive(text) {
    let message;
    try {
      message = JSON.parse(text);
    } catch {
      return;
    }
    if (message.id === undefined || message.id === null) {
      // A notification: { method, params: { subscription, data, ... } }.
      const id = message.params?.subscription;
      const subscription = [...this.subscriptions].find((s) => s.id !== null && s.id === id);
      if (subscription) subscription.onData(message.params.data);
      else if (id !== undefined && this.early.size < 16) this.early.set(id, message.params);
      return;
    }
    const waiter = this.pending.get(message.id);
    if (!waiter) return; // answered after its time-out: nobody waits for it any more
    this.pending.delete(message.id);
    clearTimeout(waiter.timer);
    waiter.resolve(message);
  }

  /** Sends one request; resolves with the server's response object, or { localError } when none came. */
  send(method, params, path) {
    if (!this.isOpen) return Promise.resolve({ localError: 'not connected' });
    const id = this.nextId++;
    return new Promise((resolve) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        resolve({ localError: 'no reply' });
      }, kCallTimeoutMs);
      this.pending.set(id, { resolve, timer, path });
      this.socket.send(JSON.stringify({ jsonrpc: '2.0', id, method, params }));
    });
  }

  /**
   * Sends `request` to the service at `path` (e.g. /v1/bundle/<linkID>); resolves with the
   * service's reply as HTTP would give it: the reply object (or bare true/false), null when the
   * service did not answer in time, or an object whose result says why nothing came. Never
   * rejects.
   */
  async call(path, request) {
    const response = await this.send('call', { path, request }, path);
    if (response.localError) return { result: response.localError };
    if (response.error) return response.error.code === kNoReplyCode ? null : { result: response.error.message };
    return response.result;
  }

  /**
   * Subscribes with `params` ({ topic: 'links' } or { topic: 'status', linkID, maxRate });
   * `onData(data)` gets every notification's data, also after reconnects. Returns a function
   * that ends the subscription. `onError(error)` gets the server's JSON-RPC error when it
   * refuses the subscription (a topic it does not offer: code -32602).
   */
  subscribe(params, onData, { onError = () => {} } = {}) {
    const subscription = { params, onData, onError, id: null, generation: 0 };
    this.subscriptions.add(subscription);
    if (this.isOpen) this.sendSubscribe(subscription);
    return () => {
      this.subscriptions.delete(subscription);
      if (subscription.id !== null && this.isOpen) this.send('unsubscribe', { subscription: subscription.id });
      subscription.id = null;
    };
  }

  async sendSubscribe(subscription) {
    const generation = ++subscription.generation;
    const response = await this.send('subscribe', subscription.params);
    // Given up meanwhile, or renewed by a reconnect: this answer is stale.
    if (generation !== subscription.generation) return;
    const id = response.result?.subscription;
    if (id === undefined) {
      if (response.error && this.subscriptions.has(subscription)) subscription.onError(response.error);
      return;
    }
    if (!this.subscriptions.has(subscription)) {
      this.send('unsubscribe', { subscription: id });
      return;
    }
    subscription.id = id;
    const early = this.early.get(id);
    this.early.delete(id);
    if (early) subscription.onData(early.data);
  }

  failPending(reason) {
    const waiters = [...this.pending.values()];
    this.pending.clear();
    for (const waiter of waiters) {
      clearTimeout(waiter.timer);
      waiter.resolve({ localError: reason });
    }
  }

  /** Closes for good: no reconnect. */
  close() {
    this.closed = true;
    clearTimeout(this.retryTimer);
    this.failPending('connection closed');
    this.socket?.close();
    this.socket = null;
  }
}
