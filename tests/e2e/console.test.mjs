// The console in a real browser: login through the printed URL, start and stop the proxies,
// a live activity row after a request through the HTTP proxy (shown as text), the options
// and their files, the About box, the refusals of the token, CSRF and Host checks, and Exit.
import assert from 'node:assert/strict';
import http from 'node:http';
import { after, before, describe, test } from 'node:test';

import {
  closeConsole, openConsole, readOption, readSectionOption, screenshot,
} from './console_fixture.mjs';

// A raw request to the console (Host and headers exactly as given).
function rawRequest(port, { method = 'GET', path = '/api/status', headers = {}, body } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path, headers }, (res) => {
      let text = '';
      res.on('data', (d) => { text += d; });
      res.on('end', () => resolve({ status: res.statusCode, text }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

// A GET through the HTTP proxy.
function viaProxy(proxyPort, url) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port: proxyPort, method: 'GET', path: url }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.end();
  });
}

describe('tarnwick console', () => {
  let console_;
  let dataDir;
  let tarnwick;
  let page;
  let origin;

  before(async () => {
    console_ = await openConsole();
    ({ dataDir, tarnwick, page } = console_);
    origin = http.createServer((req, res) => res.end('hello'));
    await new Promise((resolve) => origin.listen(0, '127.0.0.1', resolve));
  });

  after(async () => {
    if (origin) origin.close();
    await closeConsole(console_);
  });

  test('logs in through the printed URL and starts and stops the proxies', async () => {
    await page.goto(tarnwick.url);
    const status = page.getByRole('status').first();
    await page.getByText('[Proxy Servers are offline]').waitFor();
    assert.equal(await page.getByRole('heading', { name: 'Proxy Servers' }).count(), 1);
    const toolbar = page.getByRole('toolbar', { name: 'Toolbar' });
    assert.equal(await toolbar.getByRole('button', { name: 'Stop', exact: true }).isDisabled(), true);
    await screenshot(page, 'proxy-servers');

    await toolbar.getByRole('button', { name: 'Start', exact: true }).click();
    await page.getByText('[Proxy Servers are online]').waitFor();
    assert.equal(await toolbar.getByRole('button', { name: 'Start', exact: true }).isDisabled(), true);
    assert.match(await status.textContent(), /online/);

    await page.getByRole('button', { name: 'Server' }).click();
    await page.getByRole('menuitem', { name: 'Stop Servers' }).click();
    await page.getByText('[Proxy Servers are offline]').waitFor();
    await toolbar.getByRole('button', { name: 'Start', exact: true }).click();
    await page.getByText('[Proxy Servers are online]').waitFor();
  });

  test('an activity line appears live and as text, and survives a reload', async () => {
    await page.getByRole('option', { name: 'Server Logs' }).click();
    const table = page.getByRole('table', { name: 'Server Logs' });
    const started = await table.getByRole('cell', { name: /^Http Proxy Server started on port \d+\.$/ }).last().textContent();
    const proxyPort = Number(started.match(/port (\d+)/)[1]);
    for (const column of ['UserName', 'IP Address', 'Time', 'Message']) {
      assert.equal(await table.getByRole('columnheader', { name: column }).count(), 1, column);
    }

    const target = `http://127.0.0.1:${origin.address().port}/<b>bold</b>`;
    assert.equal(await viaProxy(proxyPort, target), 200);
    const cell = table.getByRole('cell', { name: target });
    await cell.waitFor();
    assert.equal(await table.locator('b').count(), 0, 'the URL is shown as text, not markup');
    const row = table.getByRole('row').filter({ has: page.getByRole('cell', { name: target }) });
    assert.equal(await row.getByRole('cell', { name: '127.0.0.1', exact: true }).count(), 1);
    await screenshot(page, 'server-logs');

    await page.reload();
    await page.getByRole('table', { name: 'Server Logs' }).getByRole('cell', { name: target }).waitFor();
  });

  test('options act at once, the log files are listed, and Exit saves them', async () => {
    await page.getByRole('option', { name: 'Options' }).click();
    await page.getByLabel('Save log to file').check();
    await page.getByLabel('Admit guests from any address (not only the attached networks)').check();
    await page.getByText('Saved.').waitFor();
    assert.equal(readOption(dataDir, 'guests_from_anywhere'), '1');
    assert.equal(await page.getByRole('listbox', { name: 'Server IP Address:' }).getByRole('option').count() > 0, true);
    await screenshot(page, 'options');

    await page.getByRole('button', { name: 'Daily log files' }).click();
    const files = page.getByRole('dialog', { name: 'Daily log files' });
    await files.getByRole('link', { name: /^\d{8}\.txt$/ }).waitFor();
    await screenshot(page, 'options-log-files');
    await files.getByRole('button', { name: 'OK' }).click();

    await page.getByRole('toolbar', { name: 'Toolbar' }).getByRole('button', { name: 'About' }).click();
    const about = page.getByRole('dialog', { name: 'About Tarnwick Proxy Server' });
    await about.getByText('Tarnwick Proxy Server Version 2.2').waitFor();
    await screenshot(page, 'about');
    await about.getByRole('button', { name: 'OK' }).click();

    await page.getByRole('button', { name: 'Help' }).click();
    await page.getByRole('menuitem', { name: 'Help' }).click();
    await page.getByRole('heading', { name: 'Setting up a client' }).waitFor();
    await screenshot(page, 'help');
  });

  test('requests without the token, the CSRF token or the right Host are refused', async () => {
    const port = tarnwick.port;
    const host = `127.0.0.1:${port}`;
    assert.equal((await rawRequest(port, { headers: { Host: host } })).status, 401);
    assert.equal((await rawRequest(port, { headers: { Host: host, Authorization: 'Bearer ' + '0'.repeat(64) } })).status, 401);
    assert.equal((await rawRequest(port, { headers: { Host: host, Authorization: 'Bearer ' + tarnwick.token } })).status, 200);
    assert.equal((await rawRequest(port, { headers: { Host: `rebound.example:${port}`, Authorization: 'Bearer ' + tarnwick.token } })).status, 403);
    assert.equal((await rawRequest(port, { path: '/login?token=' + '1'.repeat(64), headers: { Host: host } })).status, 403);
    // The browser holds the session cookie; a change without the CSRF header is refused.
    const refused = await page.evaluate(async () => (await fetch('/api/servers/stop', { method: 'POST', body: '{}' })).status);
    assert.equal(refused, 403);
    await page.getByText('[Proxy Servers are online]').waitFor();
  });

  test('/metrics needs no session on loopback, and the metrics token for a foreign Host', async () => {
    const port = tarnwick.port;
    const scraped = await rawRequest(port, { path: '/metrics', headers: { Host: `127.0.0.1:${port}` } });
    assert.equal(scraped.status, 200);
    assert.match(scraped.text, /^tarnwick_connections_live\{proxy="socks"\} \d+$/m);
    const rebound = { Host: `rebound.example:${port}` };
    assert.equal((await rawRequest(port, { path: '/metrics', headers: rebound })).status, 401);
    const token = readSectionOption(dataDir, 'Server', 'metrics_token');
    assert.match(token, /^[0-9a-f]{32}$/);
    const withToken = { ...rebound, Authorization: 'Bearer ' + token };
    assert.equal((await rawRequest(port, { path: '/metrics', headers: withToken })).status, 200);
    // The metrics token opens nothing else.
    assert.equal((await rawRequest(port, { headers: { Host: `127.0.0.1:${port}`, Authorization: 'Bearer ' + token } })).status, 401);
  });

  test('Exit asks first, then stops the proxies, saves the options and ends tarnwick', async () => {
    await page.getByRole('button', { name: 'Server' }).click();
    await page.getByRole('menuitem', { name: 'Exit' }).click();
    const question = page.getByRole('dialog', { name: 'Tarnwick Proxy Server' });
    await question.getByText('Do you really want to exit?').waitFor();
    await screenshot(page, 'exit-question');
    await question.getByRole('button', { name: 'No' }).click();
    await page.getByText('[Proxy Servers are online]').waitFor();

    await page.getByRole('button', { name: 'Server' }).click();
    await page.getByRole('menuitem', { name: 'Exit' }).click();
    await page.getByRole('dialog', { name: 'Tarnwick Proxy Server' }).getByRole('button', { name: 'Yes' }).click();
    assert.equal(await tarnwick.exited, 0);
    assert.equal(readOption(dataDir, 'Savelog'), '1');
  });
});
