// The Online Users page and the throughput chart in a real browser: SOCKS5 tunnels opened by
// the test to its own echo server appear on the page, "Disconnect" ends one client's
// connection, "Disconnect user" every connection of that user, and the Server Logs page charts
// the bytes they moved.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import {
  closeConsole, freshDataDir, launchBrowser, screenshot, startTarnwick, tarnwickBinary,
} from './console_fixture.mjs';

const bin = path.dirname(tarnwickBinary());

// Reads of exact lengths from a socket, in order.
function reader(socket) {
  let buffered = Buffer.alloc(0);
  let waiting = null;
  const check = () => {
    if (waiting && buffered.length >= waiting.n) {
      const { n, resolve } = waiting;
      waiting = null;
      const out = buffered.subarray(0, n);
      buffered = buffered.subarray(n);
      resolve(out);
    }
  };
  socket.on('data', (d) => { buffered = Buffer.concat([buffered, d]); check(); });
  socket.on('close', () => { if (waiting) waiting.reject(new Error('the connection ended')); });
  return (n) => new Promise((resolve, reject) => { waiting = { n, resolve, reject }; check(); });
}

// A SOCKS5 tunnel with a user name and password to 127.0.0.1:port; resolves with
// {socket, read} once the proxy connected it.
async function socksTunnel(proxyPort, user, password, port) {
  const socket = net.connect(proxyPort, '127.0.0.1');
  await new Promise((resolve, reject) => { socket.once('connect', resolve); socket.once('error', reject); });
  const read = reader(socket);
  socket.write(Buffer.from([5, 1, 2]));
  assert.deepEqual([...await read(2)], [5, 2], 'the proxy asks for a login');
  socket.write(Buffer.concat([Buffer.from([1, user.length]), Buffer.from(user),
    Buffer.from([password.length]), Buffer.from(password)]));
  assert.deepEqual([...await read(2)], [1, 0], 'the login is accepted');
  socket.write(Buffer.from([5, 1, 0, 1, 127, 0, 0, 1, port >> 8, port & 255]));
  assert.equal((await read(10))[1], 0, 'the proxy connected the destination');
  return { socket, read };
}

const closed = (socket) => new Promise((resolve) => {
  if (socket.destroyed) resolve();
  else socket.once('close', resolve);
});

describe('online users', () => {
  let c;
  let echo;

  before(async () => {
    echo = net.createServer((s) => { s.on('error', () => {}); s.pipe(s); });
    await new Promise((resolve) => echo.listen(0, '127.0.0.1', resolve));
    const dataDir = freshDataDir();
    fs.writeFileSync(path.join(dataDir, 'option.ini'),
      fs.readFileSync(path.join(dataDir, 'option.ini'), 'utf8').replace('[SOCKS]\nport=0\n', '[SOCKS]\nport=0\nauth=1\n'));
    const tarnwick = await startTarnwick(dataDir);
    execFileSync(path.join(bin, 'test_account'), [dataDir, 'ann', 'pw', 'server5=1']);
    const browser = await launchBrowser();
    const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
    c = { dataDir, tarnwick, browser, page };
    await page.goto(tarnwick.url);
    await page.getByText('[Proxy Servers are offline]').waitFor();
  });

  after(async () => {
    await closeConsole(c);
    if (echo) echo.close();
  });

  test('a tunnel shows up live and Disconnect and Disconnect user end it', async () => {
    const { page } = c;
    // The SOCKS proxy alone, started from the Proxy Servers page.
    await page.getByRole('option', { name: 'Proxy Servers' }).click();
    const socksRow = page.getByRole('table', { name: 'Proxy Servers' }).getByRole('row')
      .filter({ has: page.getByRole('cell', { name: 'SOCKS Proxy', exact: true }) });
    await socksRow.click();
    await page.locator('#page').getByRole('button', { name: 'Start', exact: true }).click();
    await socksRow.getByRole('cell', { name: 'On', exact: true }).waitFor();
    const socksPort = (await page.evaluate(() => fetch('/api/status').then((r) => r.json())))
      .servers.find((s) => s.name === 'SOCKS').port;
    const echoPort = echo.address().port;

    await page.getByRole('option', { name: 'Online Users' }).click();
    await page.getByText('No one is connected.').waitFor();
    await screenshot(page, 'online-users-empty');

    const first = await socksTunnel(socksPort, 'ann', 'pw', echoPort);
    first.socket.write('hello through the tunnel');
    assert.equal((await first.read(24)).toString(), 'hello through the tunnel');
    const list = page.getByRole('table', { name: 'Online Users' });
    const rows = list.locator('tbody tr');
    await rows.first().waitFor();
    const cells = await rows.first().getByRole('cell').allTextContents();
    assert.deepEqual(cells.slice(0, 4),
      ['SOCKS', '127.0.0.1:' + first.socket.localPort, 'ann', '127.0.0.1:' + echoPort]);
    assert.match(cells[4], /^\d\d:\d\d:\d\d$/, 'Since is a time of day');
    await rows.first().getByRole('cell', { name: '24 B', exact: true }).first().waitFor();
    await screenshot(page, 'online-users');

    // The filter matches user, address and destination.
    const filter = page.getByLabel('Filter:');
    await filter.fill('nobody');
    await page.getByText('No connection matches the filter.').waitFor();
    await filter.fill(String(echoPort));
    await rows.first().waitFor();
    await filter.fill('');

    const firstClosed = closed(first.socket);
    await rows.first().getByRole('button', { name: 'Disconnect', exact: true }).click();
    await firstClosed;
    await page.getByText('No one is connected.').waitFor();

    // Two tunnels of one user; the chart of the Server Logs page has seen their bytes.
    const second = await socksTunnel(socksPort, 'ann', 'pw', echoPort);
    const third = await socksTunnel(socksPort, 'ann', 'pw', echoPort);
    second.socket.write(Buffer.alloc(100000, 1));
    await second.read(100000);
    await rows.nth(1).waitFor();
    const header = list.getByRole('columnheader', { name: 'Client' });
    await header.getByRole('button').click();
    assert.equal(await header.getAttribute('aria-sort'), 'ascending');
    await header.getByRole('button').click();
    assert.equal(await header.getAttribute('aria-sort'), 'descending');
    const ports = (await rows.locator('td:nth-child(2)').allTextContents()).map((t) => Number(t.split(':')[1]));
    assert.deepEqual(ports, [...ports].sort((a, b) => b - a), 'the rows follow the Client column, descending');

    const bothClosed = Promise.all([closed(second.socket), closed(third.socket)]);
    await rows.first().getByRole('button', { name: 'Disconnect user' }).click();
    await page.getByRole('dialog').getByRole('button', { name: 'Yes' }).click();
    await bothClosed;
    await page.getByText('No one is connected.').waitFor();

    await page.getByRole('option', { name: 'Server Logs' }).click();
    const chart = page.getByRole('img', { name: 'Throughput per proxy, last 5 minutes' });
    await chart.locator('polyline.tp-5.down').waitFor();
    const now = page.getByRole('table', { name: 'Throughput now' });
    assert.equal(await now.locator('tbody tr').count(), 5, 'one row per proxy');
    await screenshot(page, 'throughput-chart');
  });
});
