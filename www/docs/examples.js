// The request examples of the API reference: curl for HTTP, a browser snippet for WebSocket,
// both for the link id the reader typed. Pure text building.

export const LINK_PLACEHOLDER = "<linkID>";

/** The concrete path for `pattern`, with the link id filled in. */
export function concretePath(pattern, linkId) {
  return pattern.replace(LINK_PLACEHOLDER, linkId || LINK_PLACEHOLDER);
}

/** Quotes `text` for a POSIX shell (single quotes). */
export function shellQuote(text) {
  return "'" + text.replace(/'/g, "'\\''") + "'";
}

/** The request as the server's replies are written: compact JSON. */
export function compact(request) {
  return JSON.stringify(request);
}

export function curlExample(host, port, path, request) {
  return `curl -s http://${host}:${port}${path} -d ${shellQuote(compact(request))}`;
}

// A JavaScript string literal for `text`: single-quoted where that needs no escapes.
function jsString(text) {
  return /['\\\n]/.test(text) ? JSON.stringify(text) : `'${text}'`;
}

export function webSocketExample(host, port, path, request) {
  return [
    `const socket = new WebSocket("ws://${host}:${port}${path}");`,
    `socket.onmessage = (event) => console.log(event.data);`,
    `socket.onopen = () => socket.send(${jsString(compact(request))});`,
  ].join("\n");
}
