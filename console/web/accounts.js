'use strict';
// What the User Account and Group pages share: the list with its selection, keys and context
// menu, the tabbed dialog, and the Limitations tab (speed limits, address rule, web filter and
// schedule) that both dialogs show. Loaded after app.js, before the pages.
(function () {
  const { el, api, messageBox, nextId, tabSet, contextMenu } = window.Tarnwick;

  // A list with whole-row selection. keyOf gives a row's key (a string); cells its texts.
  // onOpen runs on double click and Enter; menu: [{label, action}] for the context menu.
  function listView({ label, columns, keyOf, cells, onOpen, menu }) {
    let rows = [];
    let selected = null;
    const tbody = el('tbody');
    const table = el('table', { className: 'list', tabindex: '0', 'aria-label': label },
      el('thead', {}, el('tr', {}, columns.map((c) => el('th', { scope: 'col' }, c)))), tbody);

    function select(key) {
      selected = key;
      for (const tr of tbody.children) tr.setAttribute('aria-selected', String(tr.dataset.key === key));
    }
    function setRows(next, key) {
      rows = next;
      if (key !== undefined) selected = key;
      if (!rows.some((r) => keyOf(r) === selected)) selected = null;
      tbody.replaceChildren(...rows.map((row) => {
        const k = keyOf(row);
        return el('tr', { 'data-key': k, 'aria-selected': String(k === selected),
          onclick: () => select(k), ondblclick: () => { select(k); onOpen(); } },
        cells(row).map((text) => el('td', { title: text }, text)));
      }));
    }
    table.addEventListener('keydown', (e) => {
      const trs = [...tbody.children];
      if (!trs.length) return;
      let i = trs.findIndex((tr) => tr.dataset.key === selected);
      if (e.key === 'ArrowDown') i = Math.min(trs.length - 1, i + 1);
      else if (e.key === 'ArrowUp') i = Math.max(0, i - 1);
      else if (e.key === 'Home') i = 0;
      else if (e.key === 'End') i = trs.length - 1;
      else if (e.key === 'Enter') { onOpen(); return; }
      else return;
      e.preventDefault();
      select(trs[i].dataset.key);
      trs[i].scrollIntoView({ block: 'nearest' });
    });
    table.addEventListener('contextmenu', (e) => {
      const tr = e.target.closest('tr[data-key]');
      if (tr) select(tr.dataset.key);
      contextMenu(e, label, menu, table);
    });
    return {
      wrap: el('div', { className: 'table-wrap' }, table),
      setRows,
      select,
      selected: () => rows.find((r) => keyOf(r) === selected) || null,
      first: () => rows[0] || null,
    };
  }

  // A modal dialog with tabs: [{title, panel}]. onOk resolves to true to close the dialog.
  // Resolves with true after an OK that closed it, false after Cancel.
  function tabbedDialog({ caption, tabs, onOk }) {
    return new Promise((resolve) => {
      const captionId = nextId('acc-caption');
      const { tabList, panels, buttons } = tabSet(caption, tabs);
      const dialog = el('dialog', { 'aria-labelledby': captionId, className: 'account-dialog' });
      let busy = false;
      function close(ok) { dialog.close(); dialog.remove(); resolve(ok); }
      async function ok() {
        if (busy) return;
        busy = true;
        try {
          if (await onOk()) close(true);
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        } finally {
          busy = false;
        }
      }
      dialog.append(
        el('h2', { className: 'dialog-caption', id: captionId }, caption),
        el('div', { className: 'dialog-form' }, tabList, panels),
        el('div', { className: 'dialog-buttons' },
          el('button', { type: 'button', className: 'push', onclick: ok }, 'OK'),
          el('button', { type: 'button', className: 'push', onclick: () => close(false) }, 'Cancel')));
      dialog.addEventListener('cancel', (e) => { e.preventDefault(); close(false); });
      document.body.append(dialog);
      dialog.showModal();
      buttons[0].focus();
    });
  }

  function field(label, input) {
    return el('div', { className: 'field' }, el('label', { for: input.id }, label), input);
  }

  // A whole number from an edit; empty counts as 0; anything else is sent as typed, for the
  // console to refuse with its own message.
  function numberOf(input) {
    const text = input.value.trim();
    if (text === '') return 0;
    return /^-?\d{1,10}$/.test(text) ? Number(text) : text;
  }

  // A list with an empty first entry (id 0), then the entries; selects `id` or the empty one.
  function fillChoices(select, entries, id) {
    select.replaceChildren(el('option', { value: '0' }, ''),
      ...entries.map((e) => el('option', { value: String(e.id) }, e.name)));
    select.value = entries.some((e) => e.id === id) ? String(id) : '0';
  }

  // The Limitations tab for the values v ({downloadLimitOn, downloadSpeed, ...}) and the
  // filter and schedule lists. read() gives the tab's members for the values sent on OK.
  function limitationsTab(v, choices) {
    const id = (name) => nextId('lim-' + name);
    const box = (on) => el('input', { type: 'checkbox', id: id('box'), checked: on || null });
    const speed = (value) => el('input', { type: 'number', id: id('speed'), min: '0', value });
    const downBox = box(v.downloadLimitOn);
    const downEdit = speed(v.downloadSpeed);
    const upBox = box(v.uploadLimitOn);
    const upEdit = speed(v.uploadSpeed);
    const ipBox = box(v.ipRangeOn);
    const ipEdit = el('input', { type: 'text', id: id('ip'), maxlength: '64', value: v.ipRange, 'aria-label': 'Address rule' });
    const filterBox = box(v.filterOn);
    const filterList = el('select', { id: id('filter'), 'aria-label': 'Web filters' });
    const scheduleBox = box(v.scheduleOn);
    const scheduleList = el('select', { id: id('schedule'), 'aria-label': 'Schedules' });
    fillChoices(filterList, choices.filters, v.filterId);
    fillChoices(scheduleList, choices.schedules, v.scheduleId);

    async function refill() {
      try {
        const reply = await api.get('/api/account-limits/choices');
        fillChoices(filterList, reply.filters, Number(filterList.value));
        fillChoices(scheduleList, reply.schedules, Number(scheduleList.value));
        if (reply.error) await messageBox(reply.error, { icon: 'error' });
      } catch (e) {
        await messageBox(e.message, { icon: 'error' });
      }
    }
    // The editors come from their own page script; without it the button says so.
    function editorButton(label, opener, missing) {
      return el('button', { type: 'button', className: 'push', 'aria-label': label, title: label,
        onclick: async () => {
          const open = window.Tarnwick[opener];
          if (typeof open !== 'function') { await messageBox(missing, { icon: 'error' }); return; }
          if (await open()) await refill();
        } }, '...');
    }
    const filterMore = editorButton('Edit web filters', 'openWebFilterEditor', 'The web filter editor is not available.');
    const scheduleMore = editorButton('Edit schedules', 'openScheduleEditor', 'The schedule editor is not available.');

    function group(title, check, ...controls) {
      return el('div', { role: 'group', 'aria-label': title, className: 'limit' },
        el('div', { className: 'check' }, check, el('label', { for: check.id }, title)),
        el('div', { className: 'indent row' }, ...controls));
    }
    const speedRow = (edit) => [el('label', { for: edit.id }, 'Max. speed'), edit, el('span', {}, 'KB/s')];
    const rules = [[downBox, downEdit], [upBox, upEdit], [ipBox, ipEdit],
      [filterBox, filterList, filterMore], [scheduleBox, scheduleList, scheduleMore]];
    function applyEnabling() {
      for (const [check, ...controls] of rules) for (const c of controls) c.disabled = !check.checked;
    }
    for (const [check] of rules) check.addEventListener('change', applyEnabling);
    applyEnabling();

    const panel = el('div', {},
      group('Download speed limit', downBox, speedRow(downEdit)),
      group('Upload speed limit', upBox, speedRow(upEdit)),
      group('IP Address Range', ipBox, ipEdit),
      group('Web Filter', filterBox, filterList, filterMore),
      group('Schedule', scheduleBox, scheduleList, scheduleMore));
    return {
      panel,
      read: () => ({
        downloadLimitOn: downBox.checked, downloadSpeed: numberOf(downEdit),
        uploadLimitOn: upBox.checked, uploadSpeed: numberOf(upEdit),
        ipRangeOn: ipBox.checked, ipRange: ipEdit.value,
        filterOn: filterBox.checked, filterId: Number(filterList.value),
        scheduleOn: scheduleBox.checked, scheduleId: Number(scheduleList.value),
      }),
    };
  }

  // The page's answer to an action: its message box when it has one; true when it went well.
  async function showResult(result) {
    if (result && result.message) await messageBox(result.message, { icon: result.error ? 'error' : 'info' });
    return Boolean(result && result.ok);
  }

  // Delete: asks `question`, then posts body to path and shows what came back; resolves once
  // done, whichever the answer.
  async function confirmDelete(question, path, body) {
    const answer = await messageBox(question, { icon: 'question', buttons: ['Yes', 'No'] });
    if (answer !== 'Yes') return false;
    try {
      return await showResult((await api.post(path, body)).result);
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return false;
    }
  }

  window.Tarnwick.accounts = { listView, tabbedDialog, limitationsTab, field, fillChoices, showResult, confirmDelete };
})();
