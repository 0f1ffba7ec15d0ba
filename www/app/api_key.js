// The server's optional API key: asked of the user once, when the server answers 401, and kept
// in the browser's storage; sent as the X-Api-Key header with HTTP requests and as ?apiKey= on
// WebSocket URLs (a browser cannot set headers on those). Runs on the main thread.

const kStorageName = 'kinetra.apiKey';

let asked = false; // once per page: a cancelled or wrong answer is not asked again in a loop

function storage() {
  try {
    return globalThis.localStorage ?? null;
  } catch {
    return null; // storage switched off for this site
  }
}

/** The stored key, or '' when there is none. */
export function apiKey() {
  return storage()?.getItem(kStorageName) ?? '';
}

/** Headers that carry the key; none without one (so requests stay "simple" for the browser). */
export function keyHeaders() {
  const key = apiKey();
  return key === '' ? {} : { 'X-Api-Key': key };
}

/** `url` with the key as its apiKey parameter, when there is one. */
export function withKey(url) {
  const key = apiKey();
  if (key === '') return url;
  const address = new URL(url);
  address.searchParams.set('apiKey', key);
  return address.toString();
}

/**
 * After a 401: asks for the key (once per page) and stores it; true when a new key was given,
 * so the caller may try again. `ask` is injectable for tests.
 */
export function askForKey(ask = (text) => globalThis.prompt?.(text) ?? null) {
  if (asked) return false;
  asked = true;
  const answer = ask('The kinetra server asks for its API key ([security] apiKey in config.ini):');
  if (answer === null || answer.trim() === '') return false;
  storage()?.setItem(kStorageName, answer.trim());
  return true;
}
