// Small helpers to build and update the page's elements; used by every view on the main thread.

/**
 * Creates an element. `props`: attributes, with `class`, `text`, `on<event>` handlers and
 * `dataset` treated specially; `children`: nodes, strings or null (skipped).
 */
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key === 'dataset') Object.assign(node.dataset, value);
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else if (value === true) node.setAttribute(key, '');
    else node.setAttribute(key, value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : String(child));
  }
  return node;
}

/** Replaces all children of `node`. */
export function replace(node, ...children) {
  node.replaceChildren(...children.flat().filter((c) => c !== null && c !== undefined && c !== false));
}

/** A labelled number input; `value()` reads it as a number (NaN when empty). */
export function numberField(label, { value = '', step = 'any', min, max, name } = {}) {
  const input = el('input', { type: 'number', step, min, max, value, name: name ?? label });
  const wrapper = el('label', { class: 'field' }, el('span', { text: label }), input);
  return { node: wrapper, input, value: () => (input.value === '' ? NaN : Number(input.value)) };
}
