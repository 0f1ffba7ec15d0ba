// Search of the API reference: hides the commands (and endpoints) whose text does not hold
// every word typed, in the page and in the contents.

function matches(node, words) {
  const text = node.textContent.toLowerCase();
  return words.every((w) => text.includes(w));
}

/** Applies `query` to the rendered reference in `main` and its contents `toc`. */
export function applySearch(query, main, toc) {
  const words = query.toLowerCase().split(/\s+/).filter(Boolean);
  let shown = 0;
  for (const endpoint of main.querySelectorAll("section.endpoint")) {
    const path = endpoint.dataset.endpoint;
    const headerHit = words.length > 0 && words.every((w) => path.toLowerCase().includes(w));
    let anyShown = false;
    for (const part of endpoint.querySelectorAll("section.command, section.request")) {
      const visible = words.length === 0 || headerHit || matches(part, words);
      part.classList.toggle("hidden", !visible);
      anyShown ||= visible;
      if (part.dataset.command) {
        const entry = toc.querySelector(`[data-toc-endpoint="${CSS.escape(path)}"] [data-toc-command="${CSS.escape(part.dataset.command)}"]`);
        entry?.classList.toggle("hidden", !visible);
      }
    }
    const endpointVisible = words.length === 0 || anyShown || matches(endpoint, words);
    endpoint.classList.toggle("hidden", !endpointVisible);
    toc.querySelector(`[data-toc-endpoint="${CSS.escape(path)}"]`)?.classList.toggle("hidden", !endpointVisible);
    if (endpointVisible) shown += 1;
  }
  // The /v2 section: its methods and notifications narrow like commands.
  const v2 = main.querySelector("section.v2");
  if (v2) {
    let anyShown = false;
    for (const part of v2.querySelectorAll("section.method, section.notification")) {
      const visible = words.length === 0 || matches(part, words);
      part.classList.toggle("hidden", !visible);
      anyShown ||= visible;
    }
    const visible = words.length === 0 || anyShown;
    v2.classList.toggle("hidden", !visible);
    toc.querySelector(".toc-v2")?.classList.toggle("hidden", !visible);
    if (visible) shown += 1;
  }
  main.querySelector("#overview")?.classList.toggle("hidden", words.length > 0);
  main.querySelector("#no-match")?.classList.toggle("hidden", shown > 0);
}
