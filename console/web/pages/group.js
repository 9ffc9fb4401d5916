'use strict';
// Group: the groups of group.sdb in id order, the first one selected, and the group dialog
// (General and the shared Limitations tab); Delete asks first, and the console refuses the
// guests' group.
(function () {
  const { el, api, messageBox, nextId } = window.Tarnwick;
  const { listView, tabbedDialog, limitationsTab, field, showResult, confirmDelete } = window.Tarnwick.accounts;
  let list = null;

  async function load(selectId) {
    if (!list) return;
    try {
      const reply = await api.get('/api/group');
      const first = reply.rows.length ? String(reply.rows[0].id) : null;
      list.setRows(reply.rows, selectId !== undefined ? String(selectId) : undefined);
      if (!list.selected() && first) list.select(first);
      if (reply.error) await messageBox(reply.error, { icon: 'error' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  // The group dialog for group `groupId`, or for a new group when it is 0.
  async function openDialog(groupId) {
    let opened;
    try {
      opened = await api.get('/api/group/dialog?id=' + groupId);
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return;
    }
    if (!await showResult(opened.result)) { await load(); return; }
    const v = opened.values;
    const id = (name) => nextId('group-' + name);
    const nameEdit = el('input', { type: 'text', id: id('name'), maxlength: '64', value: v.name });
    const statusList = el('select', { id: id('status') },
      el('option', { value: '0' }, 'Disable'), el('option', { value: '1' }, 'Enable'));
    statusList.value = v.enabled ? '1' : '0';
    const notesEdit = el('textarea', { id: id('notes'), maxlength: '255' });
    notesEdit.value = v.notes;
    const limits = limitationsTab(v, opened);

    let savedId = 0;
    await tabbedDialog({
      caption: 'Group',
      tabs: [
        { title: 'General', panel: el('div', {},
          field('Name:', nameEdit), field('Status:', statusList), field('Notes:', notesEdit)) },
        { title: 'Limitations', panel: limits.panel },
      ],
      async onOk() {
        const values = Object.assign({}, v, {
          name: nameEdit.value, enabled: statusList.value === '1', notes: notesEdit.value,
        }, limits.read());
        const reply = await api.post('/api/group/dialog/save', { values });
        if (!await showResult(reply.result)) return false;
        if (reply.row) savedId = reply.row.id;
        return true;
      },
    });
    if (savedId) await load(savedId);
  }

  async function edit() {
    const row = list.selected();
    if (row) await openDialog(row.id);
  }

  async function remove() {
    const row = list.selected();
    if (!row) return;
    await confirmDelete('Do you really want to delete this group?', '/api/group/delete', { id: row.id });
    await load();
  }

  window.Tarnwick.registerPage('group', {
    render(container) {
      list = listView({
        label: 'Groups',
        columns: ['ID', 'Name', 'Status', 'Notes'],
        keyOf: (r) => String(r.id),
        cells: (r) => [String(r.id), r.name, r.status, r.notes],
        onOpen: edit,
        menu: [{ label: 'Refresh', action: () => load() }],
      });
      container.append(
        list.wrap,
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: () => openDialog(0) }, 'Add...'),
          el('button', { type: 'button', className: 'push', onclick: edit }, 'Edit...'),
          el('button', { type: 'button', className: 'push', onclick: remove }, 'Delete'),
          el('button', { type: 'button', className: 'push', onclick: () => load() }, 'Refresh')));
      load();
    },
  });
})();
