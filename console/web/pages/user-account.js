'use strict';
// User Account: the accounts of user.sdb by user name, the account dialog (General and the
// shared Limitations tab), Delete with its question, and Export.../Import... of the text file.
(function () {
  const { el, api, messageBox, nextId, formatBytes } = window.Tarnwick;
  const { listView, tabbedDialog, limitationsTab, field, fillChoices, showResult, confirmDelete } = window.Tarnwick.accounts;
  const MAX_IMPORT_BYTES = 16 * 1024 * 1024;
  let list = null;

  async function load(selectUserid) {
    if (!list) return;
    try {
      const reply = await api.get('/api/user-account');
      list.setRows(reply.rows, selectUserid);
      if (reply.error) await messageBox(reply.error, { icon: 'error' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  // The account dialog for `userid`, or for a new account when it is empty.
  async function openDialog(userid) {
    let opened;
    try {
      opened = await api.get('/api/user-account/dialog?userid=' + encodeURIComponent(userid));
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return;
    }
    if (!await showResult(opened.result)) { await load(); return; }
    const v = opened.values;
    const id = (name) => nextId('user-' + name);
    const useridEdit = el('input', { type: 'text', id: id('userid'), maxlength: '64', value: v.userid });
    const passwordEdit = el('input', { type: opened.passwordMasked ? 'password' : 'text', id: id('password'),
      maxlength: '64', value: v.password, autocomplete: 'new-password' });
    const emailEdit = el('input', { type: 'text', id: id('email'), maxlength: '64', value: v.email });
    const groupList = el('select', { id: id('group') });
    fillChoices(groupList, opened.groups, v.group);
    const statusList = el('select', { id: id('status') },
      el('option', { value: '0' }, 'Disable'), el('option', { value: '1' }, 'Enable'));
    statusList.value = v.enabled ? '1' : '0';
    const nameEdit = el('input', { type: 'text', id: id('name'), maxlength: '64', value: v.name });
    const notesEdit = el('textarea', { id: id('notes'), maxlength: '255' });
    notesEdit.value = v.notes;
    const limits = limitationsTab(v, opened);

    let saved = '';
    await tabbedDialog({
      caption: 'User Account',
      tabs: [
        { title: 'General', panel: el('div', {},
          field('UserID:', useridEdit), field('Password:', passwordEdit), field('Email:', emailEdit),
          field('Group:', groupList), field('Status:', statusList), field('Full name:', nameEdit),
          field('Notes:', notesEdit)) },
        { title: 'Limitations', panel: limits.panel },
      ],
      async onOk() {
        const values = Object.assign({}, v, {
          userid: useridEdit.value, password: passwordEdit.value, email: emailEdit.value,
          group: Number(groupList.value), enabled: statusList.value === '1', name: nameEdit.value,
          notes: notesEdit.value,
        }, limits.read());
        const reply = await api.post('/api/user-account/dialog/save', { values });
        if (!await showResult(reply.result)) return false;
        if (reply.row) saved = reply.row.userid;
        return true;
      },
    });
    if (saved) await load(saved);
  }

  async function add() { await openDialog(''); }

  async function edit() {
    const row = list.selected();
    if (row) await openDialog(row.userid);
  }

  async function remove() {
    const row = list.selected();
    if (!row) return;
    await confirmDelete('Do you really want to delete this user?', '/api/user-account/delete', { userid: row.userid });
    await load();
  }

  async function exportFile() {
    let text;
    try {
      text = await api.get('/api/user-account/export');
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return;
    }
    const url = URL.createObjectURL(new Blob([text], { type: 'text/plain' }));
    const link = el('a', { href: url, download: 'users.txt', hidden: true });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  // The file goes to the console in Base64, so any bytes arrive as they are in the file.
  function readBase64(file) {
    return new Promise((resolve, reject) => {
      const reader = new FileReader();
      reader.onload = () => resolve(String(reader.result).replace(/^data:[^,]*,/, ''));
      reader.onerror = () => reject(new Error('The file could not be read.'));
      reader.readAsDataURL(file);
    });
  }

  async function importFile(input) {
    const file = input.files[0];
    input.value = '';
    if (!file) return;
    if (file.size > MAX_IMPORT_BYTES) {
      await messageBox('The file is larger than 16 MiB.', { icon: 'error' });
      return;
    }
    try {
      const reply = await api.post('/api/user-account/import', { data: await readBase64(file) });
      await load();
      await messageBox(reply.message, { icon: reply.skipped ? 'error' : 'info' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  window.Tarnwick.registerPage('user-account', {
    render(container) {
      const fileInput = el('input', { type: 'file', accept: '.txt,text/plain', hidden: true, 'aria-label': 'File to import' });
      fileInput.addEventListener('change', () => importFile(fileInput));
      const importAction = () => fileInput.click();
      list = listView({
        label: 'User Accounts',
        columns: ['UserID', 'Password', 'Email', 'Group', 'Status', 'Today', 'This month'],
        keyOf: (r) => r.userid,
        cells: (r) => [r.userid, r.password, r.email, r.group, r.status, formatBytes(r.today), formatBytes(r.month)],
        onOpen: edit,
        menu: [{ label: 'Refresh', action: () => load() }, { label: 'Export...', action: exportFile },
          { label: 'Import...', action: importAction }],
      });
      container.append(
        list.wrap,
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: add }, 'Add...'),
          el('button', { type: 'button', className: 'push', onclick: edit }, 'Edit...'),
          el('button', { type: 'button', className: 'push', onclick: remove }, 'Delete'),
          el('button', { type: 'button', className: 'push', onclick: () => load() }, 'Refresh'),
          el('button', { type: 'button', className: 'push', onclick: exportFile }, 'Export...'),
          el('button', { type: 'button', className: 'push', onclick: importAction }, 'Import...'),
          fileInput));
      load();
    },
  });
})();
