// Where the server is: the page is opened as /?port=<HTTP port>&version=<server version> by the
// server's own links. Read once at start on the browser's main thread.

const kDefaultHttpPort = 32222;

/**
 * The HTTP and WebSocket base addresses from the page's query. The WebSocket port is not in the
 * query the server builds: it is the HTTP port + 2 (the defaults are 32222 and 32224) unless a
 * `ws` parameter names it.
 */
export function serverAddresses(search, hostname) {
  const query = new URLSearchParams(search);
  const port = validPort(query.get('port')) ?? kDefaultHttpPort;
  const wsPort = validPort(query.get('ws')) ?? port + 2;
  const host = hostname || '127.0.0.1';
  return {
    httpBase: `http://${host}:${port}`,
    wsBase: `ws://${host}:${wsPort}`,
    httpPort: port,
    wsPort,
    version: query.get('version') ?? '',
    query: query.toString(),
  };
}

function validPort(text) {
  if (text === null || !/^\d{1,5}$/.test(text)) return null;
  const port = Number(text);
  return port > 0 && port < 65536 ? port : null;
}
