// The pages beside the application, against the real server and its emulated adapter. The API
// reference as a reader meets it: rendered from api.json (which tests/docs holds equal to the
// commands the server dispatches), every endpoint, command and /v2 method with its anchor, and
// search narrowing the list. The firmware update page: the link with its firmware flags, a
// radio firmware update followed to its end (the emulated radio takes all 819 chunks; about 8 s,
// most of it the radio's 5 s restart), and a device firmware update that fails because the
// install tree has no update tool.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { after, before, describe, test } from 'node:test';

import { launchBrowser, openPage, post, screenshot, startServer, startSimulator } from './support.mjs';

const kLink = 'KSIM0001';
const here = path.dirname(fileURLToPath(import.meta.url));
const reference = JSON.parse(fs.readFileSync(path.resolve(here, '../../www/docs/api.json'), 'utf8'));

describe('API reference and firmware update pages', { timeout: 120000 }, () => {
  let server;
  let browser;
  let page;
  const errors = [];

  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    page = await openPage(browser, errors);
    page.on('dialog', (dialog) => dialog.accept());
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
    assert.deepEqual(errors, [], 'the pages threw no error');
  });

  /** The values of `attribute` of the elements `selector` finds, in page order. */
  const attributes = (selector, attribute) =>
    page.locator(selector).evaluateAll((nodes, name) => nodes.map((node) => node.getAttribute(name)), attribute);

  test('the reference lists every endpoint, command and /v2 method with a working anchor', async () => {
    const docs = `http://127.0.0.1:${server.webPort}/docs/index.html`;
    await page.goto(docs);
    await page.locator('[data-command]').first().waitFor();
    assert.deepEqual((await attributes('[data-endpoint]', 'data-endpoint')).sort(), reference.endpoints.map((e) => e.path).sort());
    const listed = await page.locator('[data-command]').evaluateAll((nodes) => nodes.map((node) => `${node.dataset.endpointPath} ${node.dataset.command}`));
    assert.deepEqual(listed.sort(), reference.endpoints.flatMap((e) => e.commands.map((c) => `${e.path} ${c.name}`)).sort());
    assert.deepEqual(await attributes('[data-method]', 'data-method'), reference.v2.methods.map((m) => m.name));
    assert.deepEqual(await attributes('[data-notification]', 'data-notification'), reference.v2.notifications.map((n) => n.name));
    assert.match(await page.locator('[id="v2.subscribe"]').textContent(), /"method":"subscribe"/);

    // Each command's anchor leads to its own section, which shows its example request.
    const ids = await attributes('[data-command]', 'id');
    assert.equal(new Set(ids).size, ids.length, 'anchors are unique');
    const section = page.locator('[data-command=motionAbort]');
    await page.goto(`${docs}#${await section.getAttribute('id')}`);
    await section.waitFor();
    assert.match(await section.textContent(), /"command":\s*"motionAbort"/);
    assert.equal(await section.isVisible(), true);

    // Search keeps only the commands that mention every word typed.
    await page.locator('#search').fill('keypose loop');
    const visible = await page.locator('[data-command]:visible').evaluateAll((nodes) => nodes.map((node) => node.getAttribute('data-command')));
    assert.ok(visible.includes('keyposeLoopFixedSpeed') && visible.includes('keyposeLoopFixedDuration'), `visible: ${visible}`);
    assert.ok(!visible.includes('linkStatus') && !visible.includes('wirelessPairingScanStart'), `visible: ${visible}`);
    await page.locator('#search').fill('');
    assert.equal(await page.locator('[data-command]:visible').count(), ids.length);
  });

  test('the link is listed and its radio firmware update runs to the end', async () => {
    // The address the server's tray opens carries no query: the page falls back to the default
    // ports, so give it the test server's port the way the main page links to it.
    await page.goto(`http://127.0.0.1:${server.webPort}/firmware-update?port=${server.httpPort}&version=0.9.8`);
    const row = page.locator(`tr[data-link=${kLink}]`);
    await row.waitFor();
    assert.match(await row.textContent(), /Up to date\./);
    await row.locator('.radio-status[data-status=none]').waitFor();
    await screenshot(page, 'webapp-firmware-links');

    await row.getByRole('button', { name: 'Update radio firmware' }).click();
    await row.locator('.radio-status[data-status=running]').waitFor();
    assert.equal(await row.getByRole('button', { name: 'Update radio firmware' }).isDisabled(), true);
    await screenshot(page, 'webapp-firmware-radio-running');
    await row.locator('.radio-status[data-status=finished]').waitFor({ timeout: 60000 });
    await page.locator('.notice').filter({ hasText: `Radio firmware update of ${kLink}: finished` }).waitFor();
    const status = await post(server.httpPort, `/v1/link/${kLink}`, { command: 'linkRadioFirmwareUpdateStatus' });
    assert.deepEqual(status, { result: 'ok', status: 'finished' });
    await screenshot(page, 'webapp-firmware-radio-finished');
  });

  test('an adapter with old firmware shows what it needs, here and on the main page', async () => {
    const old = await startSimulator(server, ['--link-id', 'KSIMOLD1', '--controller-version', '3', '--radio-version', '0']);
    try {
      const row = page.locator('tr[data-link=KSIMOLD1]');
      await row.waitFor({ timeout: 15000 });
      await row.locator('.firmware-flag.required').filter({ hasText: 'Radio firmware update required — Initial release.' }).waitFor();
      await row.locator('.firmware-flag.available').filter({ hasText: 'Device firmware update available — macOS compatibility.' }).waitFor();
      assert.equal(await row.locator('.firmware-flag').count(), 2, 'a required update is not also listed as available');
      await screenshot(page, 'webapp-firmware-flags');

      const main = await openPage(browser, errors);
      try {
        await main.goto(server.appUrl);
        const card = main.locator('.link-card[data-link=KSIMOLD1]');
        await card.locator('.firmware-flag.required').waitFor();
        await card.getByRole('button').click();
        await main.locator('.banner.warning').filter({ hasText: 'needs a firmware update' }).waitFor();
        await main.getByRole('button', { name: 'Scan for devices' }).click();
        // The link refuses pairing until it is updated; the page says so.
        await main.locator('.notice.error').filter({ hasText: 'wirelessPairingScanStart: firmwareUpdateRequired' }).waitFor();
        await screenshot(main, 'webapp-links-firmware-required');
      } finally {
        await main.close();
      }
    } finally {
      assert.deepEqual(await old.stop(), { code: 0, signal: null });
    }
  });

  test('a device firmware update without its tool ends in error, shown as such', async () => {
    assert.equal(fs.existsSync(path.join(server.root, 'firmware', 'dfu-util')), false);
    await page.locator('#device-status[data-status=none]').waitFor();
    await page.getByRole('button', { name: 'Update device firmware' }).click();
    await page.locator('#device-status[data-status=error]').waitFor({ timeout: 15000 });
    assert.match(await page.locator('#device-status').textContent(), /failed/);
    await screenshot(page, 'webapp-firmware-device-error');
  });
});
