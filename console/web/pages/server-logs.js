'use strict';
// Server Logs: the activity list with live rows, Copy and Clear All (buttons, and the
// list's context menu).
(function () {
  const { el, api, messageBox, logs } = window.Tarnwick;
  let tbody = null;
  let table = null;
  let selectedSeq = 0;

  function rowNode(row) {
    const tr = el('tr', { 'data-seq': row.seq, 'aria-selected': String(row.seq === selectedSeq),
      onclick: () => select(row.seq) },
    el('td', {}, row.user), el('td', {}, row.address), el('td', {}, row.time), el('td', { title: row.message }, row.message));
    return tr;
  }

  function select(seq) {
    selectedSeq = seq;
    for (const tr of tbody.children) tr.setAttribute('aria-selected', String(Number(tr.dataset.seq) === seq));
  }

  async function copy() {
    if (!selectedSeq) {
      await messageBox('Select a row first.');
      return;
    }
    try {
      const text = await api.get('/api/logs/copy?seq=' + selectedSeq);
      await writeClipboard(text);
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  // The clipboard API needs a secure context (loopback is one); elsewhere the older way.
  async function writeClipboard(text) {
    if (navigator.clipboard && window.isSecureContext) {
      try { await navigator.clipboard.writeText(text); return; } catch (e) { /* fall back */ }
    }
    const area = el('textarea', { 'aria-hidden': 'true' });
    area.value = text;
    document.body.append(area);
    area.select();
    document.execCommand('copy');
    area.remove();
  }

  async function clearAll() {
    try { await api.post('/api/logs/clear'); } catch (e) { await messageBox(e.message, { icon: 'error' }); }
  }

  function contextMenu(e) {
    const tr = e.target.closest('tr[data-seq]');
    if (tr) select(Number(tr.dataset.seq));
    window.Tarnwick.contextMenu(e, 'Server Logs',
      [{ label: 'Copy', action: copy }, { label: 'Clear All', action: clearAll }], table);
  }

  function keys(e) {
    const rows = [...tbody.children];
    if (!rows.length) return;
    let i = rows.findIndex((tr) => Number(tr.dataset.seq) === selectedSeq);
    if (e.key === 'ArrowDown') i = Math.min(rows.length - 1, i + 1);
    else if (e.key === 'ArrowUp') i = Math.max(0, i - 1);
    else if (e.key === 'Home') i = 0;
    else if (e.key === 'End') i = rows.length - 1;
    else if (e.key === 'c' && (e.ctrlKey || e.metaKey)) { copy(); return; }
    else return;
    e.preventDefault();
    select(Number(rows[i].dataset.seq));
    rows[i].scrollIntoView({ block: 'nearest' });
  }

  function fill() {
    tbody.replaceChildren(...logs.rows.map(rowNode));
  }

  window.Tarnwick.registerPage('server-logs', {
    render(container) {
      tbody = el('tbody');
      table = el('table', { className: 'list', tabindex: '0', 'aria-label': 'Server Logs',
        onkeydown: keys, oncontextmenu: contextMenu },
      el('thead', {}, el('tr', {},
        el('th', { scope: 'col' }, 'UserName '), el('th', { scope: 'col' }, 'IP Address       '),
        el('th', { scope: 'col' }, 'Time'), el('th', { scope: 'col' }, 'Message'))),
      tbody);
      const wrap = el('div', { className: 'table-wrap' }, table);
      container.append(
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: copy }, 'Copy'),
          el('button', { type: 'button', className: 'push', onclick: clearAll }, 'Clear All')),
        wrap,
        el('p', { className: 'note', id: 'logs-note' }));
      fill();
      wrap.scrollTop = wrap.scrollHeight;
    },
    onStatus(status) {
      const note = document.getElementById('logs-note');
      if (note) {
        note.textContent = 'The list keeps the newest ' + status.logRows.toLocaleString('en') + ' rows (at most ' +
          status.logMegabytes + ' MB); older lines are in the daily log files (Options, "Save log to file").';
      }
    },
    onLogs(change) {
      if (!tbody) return;
      const wrap = tbody.closest('.table-wrap');
      const atEnd = wrap.scrollTop + wrap.clientHeight >= wrap.scrollHeight - 4;
      if (change.cleared) { selectedSeq = 0; fill(); return; }
      for (const row of change.added) tbody.append(rowNode(row));
      while (tbody.children.length > logs.rows.length) tbody.firstChild.remove();
      if (atEnd) wrap.scrollTop = wrap.scrollHeight;
    },
  });
})();
