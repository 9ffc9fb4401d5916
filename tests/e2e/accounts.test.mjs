// The User Account and Group pages in a real browser: an account made in the pages logs in
// through the SOCKS proxy, a disabled one no longer does, and an export imported into a fresh
// data directory gives the same accounts.
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { closeConsole, openConsole, screenshot } from './console_fixture.mjs';

function freePort() {
  return new Promise((resolve) => {
    const server = net.createServer();
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

// curl through the SOCKS proxy with a login; resolves with {code, body}.
function curlViaSocks(socksPort, login, url) {
  return new Promise((resolve) => {
    execFile('curl', ['-s', '--max-time', '10', '-x', `socks5://${login}@127.0.0.1:${socksPort}`, url],
      (error, stdout) => resolve({ code: error ? error.code : 0, body: stdout }));
  });
}

describe('user accounts and groups', () => {
  let first;
  let second;
  let origin;
  let originUrl;

  before(async () => {
    origin = http.createServer((req, res) => res.end('hello from the origin'));
    await new Promise((resolve) => origin.listen(0, '127.0.0.1', resolve));
    originUrl = `http://127.0.0.1:${origin.address().port}/`;
    first = await openConsole();
    await first.page.goto(first.tarnwick.url);
  });

  after(async () => {
    await closeConsole(first);
    await closeConsole(second);
    origin.close();
  });

  const usersOf = (page) => page.getByRole('table', { name: 'User Accounts' });
  const userRow = (page, name) => usersOf(page).getByRole('row')
    .filter({ has: page.getByRole('cell', { name, exact: true }) });

  async function openUser(page, name) {
    if (name) await userRow(page, name).dblclick();
    else await page.locator('#page').getByRole('button', { name: 'Add...' }).click();
    const dialog = page.getByRole('dialog', { name: 'User Account' });
    await dialog.waitFor();
    return dialog;
  }

  test('an account made in the pages logs in through SOCKS until it is disabled', async () => {
    const { page } = first;
    // A group first: it comes last in id order, and the user dialog offers it.
    await page.getByRole('option', { name: 'Group' }).click();
    const groups = page.getByRole('table', { name: 'Groups' });
    await groups.getByRole('cell', { name: '[Guest]', exact: true }).waitFor();
    await page.locator('#page').getByRole('button', { name: 'Add...' }).click();
    const groupDialog = page.getByRole('dialog', { name: 'Group' });
    await groupDialog.getByLabel('Name:').fill('staff');
    await groupDialog.getByRole('button', { name: 'OK' }).click();
    await groupDialog.waitFor({ state: 'detached' });
    await groups.getByRole('cell', { name: 'staff', exact: true }).waitFor();
    assert.deepEqual((await groups.getByRole('row').allTextContents()).slice(1).map((t) => t.slice(0, 1)), ['1', '2']);
    // "[Guest]" stays after the question.
    await groups.getByRole('row', { name: /\[Guest\]/ }).click();
    await page.locator('#page').getByRole('button', { name: 'Delete' }).click();
    const box = page.getByRole('dialog', { name: 'Tarnwick Proxy Server' });
    await box.getByRole('button', { name: 'Yes' }).click();
    await box.getByText('You cannot delete it!').waitFor();
    await screenshot(page, 'group-guest-refusal');
    await box.getByRole('button', { name: 'OK' }).click();
    await screenshot(page, 'group-list');

    await page.getByRole('option', { name: 'User Account' }).click();
    let dialog = await openUser(page, '');
    await dialog.getByLabel('UserID:').fill('alice');
    await dialog.getByLabel('Password:').fill('s3cret,pw');
    assert.equal(await dialog.getByLabel('Password:').getAttribute('type'), 'password');
    await dialog.getByLabel('Email:').fill('alice@example.test');
    await dialog.getByLabel('Group:').selectOption('staff');
    await dialog.getByLabel('Full name:').fill('Alice Example');
    await dialog.getByLabel('Notes:').fill('first line, with comma\nsecond line');
    await screenshot(page, 'user-dialog-general');
    await dialog.getByRole('tab', { name: 'Limitations' }).click();
    const download = dialog.getByRole('group', { name: 'Download speed limit' });
    assert.equal(await download.getByLabel('Max. speed').isDisabled(), true);
    await download.getByLabel('Download speed limit').check();
    await download.getByLabel('Max. speed').fill('4096');
    const filter = dialog.getByRole('group', { name: 'Web Filter' });
    assert.equal(await filter.getByRole('button', { name: 'Edit web filters' }).isDisabled(), true);
    // "..." opens the editor over the dialog; a filter saved there is offered at once.
    await filter.getByLabel('Web Filter', { exact: true }).check();
    await filter.getByRole('button', { name: 'Edit web filters' }).click();
    const editor = page.getByRole('dialog', { name: 'Web Filter' });
    await editor.getByRole('button', { name: 'New', exact: true }).click();
    await editor.getByLabel('Filter Name:').fill('Kids');
    await editor.getByRole('button', { name: 'OK' }).click();
    await editor.waitFor({ state: 'detached' });
    await filter.getByRole('combobox', { name: 'Web filters' }).selectOption('Kids');
    await filter.getByLabel('Web Filter', { exact: true }).uncheck();
    await screenshot(page, 'user-dialog-limitations');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await dialog.waitFor({ state: 'detached' });
    await userRow(page, 'alice').waitFor();
    assert.deepEqual(await userRow(page, 'alice').getByRole('cell').allTextContents(),
      ['alice', '*****', 'alice@example.test', 'staff', 'enable', '0 B', '0 B']);

    // The same name again: the dialog says so and keeps what was typed.
    dialog = await openUser(page, '');
    await dialog.getByLabel('UserID:').fill('alice');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await box.getByText('The user name "alice" already exists.').waitFor();
    await box.getByRole('button', { name: 'OK' }).click();
    assert.equal(await dialog.getByLabel('UserID:').inputValue(), 'alice');
    await dialog.getByLabel('UserID:').fill('bob');
    await dialog.getByLabel('Password:').fill('pw2');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await userRow(page, 'bob').waitFor();
    await screenshot(page, 'user-list');

    // SOCKS rights through the server dialog's Users tab, then the proxy is started again.
    const socksPort = await freePort();
    await page.getByRole('option', { name: 'Proxy Servers' }).click();
    const socksRow = page.getByRole('table', { name: 'Proxy Servers' }).getByRole('row')
      .filter({ has: page.getByRole('cell', { name: 'SOCKS Proxy', exact: true }) });
    await socksRow.dblclick();
    const server = page.getByRole('dialog', { name: 'Server' });
    await server.getByLabel('Port:').fill(String(socksPort));
    await server.getByRole('tab', { name: 'Limitations' }).click();
    await server.getByLabel('Permit everyone (No authentication)').uncheck();
    await server.getByRole('tab', { name: 'Users' }).click();
    await server.getByRole('button', { name: 'Add...' }).click();
    const picker = page.getByRole('dialog', { name: 'Select Users' });
    await picker.getByLabel('Users:').selectOption('alice');
    await picker.getByRole('button', { name: 'OK' }).click();
    await server.getByRole('cell', { name: 'alice', exact: true }).waitFor();
    await server.getByRole('button', { name: 'OK' }).click();
    await server.waitFor({ state: 'detached' });
    await socksRow.click();
    await page.locator('#page').getByRole('button', { name: 'STOP', exact: true }).click();
    await socksRow.getByRole('cell', { name: 'Off', exact: true }).waitFor();
    await page.locator('#page').getByRole('button', { name: 'Start', exact: true }).click();
    await socksRow.getByRole('cell', { name: String(socksPort), exact: true }).waitFor();

    let result = await curlViaSocks(socksPort, 'alice:s3cret%2Cpw', originUrl);
    assert.equal(result.code, 0, 'alice logs in');
    assert.equal(result.body, 'hello from the origin');
    result = await curlViaSocks(socksPort, 'bob:pw2', originUrl);
    assert.notEqual(result.code, 0, 'bob has no SOCKS rights');

    await page.getByRole('option', { name: 'User Account' }).click();
    dialog = await openUser(page, 'alice');
    assert.equal(await dialog.getByLabel('Full name:').inputValue(), 'Alice Example');
    await dialog.getByLabel('Status:').selectOption('Disable');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await userRow(page, 'alice').getByRole('cell', { name: 'disable', exact: true }).waitFor();
    result = await curlViaSocks(socksPort, 'alice:s3cret%2Cpw', originUrl);
    assert.notEqual(result.code, 0, 'a disabled account is refused');
  });

  test('an export imported into a fresh data directory gives the same accounts', async () => {
    const exportFrom = async (page) => {
      const [download] = await Promise.all([
        page.waitForEvent('download'),
        page.locator('#page').getByRole('button', { name: 'Export...' }).click(),
      ]);
      return fs.readFileSync(await download.path(), 'utf8');
    };
    const text = await exportFrom(first.page);
    const lines = text.split('\n');
    assert.equal(lines[0], 'userid,password,email,name,group,status,notes,download limit,download speed,upload limit,upload speed');
    assert.equal(lines[1], 'alice,"s3cret,pw",alice@example.test,Alice Example,2,0,"first line, with comma second line",1,4096,0,0,');
    assert.match(lines[2], /^bob,pw2,,,0,1,,/);
    assert.equal(lines.length, 4, 'two users and the final line end');

    second = await openConsole();
    const { page } = second;
    await page.goto(second.tarnwick.url);
    await page.getByRole('option', { name: 'User Account' }).click();
    const file = path.join(second.dataDir, 'import.txt');
    fs.writeFileSync(file, text);
    await page.getByLabel('File to import').setInputFiles(file);
    const box = page.getByRole('dialog', { name: 'Tarnwick Proxy Server' });
    await box.getByText('2 accounts imported, 0 skipped.').waitFor();
    await box.getByRole('button', { name: 'OK' }).click();
    await userRow(page, 'bob').waitFor();
    assert.equal(await exportFrom(page), text);
  });
});
