// The server's API for the page's commands: a "call" on the page's /v2 connection while it is
// open, else one HTTP POST per request; the same reply either way. Runs on the main thread.
// POSTs carry no Content-Type so the browser sends a simple request (no preflight); with an API
// key the X-Api-Key header makes it a preflighted one, which the gateway answers for our origin.

import { askForKey, keyHeaders } from './api_key.js';

const kTimeoutMs = 5000;

/** The reply object for a request that never reached the server. */
export const kUnreachable = Object.freeze({ result: 'unreachable' });

export class Api {
  /**
   * `httpBase`: e.g. http://127.0.0.1:32222; `onReachable(bool)` is told after every request;
   * `rpc`: the page's RpcConnection, if it has one.
   */
  constructor(httpBase, onReachable = () => {}, rpc = null) {
    this.httpBase = httpBase;
    this.onReachable = onReachable;
    this.rpc = rpc;
  }

  /**
   * Sends `body` to `path`; resolves with the parsed reply: an object, `true`/`false` for the
   * bare replies some link commands give, null when the service did not answer in time, or
   * kUnreachable. `http`: over HTTP even while the /v2 connection is open. Never rejects.
   */
  async post(path, body = {}, { http = false } = {}) {
    if (!http && this.rpc?.isOpen) {
      const reply = await this.rpc.call(path, body);
      // Not sent at all (the connection went meanwhile): HTTP may still get through.
      if (reply?.result !== 'not connected') {
        if (reply?.result !== 'connection closed') this.onReachable(true);
        return reply;
      }
    }
    let text;
    try {
      const send = () =>
        fetch(this.httpBase + path, {
          method: 'POST',
          headers: keyHeaders(),
          body: JSON.stringify(body),
          signal: AbortSignal.timeout(kTimeoutMs),
        });
      let response = await send();
      if (response.status === 401 && askForKey()) response = await send();
      text = await response.text();
    } catch {
      this.onReachable(false);
      return kUnreachable;
    }
    this.onReachable(true);
    if (text === '') return null;
    try {
      return JSON.parse(text);
    } catch {
      return { result: `unreadable reply: ${text.slice(0, 80)}` };
    }
  }

  device(body) {
    return this.post('/v1/device', body);
  }
  link(linkID, body) {
    return this.post(`/v1/link/${encodeURIComponent(linkID)}`, body);
  }
  bundle(linkID, body, options) {
    return this.post(`/v1/bundle/${encodeURIComponent(linkID)}`, body, options);
  }
}
