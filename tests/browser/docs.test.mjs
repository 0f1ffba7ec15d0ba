// The API reference page as a reader meets it: served by the web application, rendered from
// api.json (which tests/docs holds equal to the commands the server dispatches), every
// endpoint, command and /v2 method present with its anchor, and search narrowing the list.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test } from 'node:test';

import { launchBrowser, screenshot, startServer } from './support.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const reference = JSON.parse(fs.readFileSync(path.resolve(here, '../../www/docs/api.json'), 'utf8'));

describe('API reference page', { timeout: 60000 }, () => {
  let server;
  let browser;
  let page;

  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    page.setDefaultTimeout(10000);
    page.on('pageerror', (error) => console.error('page error:', error.message));
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  test('every endpoint and every command is listed with a working anchor', async () => {
    await page.goto(`http://127.0.0.1:${server.webPort}/docs/index.html`);
    await page.locator('[data-command]').first().waitFor();

    const endpoints = await page.locator('[data-endpoint]').evaluateAll((nodes) =>
      nodes.map((node) => node.getAttribute('data-endpoint')));
    assert.deepEqual(endpoints.sort(), reference.endpoints.map((endpoint) => endpoint.path).sort());

    for (const endpoint of reference.endpoints) {
      const listed = await page
        .locator('[data-command]')
        .evaluateAll((nodes, endpointPath) => nodes
          .filter((node) => node.getAttribute('data-endpoint-path') === endpointPath)
          .map((node) => node.getAttribute('data-command')), endpoint.path);
      assert.deepEqual(listed.sort(), endpoint.commands.map((command) => command.name).sort(),
        `commands of ${endpoint.path}`);
    }

    // /v2: every method and notification, each under its own anchor.
    const methods = await page.locator('[data-method]').evaluateAll((nodes) => nodes.map((node) => node.getAttribute('data-method')));
    assert.deepEqual(methods, reference.v2.methods.map((method) => method.name));
    const notifications = await page.locator('[data-notification]').evaluateAll((nodes) => nodes.map((node) => node.getAttribute('data-notification')));
    assert.deepEqual(notifications, reference.v2.notifications.map((notification) => notification.name));
    assert.match(await page.locator('[id="v2.subscribe"]').textContent(), /"method":"subscribe"/);

    // Each command's anchor leads to its own section, which shows its example request.
    const ids = await page.locator('[data-command]').evaluateAll((nodes) => nodes.map((node) => node.id));
    assert.equal(new Set(ids).size, ids.length, 'anchors are unique');
    const section = page.locator('[data-command=motionAbort]');
    await page.goto(`http://127.0.0.1:${server.webPort}/docs/index.html#${await section.getAttribute('id')}`);
    await section.waitFor();
    assert.match(await section.textContent(), /"command":\s*"motionAbort"/);
    assert.equal(await section.isVisible(), true);
    await screenshot(page, 'docs-reference');
  });

  test('search keeps only the commands that mention every word typed', async () => {
    await page.goto(`http://127.0.0.1:${server.webPort}/docs/index.html`);
    await page.locator('[data-command]').first().waitFor();
    await page.locator('#search').fill('keypose loop');
    const visible = await page.locator('[data-command]:visible').evaluateAll((nodes) =>
      nodes.map((node) => node.getAttribute('data-command')));
    assert.ok(visible.includes('keyposeLoopFixedSpeed') && visible.includes('keyposeLoopFixedDuration'),
      `visible: ${visible}`);
    assert.ok(!visible.includes('linkStatus') && !visible.includes('wirelessPairingScanStart'),
      `visible: ${visible}`);
    await page.locator('#search').fill('');
    assert.equal(await page.locator('[data-command]:visible').count(), await page.locator('[data-command]').count());
  });
});
