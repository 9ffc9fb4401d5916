'use strict';
// Online Users: every proxy's live client connections, asked for once a second while the page
// is shown; sortable by any column (click its header), filtered by user, address or
// destination; "Disconnect" cuts one connection, "Disconnect user" every connection of the
// row's user (guests have no user to name).
(function () {
  const { el, api, messageBox, formatBytes, whileShown } = window.Tarnwick;
  const GUEST = '(guest)';
  const perSecond = (v) => formatBytes(v) + '/s';
  const pad = (n) => String(n).padStart(2, '0');

  // The start time as hh:mm:ss today, or with its date before that.
  function sinceText(ms) {
    const d = new Date(ms), now = new Date();
    const time = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
    if (d.toDateString() === now.toDateString()) return time;
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${time}`;
  }

  // The columns: header, the cell's text, and the value sorted by.
  const columns = [
    { title: 'Proxy', text: (c) => c.proxyName, key: (c) => c.proxy },
    { title: 'Client', text: (c) => c.client, key: (c) => c.client },
    { title: 'User', text: (c) => c.user || GUEST, key: (c) => c.user.toLowerCase() },
    { title: 'Destination', text: (c) => c.destination, key: (c) => c.destination.toLowerCase() },
    { title: 'Since', text: (c) => sinceText(c.since), key: (c) => c.since },
    { title: 'Up', text: (c) => formatBytes(c.up), key: (c) => c.up },
    { title: 'Down', text: (c) => formatBytes(c.down), key: (c) => c.down },
    { title: 'Rate up', text: (c) => perSecond(c.rateUp), key: (c) => c.rateUp },
    { title: 'Rate down', text: (c) => perSecond(c.rateDown), key: (c) => c.rateDown },
  ];

  function compare(a, b) {
    if (typeof a === 'number') return a - b;
    return a.localeCompare(b, 'en', { numeric: true });
  }

  window.Tarnwick.registerPage('online-users', {
    render(container) {
      let connections = [];
      let sortBy = 4;    // Since, oldest first
      let ascending = true;
      const rows = new Map();  // "proxy:id" -> <tr>

      const filter = el('input', { type: 'search', id: 'online-filter', placeholder: 'user, address or destination',
        oninput: () => show() });
      const count = el('span', { className: 'note', role: 'status' });
      const headers = columns.map((column, i) => el('th', { scope: 'col' },
        el('button', { type: 'button', className: 'sort', onclick: () => sort(i) }, column.title)));
      const tbody = el('tbody');
      const table = el('table', { className: 'list online-list', 'aria-label': 'Online Users' },
        el('thead', {}, el('tr', {}, headers, el('th', { scope: 'col' }, 'Actions'))), tbody);
      const empty = el('p', { className: 'empty-state', role: 'status' });

      function sort(i) {
        ascending = sortBy === i ? !ascending : true;
        sortBy = i;
        show();
      }

      async function disconnect(c) {
        try {
          await api.post('/api/online/disconnect', { proxy: c.proxy, id: c.id });
        } catch (e) {
          await messageBox(e.message);
        }
        await refresh();
      }

      async function disconnectUser(user) {
        const answer = await messageBox(`Disconnect every connection of ${user}?`,
          { icon: 'question', buttons: ['Yes', 'No'] });
        if (answer !== 'Yes') return;
        try {
          await api.post('/api/online/disconnect-user', { user });
        } catch (e) {
          await messageBox(e.message);
        }
        await refresh();
      }

      // A row's element, made once per connection and updated in place, so a button keeps the
      // focus across the updates. A connection may log in after it appeared (or, on a kept-alive
      // HTTP client, change user): Disconnect user follows its user.
      function rowOf(c) {
        const key = c.proxy + ':' + c.id;
        let tr = rows.get(key);
        if (!tr) {
          const userButton = el('button', { type: 'button', className: 'push',
            onclick: () => disconnectUser(tr.connection.user) }, 'Disconnect user');
          tr = el('tr', { 'data-key': key },
            columns.map(() => el('td')),
            el('td', { className: 'actions' },
              el('button', { type: 'button', className: 'push', onclick: () => disconnect(tr.connection) }, 'Disconnect'),
              userButton));
          tr.userButton = userButton;
          rows.set(key, tr);
        }
        tr.connection = c;
        tr.userButton.hidden = !c.user;
        columns.forEach((column, i) => {
          const text = column.text(c);
          const td = tr.children[i];
          if (td.textContent !== text) { td.textContent = text; td.title = text; }
        });
        return tr;
      }

      function matches(c, words) {
        const haystack = [c.user || GUEST, c.client, c.destination].join(' ').toLowerCase();
        return words.every((w) => haystack.includes(w));
      }

      function show() {
        headers.forEach((th, i) => th.setAttribute('aria-sort', i === sortBy ? (ascending ? 'ascending' : 'descending') : 'none'));
        const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
        const key = columns[sortBy].key;
        const shown = connections.filter((c) => matches(c, words))
          .sort((a, b) => (ascending ? 1 : -1) * compare(key(a), key(b)) || a.id - b.id);
        const live = new Set(connections.map((c) => c.proxy + ':' + c.id));
        for (const k of rows.keys()) if (!live.has(k)) rows.delete(k);
        const wanted = shown.map(rowOf);
        // Moving rows would take the focus from a button: only when the order changed.
        if (wanted.length !== tbody.children.length || wanted.some((tr, i) => tbody.children[i] !== tr)) {
          tbody.replaceChildren(...wanted);
        }
        const n = connections.length;
        count.textContent = n === 1 ? '1 connection' : `${n} connections`;
        empty.textContent = n === 0 ? 'No one is connected.'
          : shown.length === 0 ? 'No connection matches the filter.' : '';
        table.hidden = shown.length === 0;
      }

      async function refresh() {
        connections = (await api.get('/api/online')).connections;
        show();
      }

      container.append(
        el('div', { className: 'row' }, el('label', { for: 'online-filter' }, 'Filter:'), filter, count),
        el('div', { className: 'table-wrap' }, table, empty));
      whileShown(container, 1000, refresh);
    },
  });
})();
