// Renders api.json into the reference: the contents, the /v2 JSON-RPC methods (data-method),
// notifications (data-notification) and errors, one section per endpoint (data-endpoint) and
// per command (data-command), each with an anchor, fields, examples and replies.
import { el, copyText } from "./dom.js";
import { concretePath, curlExample, webSocketExample, compact } from "./examples.js";

const HOST = "127.0.0.1";

/**
 * The anchor of an endpoint ("/v1/bundle/<linkID>/status" -> "bundle-status") or, with `name`,
 * of one of its commands ("bundle.status"): short, readable and unique.
 */
export function anchorId(path, name) {
  const slug = path
    .replace(/^\/v1\//, "")
    .replace(/\/?<linkID>/g, "")
    .replace(/[^A-Za-z0-9_]+/g, "-")
    .replace(/^-+|-+$/g, "");
  return name === undefined ? slug : `${slug}.${name}`;
}

function copyable(label, text, kind) {
  const pre = el("pre", { "data-example": kind }, el("code", {}, text));
  const button = el("button", { type: "button" }, "Copy");
  button.addEventListener("click", async () => {
    try {
      await copyText(pre.textContent);
      button.textContent = "Copied";
    } catch {
      button.textContent = "Select and copy";
    }
    setTimeout(() => (button.textContent = "Copy"), 1500);
  });
  return el("div", { class: "example" }, el("div", { class: "label" }, label), pre, button);
}

function fieldsTable(fields) {
  if (!fields || fields.length === 0) {
    return el("p", {}, "No further request members.");
  }
  return el(
    "table",
    { class: "fields" },
    el("thead", {}, el("tr", {}, ["Member", "Type", "Required", "Range / units", "Meaning"].map((h) => el("th", {}, h)))),
    el(
      "tbody",
      {},
      fields.map((f) =>
        el(
          "tr",
          {},
          el("td", {}, el("code", {}, f.name)),
          el("td", {}, f.type),
          el("td", {}, f.required ? "yes" : "no"),
          el("td", {}, [f.range, f.units].filter(Boolean).join(", ")),
          el("td", {}, f.description),
        ),
      ),
    ),
  );
}

function repliesTable(replies) {
  return el(
    "table",
    { class: "replies" },
    el("thead", {}, el("tr", {}, el("th", {}, "When"), el("th", {}, "Reply body"))),
    el(
      "tbody",
      {},
      replies.map((r) =>
        el(
          "tr",
          {},
          el("td", {}, r.when, r.request ? [el("br"), "Request: ", el("code", {}, compact(r.request))] : null),
          r.text === "" ? el("td", { class: "empty-body" }, "(empty body)") : el("td", { class: "text" }, r.text),
        ),
      ),
    ),
  );
}

function notesList(notes) {
  if (!notes || notes.length === 0) return null;
  return el("ul", { class: "notes" }, notes.map((n) => el("li", {}, n)));
}

// A button that sends the example to the HTTP API of the server that serves this page.
function tryIt(context, pathPattern, request) {
  const output = el("output", {});
  const button = el("button", { type: "button" }, "Send to this server");
  button.addEventListener("click", async () => {
    const url = `http://${location.hostname || HOST}:${context.httpPort}${concretePath(pathPattern, context.linkId())}`;
    output.textContent = "…";
    try {
      // text/plain keeps the request simple: no preflight, which the gateway would forward.
      const response = await fetch(url, { method: "POST", body: compact(request), headers: { "Content-Type": "text/plain" } });
      const body = await response.text();
      output.textContent = body === "" ? "(empty body)" : body;
    } catch (error) {
      output.textContent = `No answer from ${url}: ${error.message}`;
    }
  });
  return el("div", { class: "try" }, button, output);
}

// The request part shared by commands and by endpoints that take any request.
function requestParts(context, endpoint, entry) {
  const pathPattern = endpoint.path;
  const examples = el("div", { class: "examples", "data-path": pathPattern, "data-request": compact(entry.example) });
  const render = () => {
    const path = concretePath(pathPattern, context.linkId());
    examples.replaceChildren(
      copyable("HTTP (curl)", curlExample(HOST, context.httpPort, path, entry.example), "curl"),
      copyable("WebSocket (browser console)", webSocketExample(HOST, context.webSocketPort, path, entry.example), "websocket"),
    );
  };
  render();
  context.onLinkIdChange(render);
  return [
    el("h4", {}, "Request"),
    fieldsTable(entry.fields),
    examples,
    endpoint.internal ? null : tryIt(context, pathPattern, entry.example),
    el("h4", {}, "Replies"),
    repliesTable(entry.replies),
    notesList(entry.notes),
  ];
}

function commandSection(context, endpoint, command) {
  const id = anchorId(endpoint.path, command.name);
  return el(
    "section",
    { class: "command", id, "data-command": command.name, "data-endpoint-path": endpoint.path },
    el("h3", {}, command.name, el("a", { class: "anchor", href: `#${id}`, title: "Link to this command" }, "#")),
    el("p", {}, command.purpose),
    requestParts(context, endpoint, command),
  );
}

function endpointSection(context, endpoint) {
  const id = anchorId(endpoint.path);
  const badges = endpoint.internal
    ? [el("span", { class: "badge internal" }, "not reachable from outside")]
    : endpoint.transports.map((t) => el("span", { class: "badge" }, t));
  const section = el(
    "section",
    { class: "endpoint", id, "data-endpoint": endpoint.path },
    el("h2", {}, endpoint.path, el("a", { class: "anchor", href: `#${id}`, title: "Link to this endpoint" }, "#")),
    el("p", {}, badges, endpoint.service),
    el("p", {}, endpoint.summary),
    el("p", {}, endpoint.description),
    notesList(endpoint.notes),
  );
  if (endpoint.replies && endpoint.replies.length > 0) {
    section.append(el("h4", {}, "Replies of every command on this endpoint"), repliesTable(endpoint.replies));
  }
  if (endpoint.request) {
    const requestId = anchorId(endpoint.path, "request");
    section.append(
      el(
        "section",
        { class: "request", id: requestId },
        el("h3", {}, "Any request", el("a", { class: "anchor", href: `#${requestId}` }, "#")),
        el("p", {}, endpoint.request.purpose),
        requestParts(context, endpoint, endpoint.request),
      ),
    );
  }
  for (const command of endpoint.commands) {
    section.append(commandSection(context, endpoint, command));
  }
  return section;
}

// One method or notification of /v2, with its fields and a browser-console example.
function v2Part(context, kind, entry) {
  const id = `v2.${kind === "method" ? "" : "notification."}${entry.name}`;
  const example = kind === "method"
    ? copyable("WebSocket (browser console)", webSocketExample(HOST, context.webSocketPort, "/v2", entry.example), "websocket")
    : copyable("Notification", JSON.stringify(entry.example), "notification");
  return el(
    "section",
    { class: kind, id, [`data-${kind}`]: entry.name },
    el("h3", {}, entry.name, el("a", { class: "anchor", href: `#${id}`, title: "Link here" }, "#")),
    el("p", {}, entry.purpose),
    kind === "method" ? [el("h4", {}, "Params"), fieldsTable(entry.fields)] : null,
    example,
    entry.replies ? [el("h4", {}, "Responses"), repliesTable(entry.replies)] : null,
    notesList(entry.notes),
  );
}

function v2Section(context, v2) {
  return el(
    "section",
    { class: "v2", id: "v2", "data-v2": v2.path },
    el("h2", {}, `${v2.path}: JSON-RPC`, el("a", { class: "anchor", href: "#v2", title: "Link here" }, "#")),
    el("p", {}, el("code", {}, v2.url)),
    el("p", {}, v2.summary),
    el("p", {}, v2.description),
    notesList(v2.notes),
    v2.methods.map((m) => v2Part(context, "method", m)),
    v2.notifications.map((n) => v2Part(context, "notification", n)),
    el(
      "section",
      { class: "errors", id: "v2.errors" },
      el("h3", {}, "Errors", el("a", { class: "anchor", href: "#v2.errors", title: "Link here" }, "#")),
      el(
        "table",
        { class: "replies" },
        el("thead", {}, el("tr", {}, el("th", {}, "Code"), el("th", {}, "When"), el("th", {}, "Response"))),
        el(
          "tbody",
          {},
          v2.errors.map((e) =>
            el(
              "tr",
              {},
              el("td", {}, String(e.code)),
              el("td", {}, e.when, e.request !== undefined ? [el("br"), "Request: ", el("code", {}, typeof e.request === "string" ? e.request : compact(e.request))] : null),
              el("td", { class: "text" }, e.text),
            ),
          ),
        ),
      ),
    ),
  );
}

function overviewSection(api) {
  const transports = Object.entries(api.transports).map(([name, t]) =>
    el("tr", {}, el("td", {}, name), el("td", {}, el("code", {}, t.url)), el("td", {}, t.description)),
  );
  return el(
    "section",
    { class: "overview", id: "overview" },
    el("h2", {}, "Overview"),
    el("p", {}, api.overview),
    el(
      "table",
      {},
      el("thead", {}, el("tr", {}, el("th", {}, "Transport"), el("th", {}, "Address (default port)"), el("th", {}, "How"))),
      el("tbody", {}, transports),
    ),
    el("h3", { id: "gateway-replies" }, "Replies of the gateway itself"),
    el("p", {}, "On any path, before a service sees the request:"),
    repliesTable(api.gatewayReplies),
  );
}

function tableOfContents(api) {
  return el(
    "ul",
    {},
    el("li", {}, el("a", { href: "#overview" }, "Overview")),
    el("li", {}, el("a", { href: "#gateway-replies" }, "Gateway replies")),
    api.v2
      ? el(
          "li",
          { class: "toc-v2" },
          el("a", { href: "#v2" }, `${api.v2.path}: JSON-RPC`),
          el(
            "ul",
            {},
            api.v2.methods.map((m) => el("li", { "data-toc-method": m.name }, el("a", { href: `#v2.${m.name}` }, m.name))),
            api.v2.notifications.map((n) =>
              el("li", { "data-toc-notification": n.name }, el("a", { href: `#v2.notification.${n.name}` }, `${n.name} (notification)`)),
            ),
            el("li", {}, el("a", { href: "#v2.errors" }, "errors")),
          ),
        )
      : null,
    api.endpoints.map((endpoint) =>
      el(
        "li",
        { class: "toc-endpoint", "data-toc-endpoint": endpoint.path },
        el("a", { href: `#${anchorId(endpoint.path)}` }, endpoint.path),
        el(
          "ul",
          {},
          endpoint.request ? el("li", {}, el("a", { href: `#${anchorId(endpoint.path, "request")}` }, "any request")) : null,
          endpoint.commands.map((c) =>
            el("li", { "data-toc-command": c.name }, el("a", { href: `#${anchorId(endpoint.path, c.name)}` }, c.name)),
          ),
        ),
      ),
    ),
  );
}

/** Renders `api` into `main` and `toc`; `context` gives ports and the link id. */
export function renderReference(api, main, toc, context) {
  document.title = api.title;
  main.replaceChildren(
    overviewSection(api),
    api.v2 ? v2Section(context, api.v2) : "",
    ...api.endpoints.map((e) => endpointSection(context, e)),
    el("p", { id: "no-match", class: "hidden" }, "Nothing matches the search."),
  );
  toc.replaceChildren(tableOfContents(api));
}
