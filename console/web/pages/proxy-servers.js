'use strict';
// Proxy Servers: the list of the five proxies with their live Status and Port, Start and STOP
// for the selected one, and the server dialog (General, Limitations, Users, Groups) with the
// user and group pickers. The dialog's values live here while it is open; OK sends them whole
// and the console checks them again before it writes anything.
(function () {
  const { el, api, messageBox, nextId } = window.Tarnwick;
  let rows = [];
  let selectedId = 0;
  let tbody = null;

  async function showResult(result) {
    if (result && result.message) await messageBox(result.message, { icon: result.error ? 'error' : 'info' });
  }

  // ---- the list ----

  function select(id) {
    selectedId = id;
    if (!tbody) return;
    for (const tr of tbody.children) tr.setAttribute('aria-selected', String(Number(tr.dataset.id) === id));
  }

  function rowNode(row) {
    return el('tr', { 'data-id': row.id, 'aria-selected': String(row.id === selectedId),
      onclick: () => select(row.id), ondblclick: () => { select(row.id); edit(); } },
    el('td', {}, String(row.id)), el('td', {}, row.name), el('td', {}, row.status),
    el('td', {}, row.port ? String(row.port) : ''), el('td', { title: row.description }, row.description));
  }

  function fill() {
    if (tbody) tbody.replaceChildren(...rows.map(rowNode));
  }

  async function load() {
    try {
      const reply = await api.get('/api/proxy-servers');
      rows = reply.rows;
      fill();
      if (reply.error) await messageBox(reply.error, { icon: 'error' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  async function startOrStop(which) {
    if (!selectedId) return;
    try {
      const reply = await api.post('/api/proxy-servers/' + which, { id: selectedId });
      await showResult(reply.result);
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  function keys(e) {
    const trs = [...tbody.children];
    if (!trs.length) return;
    let i = trs.findIndex((tr) => Number(tr.dataset.id) === selectedId);
    if (e.key === 'ArrowDown') i = Math.min(trs.length - 1, i + 1);
    else if (e.key === 'ArrowUp') i = Math.max(0, i - 1);
    else if (e.key === 'Home') i = 0;
    else if (e.key === 'End') i = trs.length - 1;
    else if (e.key === 'Enter') { edit(); return; }
    else return;
    e.preventDefault();
    select(Number(trs[i].dataset.id));
  }

  // ---- the pickers ----

  // A modal multi-select list; resolves with the chosen names (empty on Cancel).
  async function pick(kind) {
    let entries;
    try {
      const reply = await api.get('/api/pickers/' + kind);
      entries = kind === 'users' ? reply.users.map((u) => ({ name: u.userid, text: u.userid + (u.name ? ' (' + u.name + ')' : '') }))
        : reply.groups.map((g) => ({ name: g.name, text: g.name }));
      if (reply.error) await messageBox(reply.error, { icon: 'error' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return [];
    }
    const caption = kind === 'users' ? 'Select Users' : 'Select Groups';
    return new Promise((resolve) => {
      const captionId = nextId('pick');
      const listId = nextId('pick-list');
      const list = el('select', { id: listId, multiple: true, size: '10', className: 'picker-list' },
        entries.map((entry) => el('option', { value: entry.name }, entry.text)));
      const dialog = el('dialog', { 'aria-labelledby': captionId });
      function finish(names) {
        dialog.close();
        dialog.remove();
        resolve(names);
      }
      dialog.append(
        el('h2', { className: 'dialog-caption', id: captionId }, caption),
        el('div', { className: 'dialog-form' },
          el('label', { for: listId }, kind === 'users' ? 'Users:' : 'Groups:'),
          list,
          entries.length ? null : el('p', { className: 'note' }, kind === 'users' ? 'There are no users.' : 'There are no groups.')),
        el('div', { className: 'dialog-buttons' },
          el('button', { type: 'button', className: 'push', onclick: () => finish([...list.selectedOptions].map((o) => o.value)) }, 'OK'),
          el('button', { type: 'button', className: 'push', onclick: () => finish([]) }, 'Cancel')));
      list.addEventListener('dblclick', () => finish([...list.selectedOptions].map((o) => o.value)));
      dialog.addEventListener('cancel', (e) => { e.preventDefault(); finish([]); });
      document.body.append(dialog);
      dialog.showModal();
      list.focus();
    });
  }

  // ---- the server dialog ----

  // The enabling rules, applied after every click; the console's own rules decide again on OK.
  function controlsOf(v, fixed) {
    const permit = fixed.permitEveryoneShown ? v.permitEveryone : true;
    return {
      portEdit: v.enabled, descriptionEdit: v.enabled,
      ipRangeCheck: permit, downloadCheck: permit, uploadCheck: permit,
      ipRangeEdit: permit && v.ipRangeOn, downloadEdit: permit && v.downloadLimitOn, uploadEdit: permit && v.uploadLimitOn,
    };
  }

  function field(label, input) {
    return el('div', { className: 'field' }, el('label', { for: input.id }, label), input);
  }

  function check(label, input) {
    return el('div', { className: 'check' }, input, el('label', { for: input.id }, label));
  }

  // A number from an edit: the integer when it is one, else the text as typed, which the
  // console refuses with its own message.
  function numberOf(input) {
    const text = input.value.trim();
    return /^-?\d{1,10}$/.test(text) ? Number(text) : text;
  }

  async function edit() {
    if (!selectedId) return;
    let opened;
    try {
      opened = await api.get('/api/proxy-servers/dialog?id=' + selectedId);
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return;
    }
    if (!opened.result.ok) { await showResult(opened.result); return; }
    const fixed = opened.controls;
    let v = opened.values;

    const id = (name) => nextId('srv-' + name);
    const nameEdit = el('input', { type: 'text', id: id('name'), readonly: true, value: v.name });
    const portEdit = el('input', { type: 'number', id: id('port'), min: '1', max: '65535', value: v.port });
    const descEdit = el('input', { type: 'text', id: id('desc'), maxlength: '255', value: v.description });
    const enabledBox = el('input', { type: 'checkbox', id: id('enabled'), checked: v.enabled || null });
    const permitBox = el('input', { type: 'checkbox', id: id('permit'), checked: v.permitEveryone || null });
    const rangeBox = el('input', { type: 'checkbox', id: id('range-on'), checked: v.ipRangeOn || null });
    const rangeEdit = el('input', { type: 'text', id: id('range'), maxlength: '255', value: v.ipRange, 'aria-label': 'IP Address Range' });
    const downBox = el('input', { type: 'checkbox', id: id('down-on'), checked: v.downloadLimitOn || null });
    const downEdit = el('input', { type: 'number', id: id('down'), min: '0', value: v.downloadSpeed });
    const upBox = el('input', { type: 'checkbox', id: id('up-on'), checked: v.uploadLimitOn || null });
    const upEdit = el('input', { type: 'number', id: id('up'), min: '0', value: v.uploadSpeed });

    // The accounts lists, kept in v while the dialog is open.
    const accountTab = (kind) => {
      const users = kind === 'users';
      const body = el('tbody');
      let selected = 0;
      const table = el('table', { className: 'list', tabindex: '0', 'aria-label': users ? 'Users' : 'Groups' },
        el('thead', {}, el('tr', {}, users ? [el('th', { scope: 'col' }, 'UserID'), el('th', { scope: 'col' }, 'Name')]
          : [el('th', { scope: 'col' }, 'Name')])),
        body);
      function render() {
        const list = users ? v.users : v.groups;
        body.replaceChildren(...list.map((a) => el('tr', { 'data-id': a.id, 'aria-selected': String(a.id === selected),
          onclick: () => { selected = a.id; render(); } },
        users ? [el('td', {}, a.userid), el('td', {}, a.name)] : [el('td', {}, a.name)])));
      }
      async function add() {
        const names = await pick(kind);
        if (!names.length) return;
        readValues();
        try {
          const reply = await api.post('/api/proxy-servers/dialog/add-' + kind, { values: v, names });
          v = reply.values;
          const list = users ? v.users : v.groups;
          const added = list.filter((a) => names.includes(users ? a.userid : a.name));
          if (added.length) selected = added[added.length - 1].id;
          render();
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      }
      function remove() {
        const list = users ? v.users : v.groups;
        const i = list.findIndex((a) => a.id === selected);
        if (i < 0) return;
        list.splice(i, 1);
        (users ? v.removedUserIds : v.removedGroupIds).push(selected);
        selected = 0;
        render();
      }
      render();
      return el('div', { className: 'account-tab' },
        el('p', {}, users ? 'The Server is applied to the following users:' : 'The Server is applied to the following groups:'),
        el('div', { className: 'table-wrap' }, table),
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: add }, 'Add...'),
          el('button', { type: 'button', className: 'push', onclick: remove }, 'Remove')));
    };

    const tabs = [
      { title: 'General', panel: el('div', {},
        field('Name:', nameEdit), field('Port:', portEdit), field('Description:', descEdit),
        check('Enable this server', enabledBox)) },
      { title: 'Limitations', panel: el('div', {},
        fixed.permitEveryoneShown ? check('Permit everyone (No authentication)', permitBox) : null,
        check('IP Address Range for guest', rangeBox), el('div', { className: 'indent' }, rangeEdit),
        check('Download speed limit for guest', downBox),
        el('div', { className: 'indent row' }, downEdit, el('label', { for: downEdit.id }, 'KB/s (download)')),
        check('Upload speed limit for guest', upBox),
        el('div', { className: 'indent row' }, upEdit, el('label', { for: upEdit.id }, 'KB/s (upload)')),
        fixed.mailLimitsShared ? el('p', { className: 'note' }, 'POP3 and SMTP share one pair of guest speed limits.') : null) },
    ];
    if (fixed.accountTabs) {
      tabs.push({ title: 'Users', panel: accountTab('users') }, { title: 'Groups', panel: accountTab('groups') });
    }

    function readValues() {
      v = Object.assign({}, v, {
        port: numberOf(portEdit), description: descEdit.value, enabled: enabledBox.checked,
        permitEveryone: fixed.permitEveryoneShown ? permitBox.checked : true,
        ipRangeOn: rangeBox.checked, ipRange: rangeEdit.value,
        downloadLimitOn: downBox.checked, downloadSpeed: numberOf(downEdit),
        uploadLimitOn: upBox.checked, uploadSpeed: numberOf(upEdit),
      });
    }

    function applyEnabling() {
      readValues();
      const c = controlsOf(v, fixed);
      portEdit.disabled = !c.portEdit;
      descEdit.disabled = !c.descriptionEdit;
      rangeBox.disabled = !c.ipRangeCheck;
      downBox.disabled = !c.downloadCheck;
      upBox.disabled = !c.uploadCheck;
      rangeEdit.disabled = !c.ipRangeEdit;
      downEdit.disabled = !c.downloadEdit;
      upEdit.disabled = !c.uploadEdit;
    }
    for (const box of [enabledBox, permitBox, rangeBox, downBox, upBox]) box.addEventListener('change', applyEnabling);

    const captionId = nextId('srv-caption');
    const { tabList, panels, buttons: tabButtons } = window.Tarnwick.tabSet('Server settings', tabs);

    const dialog = el('dialog', { 'aria-labelledby': captionId, className: 'server-dialog' });
    let busy = false;
    function close() { dialog.close(); dialog.remove(); }
    async function ok() {
      if (busy) return;
      busy = true;
      readValues();
      try {
        const reply = await api.post('/api/proxy-servers/dialog/save', { values: v });
        if (reply.result.ok) {
          close();
          await showResult(reply.result);
          await load();
        } else {
          await showResult(reply.result);
        }
      } catch (e) {
        await messageBox(e.message, { icon: 'error' });
      } finally {
        busy = false;
      }
    }
    dialog.append(
      el('h2', { className: 'dialog-caption', id: captionId }, 'Server'),
      el('div', { className: 'dialog-form' }, tabList, panels),
      el('div', { className: 'dialog-buttons' },
        el('button', { type: 'button', className: 'push', onclick: ok }, 'OK'),
        el('button', { type: 'button', className: 'push', onclick: close }, 'Cancel')));
    dialog.addEventListener('cancel', (e) => { e.preventDefault(); close(); });
    document.body.append(dialog);
    applyEnabling();
    dialog.showModal();
    tabButtons[0].focus();
    if (opened.result.message) await showResult(opened.result);
  }

  window.Tarnwick.registerPage('proxy-servers', {
    render(container) {
      tbody = el('tbody');
      const table = el('table', { className: 'list', tabindex: '0', 'aria-label': 'Proxy Servers', onkeydown: keys },
        el('thead', {}, el('tr', {}, ['ID', 'Name', 'Status', 'Port', 'Description'].map((c) => el('th', { scope: 'col' }, c)))),
        tbody);
      container.append(
        el('div', { className: 'table-wrap' }, table),
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: edit }, 'Edit...'),
          el('button', { type: 'button', className: 'push', onclick: () => startOrStop('start') }, 'Start'),
          el('button', { type: 'button', className: 'push', onclick: () => startOrStop('stop') }, 'STOP')));
      fill();
      load();
    },
    onStatus(status) {
      let changed = false;
      for (const s of status.servers) {
        const row = rows.find((r) => r.id === s.id);
        if (!row) continue;
        const text = s.running ? 'On' : 'Off';
        if (row.status !== text || row.port !== s.port) { row.status = text; row.port = s.port; changed = true; }
      }
      if (changed) fill();
    },
  });
})();
