// The Proxy Servers page and the Service dialog in a real browser: the server dialog's edits
// reach option.ini and the account tables, a refused value keeps the dialog open, and the
// Service dialog shows what kestrane said.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';

import {
  closeConsole, openConsole, readSectionOption, screenshot,
} from './console_fixture.mjs';

describe('proxy servers and service', () => {
  let console_;
  let dataDir;
  let page;

  before(async () => {
    console_ = await openConsole();
    ({ dataDir, page } = console_);
    await page.goto(console_.tarnwick.url);
  });

  after(async () => closeConsole(console_));

  const list = () => page.getByRole('table', { name: 'Proxy Servers' });
  const rowOf = (name) => list().getByRole('row').filter({ has: page.getByRole('cell', { name, exact: true }) });

  async function openDialog(name) {
    await rowOf(name).dblclick();
    const dialog = page.getByRole('dialog', { name: 'Server' });
    await dialog.waitFor();
    return dialog;
  }

  test('the server dialog writes the port and the login switch, and refuses a bad port', async () => {
    await rowOf('HTTP Proxy').waitFor();
    for (const column of ['ID', 'Name', 'Status', 'Port', 'Description']) {
      assert.equal(await list().getByRole('columnheader', { name: column, exact: true }).count(), 1, column);
    }
    let dialog = await openDialog('HTTP Proxy');
    assert.deepEqual(await dialog.getByRole('tab').allTextContents(), ['General', 'Limitations', 'Users', 'Groups']);
    assert.equal(await dialog.getByLabel('Name:').getAttribute('readonly'), '');
    await screenshot(page, 'server-dialog-general');

    // Enabling follows the boxes at once.
    await dialog.getByLabel('Enable this server').uncheck();
    assert.equal(await dialog.getByLabel('Port:').isDisabled(), true);
    await dialog.getByLabel('Enable this server').check();

    await dialog.getByLabel('Port:').fill('70000');
    await dialog.getByRole('button', { name: 'OK' }).click();
    const refusal = page.getByRole('dialog', { name: 'Tarnwick Proxy Server' });
    await refusal.waitFor();
    await refusal.getByRole('button', { name: 'OK' }).click();
    assert.equal(await dialog.getByLabel('Port:').inputValue(), '70000', 'the refused values stay');
    assert.equal(readSectionOption(dataDir, 'HTTP', 'port'), '0', 'nothing written');

    await dialog.getByLabel('Port:').fill('18088');
    await dialog.getByRole('tab', { name: 'Limitations' }).click();
    const download = dialog.getByLabel('Download speed limit for guest');
    await dialog.getByLabel('Permit everyone (No authentication)').uncheck();
    assert.equal(await download.isDisabled(), true);
    await screenshot(page, 'server-dialog-limitations');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await dialog.waitFor({ state: 'detached' });
    assert.equal(readSectionOption(dataDir, 'HTTP', 'port'), '18088');
    assert.equal(readSectionOption(dataDir, 'HTTP', 'auth'), '1');

    // POP3 has neither the login box nor the account tabs.
    dialog = await openDialog('POP3 Proxy');
    assert.deepEqual(await dialog.getByRole('tab').allTextContents(), ['General', 'Limitations']);
    await dialog.getByRole('tab', { name: 'Limitations' }).click();
    assert.equal(await dialog.getByLabel('Permit everyone (No authentication)').count(), 0);
    await dialog.getByRole('button', { name: 'Cancel' }).click();
  });

  test('a group removed and added back through the picker is kept in group.sdb', async () => {
    const groupsOf = async (name) => {
      const dialog = await openDialog(name);
      // The test's data directory lets the kernel pick the ports; the dialog takes 1-65535.
      await dialog.getByLabel('Port:').fill('11080');
      await dialog.getByRole('tab', { name: 'Groups' }).click();
      return dialog;
    };
    let dialog = await groupsOf('SOCKS Proxy');
    const listed = (d) => d.getByRole('table', { name: 'Groups' }).getByRole('cell', { name: '[Guest]', exact: true });
    if (await listed(dialog).count() === 1) {
      await listed(dialog).click();
      await dialog.getByRole('button', { name: 'Remove' }).click();
      await dialog.getByRole('button', { name: 'OK' }).click();
      dialog = await groupsOf('SOCKS Proxy');
      assert.equal(await listed(dialog).count(), 0, 'removed from the table');
    }
    await dialog.getByRole('button', { name: 'Add...' }).click();
    const picker = page.getByRole('dialog', { name: 'Select Groups' });
    await picker.getByLabel('Groups:').selectOption('[Guest]');
    await screenshot(page, 'group-picker');
    await picker.getByRole('button', { name: 'OK' }).click();
    await listed(dialog).waitFor();
    await screenshot(page, 'server-dialog-groups');
    await dialog.getByRole('button', { name: 'OK' }).click();
    await dialog.waitFor({ state: 'detached' });

    dialog = await groupsOf('SOCKS Proxy');
    assert.equal(await listed(dialog).count(), 1, 'stored in group.sdb');
    await dialog.getByRole('tab', { name: 'Users' }).click();
    await screenshot(page, 'server-dialog-users');
    await dialog.getByRole('button', { name: 'Cancel' }).click();
  });

  test('Start and STOP act on the selected proxy and the list follows', async () => {
    await rowOf('FTP Proxy').click();
    await page.locator('#page').getByRole('button', { name: 'Start', exact: true }).click();
    await rowOf('FTP Proxy').getByRole('cell', { name: 'On', exact: true }).waitFor();
    await screenshot(page, 'proxy-servers-list');
    await page.locator('#page').getByRole('button', { name: 'STOP', exact: true }).click();
    await rowOf('FTP Proxy').getByRole('cell', { name: 'Off', exact: true }).waitFor();
  });

  test('the Service dialog waits for kestrane and shows its message', async () => {
    await page.getByRole('option', { name: 'Options' }).click();
    await page.getByRole('button', { name: 'Service...' }).click();
    const dialog = page.getByRole('dialog', { name: 'Service' });
    await dialog.getByRole('button', { name: 'Start Service' }).click();
    // Without systemd kestrane refuses and says why; the dialog shows a failure, never success.
    const outcome = dialog.getByRole('status');
    await outcome.getByText(/Start Service (failed|succeeded)/).waitFor();
    const text = await outcome.textContent();
    if (!/succeeded/.test(text)) assert.match(text, /kestrane/);
    await screenshot(page, 'service-dialog');
    await dialog.getByRole('button', { name: 'Exit' }).click();
  });
});
