// The Schedule and Web Filter editors in a real browser: what they save restricts logins
// through the proxies once the proxies are started again from the console, and not before.
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
  closeConsole, freshDataDir, launchBrowser, repo, screenshot, startTarnwick,
} from './console_fixture.mjs';

const bin = path.dirname(process.env.TW_TARNWICK || path.join(repo, 'build', 'bin', 'tarnwick'));

// curl through a proxy, run without blocking this process (the origin answers from here);
// resolves with {code, body, error} (code 0 = the transfer worked).
function curl(args) {
  return new Promise((resolve) => {
    execFile('curl', ['-s', '-S', '--max-time', '10', ...args], { encoding: 'utf8' }, (err, stdout, stderr) => {
      resolve({ code: err ? (err.code ?? 1) : 0, body: stdout, error: stderr });
    });
  });
}

describe('rule editors', () => {
  let console_;
  let dataDir;
  let page;
  let origin;
  let originUrl;

  before(async () => {
    dataDir = freshDataDir();
    // Logins are required on the HTTP and SOCKS proxies, so the accounts' rules apply.
    fs.writeFileSync(path.join(dataDir, 'option.ini'),
      fs.readFileSync(path.join(dataDir, 'option.ini'), 'utf8')
        .replace('[HTTP]\nport=0\n', '[HTTP]\nport=0\nauth=1\n')
        .replace('[SOCKS]\nport=0\n', '[SOCKS]\nport=0\nauth=1\n'));
    origin = http.createServer((req, res) => res.end('origin says hello'));
    await new Promise((resolve) => origin.listen(0, '127.0.0.1', resolve));
    originUrl = 'http://127.0.0.1:' + origin.address().port;
    const tarnwick = await startTarnwick(dataDir);
    const browser = await launchBrowser();
    page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
    console_ = { dataDir, tarnwick, browser, page };
    // The accounts name schedule 1 and web filter 1, which the editors make below.
    execFileSync(path.join(bin, 'test_account'), [dataDir, 'ann', 'pw', 'server5=1', 'schedule=1', 'scheduleid=1']);
    execFileSync(path.join(bin, 'test_account'), [dataDir, 'bob', 'pw', 'server1=1', 'filter=1', 'filterid=1']);
    await page.goto(tarnwick.url);
    await page.getByText('[Proxy Servers are offline]').waitFor();
  });

  after(async () => {
    await closeConsole(console_);
    if (origin) origin.close();
  });

  const toolbar = () => page.getByRole('toolbar', { name: 'Toolbar' });
  const portOf = async (name) => (await page.evaluate(() => fetch('/api/status').then((r) => r.json())))
    .servers.find((s) => s.name === name).port;
  const viaSocks = async () => curl(['--socks5', '127.0.0.1:' + await portOf('SOCKS'), '--proxy-user', 'ann:pw', originUrl + '/']);
  const viaHttp = async (file) => curl(['-x', 'http://127.0.0.1:' + await portOf('HTTP'), '--proxy-user', 'bob:pw', originUrl + file]);

  async function restartServers() {
    await toolbar().getByRole('button', { name: 'Stop', exact: true }).click();
    await page.getByText('[Proxy Servers are offline]').waitFor();
    await toolbar().getByRole('button', { name: 'Start', exact: true }).click();
    await page.getByText('[Proxy Servers are online]').waitFor();
  }

  async function openEditor(button, caption) {
    await page.getByRole('option', { name: 'Options' }).click();
    await page.getByRole('button', { name: button }).click();
    const editor = page.getByRole('dialog', { name: caption });
    await editor.waitFor();
    return editor;
  }

  test('a schedule that excludes now refuses the next login once the proxies start again', async () => {
    await toolbar().getByRole('button', { name: 'Start', exact: true }).click();
    await page.getByText('[Proxy Servers are online]').waitFor();
    assert.equal((await viaSocks()).body, 'origin says hello', 'schedule 1 does not exist yet');

    const editor = await openEditor('Schedules...', 'Schedule');
    await editor.getByRole('button', { name: 'New', exact: true }).click();
    assert.equal(await editor.getByLabel('Name:', { exact: true }).inputValue(), 'New schedule');
    for (const proxy of ['HTTP', 'FTP', 'POP3', 'SMTP', 'SOCKS']) {
      assert.equal(await editor.getByLabel(proxy, { exact: true }).isChecked(), true, 'a new schedule restricts ' + proxy);
    }
    await editor.getByLabel('Name:', { exact: true }).fill('Closed now');
    // Two windows on today, both away from the current hour, picked in the Time dialog with
    // the later time first.
    const day = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'][new Date().getDay()];
    const hour = new Date().getHours();
    const hh = (h) => String(h).padStart(2, '0') + ':00';
    const first = (hour + 2) % 24;
    const second = (hour + 4) % 24;
    for (const start of [first, second]) {
      await editor.getByRole('button', { name: 'Times for ' + day }).click();
      const time = page.getByRole('dialog', { name: 'Time' });
      assert.equal(await time.getByLabel('Start time:').inputValue(), '00:00');
      assert.equal(await time.getByLabel('End time:').inputValue(), '24:00');
      await time.getByLabel('Start time:').selectOption(hh(start + 1));
      await time.getByLabel('End time:').selectOption(hh(start));
      if (start === first) await screenshot(page, 'time-dialog');
      await time.getByRole('button', { name: 'OK' }).click();
      await time.waitFor({ state: 'detached' });
      // The range joins the day's text once the console has answered.
      const dayField = editor.getByLabel(day + ':');
      for (let tries = 0; !(await dayField.inputValue()).includes(hh(start) + '-'); tries++) {
        assert.ok(tries < 100, 'the range ' + hh(start) + ' joins the day');
        await page.waitForTimeout(50);
      }
    }
    const expected = hh(first) + '-' + hh(first + 1) + '+' + hh(second) + '-' + hh(second + 1);
    assert.equal(await editor.getByLabel(day + ':').inputValue(), expected);
    await editor.getByRole('button', { name: 'Save', exact: true }).click();
    await editor.getByRole('option', { name: 'Closed now' }).waitFor();
    await screenshot(page, 'schedule-editor');
    await editor.getByRole('button', { name: 'OK', exact: true }).click();
    await editor.waitFor({ state: 'detached' });

    assert.equal((await viaSocks()).body, 'origin says hello', 'the running proxies keep their schedules');
    await restartServers();
    assert.notEqual((await viaSocks()).code, 0, 'refused outside the schedule');

    // Cleared for SOCKS and that proxy alone started again from the Proxy Servers page.
    const again = await openEditor('Schedules...', 'Schedule');
    // The first entry's record arrives after the dialog opens: wait for it, then compare.
    const dayText = await again.getByLabel(day + ':').elementHandle();
    await page.waitForFunction(({ input, value }) => input.value === value,
      { input: dayText, value: expected }, { timeout: 5000 }).catch(() => {});
    assert.equal(await again.getByLabel(day + ':').inputValue(), expected, 'the first entry is shown');
    await again.getByLabel('SOCKS', { exact: true }).uncheck();
    await again.getByRole('button', { name: 'OK', exact: true }).click();
    await again.waitFor({ state: 'detached' });
    await page.getByRole('option', { name: 'Proxy Servers' }).click();
    const row = page.getByRole('table', { name: 'Proxy Servers' }).getByRole('row')
      .filter({ has: page.getByRole('cell', { name: 'SOCKS Proxy', exact: true }) });
    await row.click();
    await page.locator('#page').getByRole('button', { name: 'STOP', exact: true }).click();
    await row.getByRole('cell', { name: 'Off', exact: true }).waitFor();
    await page.locator('#page').getByRole('button', { name: 'Start', exact: true }).click();
    await row.getByRole('cell', { name: 'On', exact: true }).waitFor();
    assert.equal((await viaSocks()).body, 'origin says hello', 'the schedule no longer restricts SOCKS');
  });

  test('a web filter from a file chosen in the editor refuses a site after the restart', async () => {
    fs.writeFileSync(path.join(dataDir, 'blocked-sites.txt'), '*/secret*');
    assert.equal((await viaHttp('/secret')).body, 'origin says hello');

    const editor = await openEditor('Web Filters...', 'Web Filter');
    await editor.getByRole('button', { name: 'New', exact: true }).click();
    await editor.getByLabel('Filter Name:').fill('No secrets');
    assert.equal(await editor.getByLabel('Forbidden sites').isChecked(), true);
    assert.equal(await editor.getByLabel('Filter file:').isDisabled(), true);
    await editor.getByLabel('Use a filter file').check();
    assert.equal(await editor.getByLabel('Site list:').isDisabled(), true);
    await editor.getByRole('button', { name: 'Choose the filter file' }).click();
    const chooser = page.getByRole('dialog', { name: 'Open' });
    const files = chooser.getByLabel('Files:');
    await files.getByRole('option', { name: fs.realpathSync(dataDir) + '/' }).dblclick();
    await files.getByRole('option', { name: 'blocked-sites.txt' }).click();
    await screenshot(page, 'filter-file-chooser');
    await chooser.getByRole('button', { name: 'Open', exact: true }).click();
    assert.equal(await editor.getByLabel('Filter file:').inputValue(), path.join(fs.realpathSync(dataDir), 'blocked-sites.txt'));
    await editor.getByRole('button', { name: 'Save', exact: true }).click();
    await editor.getByRole('option', { name: 'No secrets' }).waitFor();

    // A second filter under the same name is refused and the list keeps one entry.
    await editor.getByRole('button', { name: 'New', exact: true }).click();
    await editor.getByLabel('Filter Name:').fill('No secrets');
    await editor.getByRole('button', { name: 'Save', exact: true }).click();
    const box = page.getByRole('dialog').filter({ hasText: 'The name exists' });
    await box.waitFor();
    await box.getByRole('button', { name: 'OK' }).click();
    assert.equal(await editor.getByRole('option').count(), 1);
    await screenshot(page, 'web-filter-editor');
    await editor.getByRole('button', { name: 'Cancel', exact: true }).click();

    assert.equal((await viaHttp('/secret')).body, 'origin says hello', 'not before the restart');
    await restartServers();
    const blocked = await viaHttp('/secret');
    assert.equal(blocked.body, fs.readFileSync(path.join(dataDir, 'webfilter.html'), 'utf8'));
    assert.equal((await viaHttp('/open')).body, 'origin says hello');
  });
});
