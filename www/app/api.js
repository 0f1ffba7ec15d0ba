// The server's HTTP API: one JSON request per POST, one JSON reply. Runs on the main thread.
// POSTs carry no Content-Type so the browser sends a simple request (no preflight); with an API
// key the X-Api-Key header makes it a preflighted one, which the gateway answers for our origin.

import { askForKey, keyHeaders } from './api_key.js';

const kTimeoutMs = 5000;

/** The reply object for a request that never reached the server. */
export const kUnreachable = Object.freeze({ result: 'unreachable' });

export class Api {
  /** `httpBase`: e.g. http://127.0.0.1:32222; `onReachable(bool)` is told after every request. */
  constructor(httpBase, onReachable = () => {}) {
    this.httpBase = httpBase;
    this.onReachable = onReachable;
  }

  /**
   * POSTs `body` to `path`; resolves with the parsed reply: an object, `true`/`false` for the
   * bare replies some link commands give, null for an empty body (the service did not answer
   * in time), or kUnreachable. Never rejects.
   */
  async post(path, body = {}) {
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
  bundle(linkID, body) {
    return this.post(`/v1/bundle/${encodeURIComponent(linkID)}`, body);
  }
}
