'use strict';
// Server Logs: the proxies' throughput over the last five minutes (a chart and the figures of
// the last second, asked for once a second), and the activity list with live rows, Copy and
// Clear All (buttons, and the list's context menu).
(function () {
  const { el, api, messageBox, logs, formatBytes, whileShown } = window.Tarnwick;
  const { svg, frame, legend } = window.Tarnwick.chart;
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

  const perSecond = (v) => formatBytes(v) + '/s';
  const CHART_W = 760, CHART_H = 210, RIGHT = 12;

  // One line per proxy and direction (down solid, up dashed) for the proxies that moved
  // anything; the newest second at the right edge.
  function throughputChart(reply) {
    const seconds = reply.seconds;
    const busy = reply.proxies.filter((p) => p.up.some((v) => v > 0) || p.down.some((v) => v > 0));
    const f = frame({ width: CHART_W, height: CHART_H, left: 78, right: RIGHT, top: 28, bottom: 40,
      max: Math.max(1, ...busy.flatMap((p) => [...p.up, ...p.down])), format: perSecond });
    const { g, y } = f;
    const x = (ago) => f.left + (f.plotW * (seconds - 1 - ago)) / (seconds - 1);
    for (let minute = 0; minute <= 5; minute++) {
      const ago = Math.min(seconds - 1, minute * 60);
      g.append(svg('text', { x: x(ago), y: f.top + f.plotH + 16, 'text-anchor': 'middle' },
        minute === 0 ? 'now' : `-${minute} min`));
    }
    for (const p of busy) {
      for (const direction of ['down', 'up']) {
        const values = p[direction];
        const points = values.map((v, i) => `${x(values.length - 1 - i).toFixed(1)},${y(v).toFixed(1)}`);
        g.append(svg('polyline', { points: points.join(' '), class: `tp tp-${p.proxy} ${direction}` },
          svg('title', {}, `${p.name} ${direction}`)));
      }
    }
    if (!busy.length) {
      g.append(svg('text', { x: f.left + f.plotW / 2, y: f.top + f.plotH / 2, 'text-anchor': 'middle', class: 'chart-empty' },
        'No bytes relayed in the last 5 minutes'));
    }
    f.finish('Time', 'Bytes per second');
    legend(g, CHART_W - RIGHT, 17, [
      ...reply.proxies.map((p) => ({ label: p.name, className: `tp tp-${p.proxy}`, mark: 'line' })),
      { label: 'Down', className: 'tp key down', mark: 'line' },
      { label: 'Up', className: 'tp key up', mark: 'line' }]);
    return f.element('Throughput per proxy, last 5 minutes');
  }

  // The last second of each proxy, as figures.
  function nowTable(reply) {
    const last = (values) => (values.length ? values[values.length - 1] : 0);
    return el('table', { className: 'list throughput-now', 'aria-label': 'Throughput now' },
      el('thead', {}, el('tr', {}, ['Proxy', 'Down', 'Up', 'Connections'].map((c) => el('th', { scope: 'col' }, c)))),
      el('tbody', {}, reply.proxies.map((p) => el('tr', {},
        el('td', {}, p.name), el('td', {}, perSecond(last(p.down))), el('td', {}, perSecond(last(p.up))),
        el('td', {}, String(p.live))))));
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
      const throughput = el('div', { className: 'throughput' });
      container.append(
        el('section', { className: 'throughput-area', 'aria-label': 'Throughput' },
          el('h2', { className: 'section-title' }, 'Throughput, last 5 minutes'), throughput),
        el('div', { className: 'row' },
          el('button', { type: 'button', className: 'push', onclick: copy }, 'Copy'),
          el('button', { type: 'button', className: 'push', onclick: clearAll }, 'Clear All')),
        wrap,
        el('p', { className: 'note', id: 'logs-note' }));
      fill();
      wrap.scrollTop = wrap.scrollHeight;
      whileShown(container, 1000, async () => {
        const reply = await api.get('/api/throughput');
        throughput.replaceChildren(throughputChart(reply), nowTable(reply));
      });
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
