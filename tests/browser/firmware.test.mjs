// The firmware update page against the real server and its emulated adapter: the link with its
// firmware flags, a radio firmware update followed to its end (the emulated radio takes all 819
// chunks; about 8 s, most of it the radio's 5 s restart), and a device firmware update that
// fails because the install tree has no update tool.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { launchBrowser, post, screenshot, startServer, startSimulator } from './support.mjs';

const kLink = 'KSIM0001';

describe('firmware update page', { timeout: 90000 }, () => {
  let server;
  let browser;
  let page;

  before(async () => {
    server = await startServer();
    browser = await launchBrowser();
    page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
    page.setDefaultTimeout(10000);
    page.on('pageerror', (error) => console.error('page error:', error.message));
    page.on('dialog', (dialog) => dialog.accept());
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
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

      const main = await browser.newPage({ viewport: { width: 1280, height: 800 } });
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
