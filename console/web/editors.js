'use strict';
// The Web Filter and Schedule editors (with the Time dialog and the filter file chooser), as
// modal dialogs that any page opens: Tarnwick.openWebFilterEditor() and
// Tarnwick.openScheduleEditor() resolve true when the editor is closed with OK, false with
// Cancel. Each shows one record at a time, chosen from the list of names in id order; the
// console checks and writes everything (names, times, the file's folder).
(function () {
  const { el, api, messageBox } = window.Tarnwick;
  let uid = 0;
  const nextId = (prefix) => prefix + '-' + (++uid);
  const RESTART_NOTE = 'The proxies use these changes from their next start in this console ' +
    '(Start Servers, or Start on the Proxy Servers page).';

  function field(label, input, ...extra) {
    return el('div', { className: 'field' }, el('label', { for: input.id }, label),
      extra.length ? el('div', { className: 'row' }, input, ...extra) : input);
  }
  function check(label, input) {
    return el('div', { className: 'check' }, input, el('label', { for: input.id }, label));
  }
  function push(label, onclick, attrs) {
    return el('button', Object.assign({ type: 'button', className: 'push', onclick }, attrs || {}), label);
  }

  // A modal dialog; build(close) gives its body and buttons. Resolves with what close() gets.
  function modal(caption, className, build) {
    return new Promise((resolve) => {
      const captionId = nextId('dlg');
      const dialog = el('dialog', { 'aria-labelledby': captionId, className });
      let done = false;
      function close(value) {
        if (done) return;
        done = true;
        dialog.close();
        dialog.remove();
        resolve(value);
      }
      const { body, buttons, focus, onCancel } = build(close);
      dialog.append(el('h2', { className: 'dialog-caption', id: captionId }, caption),
        el('div', { className: 'dialog-form' }, body), el('div', { className: 'dialog-buttons' }, buttons));
      dialog.addEventListener('cancel', (e) => { e.preventDefault(); (onCancel || (() => close(false)))(); });
      document.body.append(dialog);
      dialog.showModal();
      if (focus) focus.focus();
    });
  }

  // ---- the Time dialog ----

  let timeChoices = null;
  async function timeDialog() {
    if (!timeChoices) timeChoices = (await api.get('/api/schedules/times')).times;
    return modal('Time', 'time-dialog', (close) => {
      const list = (id, chosen) => el('select', { id },
        timeChoices.map((t) => el('option', { value: t, selected: t === chosen || null }, t)));
      const start = list(nextId('time-start'), '00:00');
      const end = list(nextId('time-end'), '24:00');
      return {
        body: [field('Start time:', start), field('End time:', end)],
        buttons: [push('OK', () => close({ start: start.value, end: end.value })), push('Cancel', () => close(null))],
        focus: start,
        onCancel: () => close(null),
      };
    });
  }

  // ---- the filter file chooser ----

  // Lists the data directory and the home directory and the folders below them; resolves
  // with the chosen file's path, or '' on Cancel.
  function chooseFile() {
    return modal('Open', 'file-dialog', (close) => {
      const lookIn = el('p', { className: 'note', role: 'status' });
      const listId = nextId('files');
      const list = el('select', { id: listId, size: '12', className: 'file-list' });
      const type = el('select', { id: nextId('file-type') },
        el('option', { value: 'txt' }, 'Text Files(*.txt)'), el('option', { value: 'all' }, 'All Files'));
      const up = push('Up', () => show(parent));
      let parent = '';
      let current = '';
      let entries = [];
      async function show(folder) {
        try {
          const reply = await api.get('/api/web-filters/files?folder=' + encodeURIComponent(folder) + '&type=' + type.value);
          current = reply.folder;
          parent = reply.parent;
          entries = reply.entries;
          lookIn.textContent = 'Look in: ' + (current || 'the data directory and your home directory') +
            (reply.truncated ? ' (only the first entries are shown)' : '');
          list.replaceChildren(...entries.map((e, i) => el('option', { value: String(i) }, e.name + (e.folder ? '/' : ''))));
          up.disabled = !current;
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      }
      function open() {
        const entry = entries[Number(list.value)];
        if (!entry) return;
        if (entry.folder) show(entry.path);
        else close(entry.path);
      }
      list.addEventListener('dblclick', open);
      list.addEventListener('keydown', (e) => { if (e.key === 'Enter') { e.preventDefault(); open(); } });
      type.addEventListener('change', () => show(current));
      show('');
      return {
        body: [lookIn, el('label', { for: listId }, 'Files:'), list, field('Files of type:', type)],
        buttons: [up, push('Open', open), push('Cancel', () => close(''))],
        focus: list,
        onCancel: () => close(''),
      };
    });
  }

  // ---- the editor frame both editors share ----

  // kind: { caption, base, nameLabel, newName, what, build(controls) -> {body, show(values),
  // read(), clear(), changed} }. The frame keeps the list, the shown record and new-record
  // mode, and runs New, Delete, Save, OK and Cancel.
  function openEditor(kind) {
    return modal(kind.caption, 'rule-editor', (close) => {
      const listId = nextId('names');
      const names = el('select', { id: listId, size: '6', className: 'rule-names' });
      const nameEdit = el('input', { type: 'text', id: nextId('name'), maxlength: '64' });
      const overLimit = el('p', { className: 'note warn', role: 'status' });
      const form = kind.build();
      let entries = [];
      let shownId = 0;     // the record shown; 0: none (new, or after a delete)
      let dirty = false;
      // Counts record loads and New/Delete: a record that arrives after the user has moved
      // on (New pressed while the saved entry was still loading) must not replace the form.
      let shownSeq = 0;
      const markDirty = () => { dirty = true; };
      nameEdit.addEventListener('input', markDirty);
      form.body.addEventListener('input', markDirty);
      form.body.addEventListener('change', markDirty);

      function fillList(reply) {
        entries = reply.entries;
        overLimit.textContent = reply.note || '';
        names.replaceChildren(...entries.map((e) => el('option', { value: String(e.id), selected: e.id === shownId || null }, e.name)));
      }
      async function select(id) {
        const seq = ++shownSeq;
        try {
          const reply = await api.get(kind.base + '/record?id=' + id);
          if (seq !== shownSeq) return;
          shownId = id;
          nameEdit.value = reply.values.name;
          form.show(reply.values);
          names.value = String(id);
          dirty = false;
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      }
      function clearControls() {
        ++shownSeq;
        shownId = 0;
        names.value = '';
        nameEdit.value = '';
        form.clear();
        dirty = false;
      }
      function newRecord() {
        clearControls();
        nameEdit.value = kind.newName;
        nameEdit.focus();
        nameEdit.select();
      }
      // Saves the shown record (a new one when none is shown); true when it was written.
      async function save() {
        try {
          const values = Object.assign(form.read(), { name: nameEdit.value });
          const reply = await api.post(kind.base + '/save', { id: shownId, values });
          if (!reply.result.ok) {
            await messageBox(reply.result.message, reply.result.error ? { icon: 'error' } : { caption: '', icon: 'info' });
            nameEdit.focus();
            nameEdit.select();
            return false;
          }
          shownId = reply.id;
          fillList(reply);
          await select(shownId);
          return true;
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
          return false;
        }
      }
      async function remove() {
        if (!shownId) return;
        try {
          let reply = await api.post(kind.base + '/delete', { id: shownId });
          if (reply.question) {
            const answer = await messageBox(reply.question, { icon: 'question', buttons: ['Yes', 'No'] });
            if (answer !== 'Yes') return;
            reply = await api.post(kind.base + '/delete', { id: shownId, confirmed: true });
          }
          if (!reply.result.ok) {
            await messageBox(reply.result.message, { icon: 'error' });
            return;
          }
          clearControls();
          fillList(reply);
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      }
      names.addEventListener('change', () => { if (names.value) select(Number(names.value)); });

      (async () => {
        try {
          fillList(await api.get(kind.base));
          if (entries.length) await select(entries[0].id);
          else clearControls();
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      })();
      return {
        body: [
          el('div', { className: 'rule-top' },
            el('div', { className: 'field' }, el('label', { for: listId }, kind.listLabel), names),
            el('div', {}, field(kind.nameLabel, nameEdit),
              el('div', { className: 'row' }, push('New', newRecord), push('Delete', remove), push('Save', save)))),
          form.body,
          overLimit,
          el('p', { className: 'note' }, RESTART_NOTE),
        ],
        buttons: [
          // OK keeps what was typed: unsaved changes are saved first, and a refusal keeps
          // the editor open.
          push('OK', async () => { if (!dirty || await save()) close(true); }),
          push('Cancel', () => close(false)),
        ],
        focus: names,
      };
    });
  }

  // ---- the Web Filter editor ----

  function webFilterForm() {
    const radioName = nextId('sites');
    const forbidden = el('input', { type: 'radio', name: radioName, id: nextId('forbidden'), checked: true });
    const permitted = el('input', { type: 'radio', name: radioName, id: nextId('permitted') });
    const sites = el('textarea', { id: nextId('sitelist'), maxlength: '1024', rows: '4', className: 'site-list' });
    const useFile = el('input', { type: 'checkbox', id: nextId('usefile') });
    const path = el('input', { type: 'text', id: nextId('filepath'), maxlength: '255' });
    const browse = push('...', async () => {
      const chosen = await chooseFile();
      if (chosen) {
        path.value = chosen;
        path.dispatchEvent(new Event('input', { bubbles: true }));
      }
    }, { 'aria-label': 'Choose the filter file', title: 'Choose the filter file' });
    function enable() {
      path.disabled = !useFile.checked;
      browse.disabled = !useFile.checked;
      sites.disabled = useFile.checked;
    }
    useFile.addEventListener('change', enable);
    const body = el('div', { className: 'rule-form' },
      el('fieldset', {}, el('legend', {}, 'Sites'), check('Forbidden sites', forbidden), check('Permitted sites', permitted)),
      field('Site list:', sites),
      check('Use a filter file', useFile),
      field('Filter file:', path, browse),
      el('p', { className: 'note' }, 'Sites may use the wildcards * and ?, and are separated by semicolons (;), ' +
        'for example *.example.com;intranet*'));
    enable();
    return {
      body,
      show(v) {
        forbidden.checked = v.forbidden;
        permitted.checked = !v.forbidden;
        useFile.checked = v.useFile;
        sites.value = v.webaddresses;
        path.value = v.filepath;
        enable();
      },
      clear() { this.show({ forbidden: true, useFile: false, webaddresses: '', filepath: '' }); },
      read: () => ({ forbidden: forbidden.checked, useFile: useFile.checked, webaddresses: sites.value, filepath: path.value }),
    };
  }

  // ---- the Schedule editor ----

  const DAYS = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'];
  const PROXIES = ['HTTP', 'FTP', 'POP3', 'SMTP', 'SOCKS'];

  function scheduleForm() {
    const days = DAYS.map((day) => el('input', { type: 'text', id: nextId('day-' + day), maxlength: '128', className: 'day-text' }));
    const boxes = PROXIES.map((p) => el('input', { type: 'checkbox', id: nextId('proxy-' + p), checked: true }));
    const rows = DAYS.map((day, i) => field(day + ':', days[i], push('...', async () => {
      const range = await timeDialog();
      if (!range) return;
      try {
        const reply = await api.post('/api/schedules/add-range', { day: days[i].value, start: range.start, end: range.end });
        days[i].value = reply.day;
        days[i].dispatchEvent(new Event('input', { bubbles: true }));
      } catch (e) {
        await messageBox(e.message, { icon: 'error' });
      }
    }, { 'aria-label': 'Times for ' + day, title: 'Times for ' + day })));
    const body = el('div', { className: 'rule-form' },
      el('div', { className: 'day-grid' }, rows),
      el('p', { className: 'note' }, 'Times are written 08:00-17:00; several are joined by "+". An empty day allows the whole day.'),
      el('fieldset', {}, el('legend', {}, 'Applies to logins on'),
        el('div', { className: 'row' }, PROXIES.map((p, i) => check(p, boxes[i])))));
    return {
      body,
      show(v) {
        v.days.forEach((text, i) => { days[i].value = text; });
        v.proxies.forEach((on, i) => { boxes[i].checked = on; });
      },
      // A new schedule applies to all five proxies.
      clear() { this.show({ days: DAYS.map(() => ''), proxies: PROXIES.map(() => true) }); },
      read: () => ({ days: days.map((d) => d.value), proxies: boxes.map((b) => b.checked) }),
    };
  }

  window.Tarnwick.openWebFilterEditor = () => openEditor({
    caption: 'Web Filter', base: '/api/web-filters', listLabel: 'Web filters:', nameLabel: 'Filter Name:',
    newName: 'New web filter', build: webFilterForm,
  });
  window.Tarnwick.openScheduleEditor = () => openEditor({
    caption: 'Schedule', base: '/api/schedules', listLabel: 'Schedules:', nameLabel: 'Name:',
    newName: 'New schedule', build: scheduleForm,
  });
})();
