// The Traffic page and the User Account page's traffic columns in a real browser, with figures
// written into the data directory's traffic file by the test_traffic tool.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { closeConsole, launchBrowser, freshDataDir, screenshot, startTarnwick, tarnwickBinary } from './console_fixture.mjs';

const bin = path.dirname(tarnwickBinary());
const pad = (n) => String(n).padStart(2, '0');
const dateText = (d) => `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}`;

describe('traffic figures', () => {
  let c;
  const now = new Date();
  const today = dateText(now);
  const month = today.slice(0, 7);
  const firstOfMonth = month + '-01';

  before(async () => {
    const dataDir = freshDataDir();
    const tarnwick = await startTarnwick(dataDir);  // makes the tables the account goes to
    execFileSync(path.join(bin, 'test_account'), [dataDir, 'ann', 'pw']);
    const count = (...args) => execFileSync(path.join(bin, 'test_traffic'), [dataDir, 'service', ...args]);
    count(today, '5', 'ann', '12300000', '700000');
    if (firstOfMonth !== today) count(firstOfMonth, '1', 'ann', '0', '2000000');
    count(today, '1', 'guest:192.0.2.7', '1000', '4000');
    const browser = await launchBrowser();
    const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
    c = { dataDir, tarnwick, browser, page };
    await page.goto(tarnwick.url);
  });

  after(async () => { await closeConsole(c); });

  const rowOf = (table, name) => table.getByRole('row').filter({ has: c.page.getByRole('cell', { name, exact: true }) });

  test('the user list shows bytes of today and of this month', async () => {
    const { page } = c;
    await page.getByRole('option', { name: 'User Account' }).click();
    const users = page.getByRole('table', { name: 'User Accounts' });
    assert.deepEqual((await users.getByRole('columnheader').allTextContents()).slice(-2), ['Today', 'This month']);
    const cells = rowOf(users, 'ann').getByRole('cell');
    await cells.filter({ hasText: '13.0 MB' }).first().waitFor();
    const texts = await cells.allTextContents();
    assert.equal(texts[5], '13.0 MB');
    assert.equal(texts[6], firstOfMonth === today ? '13.0 MB' : '15.0 MB');
    await screenshot(page, 'traffic-user-account');
  });

  test('the Traffic page lists the month per account and charts the last 30 days', async () => {
    const { page } = c;
    await page.getByRole('option', { name: 'Traffic' }).click();
    const table = page.getByRole('table', { name: 'Traffic' });
    await rowOf(table, 'ann').waitFor();
    assert.equal(await page.getByLabel('Month:').inputValue(), month);
    const guest = await rowOf(table, 'Guest 192.0.2.7').getByRole('cell').allTextContents();
    assert.deepEqual(guest, ['Guest 192.0.2.7', '1.0 kB', '4.0 kB', '5.0 kB']);
    const chart = page.getByRole('img', { name: new RegExp('^Traffic per day, .* to ' + today + '$') });
    await chart.waitFor();
    assert.equal(await chart.locator('rect.bar-up').count(), 31, '30 days and the legend');
    for (const label of ['Date', 'Bytes per day']) {
      assert.ok(await chart.getByText(label, { exact: true }).count(), label);
    }
    await screenshot(page, 'traffic-page');

    // A month without figures empties the list.
    const earlier = new Date(now.getFullYear(), now.getMonth() - 2, 1);
    await page.getByLabel('Month:').fill(dateText(earlier).slice(0, 7));
    await table.getByRole('row').filter({ hasText: 'ann' }).waitFor({ state: 'detached' });
    assert.equal(await table.getByRole('row').count(), 1, 'the header row only');
  });
});
