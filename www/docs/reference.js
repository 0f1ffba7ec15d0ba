// Entry of the API reference page: loads api.json (the one source of truth, served beside this
// file), renders it, and wires the search and the link id field. Runs in the browser.
import { renderReference } from "./render.js";
import { applySearch } from "./search.js";

const main = document.getElementById("reference");
const toc = document.getElementById("toc");
const search = document.getElementById("search");
const linkIdInput = document.getElementById("link-id");

async function start() {
  let api;
  try {
    // Beside this module, wherever the page itself was opened from.
    const response = await fetch(new URL("api.json", import.meta.url), { cache: "no-cache" });
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    api = await response.json();
  } catch (error) {
    main.textContent = `api.json could not be loaded (${error.message}). Open this page through the server: http://127.0.0.1:32223/docs/index.html`;
    return;
  }

  const listeners = [];
  const context = {
    httpPort: api.transports.HTTP.defaultPort,
    webSocketPort: api.transports.WebSocket.defaultPort,
    linkId: () => linkIdInput.value.trim(),
    onLinkIdChange: (listener) => listeners.push(listener),
  };
  linkIdInput.addEventListener("input", () => listeners.forEach((listener) => listener()));

  renderReference(api, main, toc, context);

  const query = new URLSearchParams(location.search).get("q");
  if (query) search.value = query;
  search.addEventListener("input", () => applySearch(search.value, main, toc));
  applySearch(search.value, main, toc);

  // The sections exist only now: honour an anchor the page was opened with.
  if (location.hash) {
    document.getElementById(decodeURIComponent(location.hash.slice(1)))?.scrollIntoView();
  }
}

start();
