'use strict';
// The console's layout: menu, toolbar, navigation list, status line, message boxes, the API
// helper and the live event stream. Pages live in pages/<id>.js and register themselves with
// Tarnwick.registerPage. Every text from the console is put into the page as text
// (textContent), never as markup.
(function () {
  const CAPTION = 'Tarnwick Proxy Server';
  const pages = new Map();       // id -> {render, onStatus, onLogs}
  let pageList = [];             // [{id, title, navigation, script}]
  let currentId = null;
  let csrf = '';
  let status = null;
  const seenNotices = new Set();
  const logs = { rows: [], lastSeq: 0, cleared: null, limit: 10000 };
  let ended = false;

  // Builds an element; attributes as an object, children as nodes or texts (set as text).
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attrs || {})) {
      if (value === false || value === null || value === undefined) continue;
      if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
      else if (name === 'text') node.textContent = value;
      else if (name === 'className') node.className = value;
      else node.setAttribute(name, value === true ? '' : String(value));
    }
    for (const child of children.flat()) {
      if (child === null || child === undefined || child === false) continue;
      node.append(typeof child === 'string' ? document.createTextNode(child) : child);
    }
    return node;
  }

  async function call(method, path, body) {
    const init = { method, headers: {}, credentials: 'same-origin' };
    if (method !== 'GET') {
      init.headers['Content-Type'] = 'application/json';
      init.headers['X-CSRF-Token'] = csrf;
      init.body = JSON.stringify(body || {});
    }
    const response = await fetch(path, init);
    const type = response.headers.get('Content-Type') || '';
    const data = type.startsWith('application/json') ? await response.json() : await response.text();
    if (!response.ok) {
      const text = typeof data === 'string' ? data : (data.error || response.statusText);
      throw new Error(text);
    }
    return data;
  }
  const api = {
    get: (path) => call('GET', path),
    post: (path, body) => call('POST', path, body),
  };

  // A modal message box. buttons: labels; resolves with the label chosen (Escape: the last).
  function messageBox(text, options) {
    const opts = Object.assign({ caption: CAPTION, icon: 'info', buttons: ['OK'] }, options || {});
    return new Promise((resolve) => {
      const captionId = 'dlg-' + Math.random().toString(36).slice(2);
      const dialog = el('dialog', { 'aria-labelledby': captionId, 'aria-describedby': captionId + '-text' });
      const iconText = { error: '×', question: '?', info: 'i' }[opts.icon] || 'i';
      const buttons = opts.buttons.map((label) =>
        el('button', { type: 'button', className: 'push', onclick: () => finish(label) }, label));
      dialog.append(
        el('h2', { className: 'dialog-caption', id: captionId }, opts.caption),
        el('div', { className: 'dialog-body' },
          el('span', { className: 'dialog-icon ' + opts.icon, 'aria-hidden': 'true' }, iconText),
          typeof text === 'string' ? el('p', { id: captionId + '-text' }, text) : el('div', { id: captionId + '-text' }, text)),
        el('div', { className: 'dialog-buttons' }, buttons));
      let done = false;
      function finish(label) {
        if (done) return;
        done = true;
        dialog.close();
        dialog.remove();
        resolve(label);
      }
      dialog.addEventListener('cancel', (e) => { e.preventDefault(); finish(opts.buttons[opts.buttons.length - 1]); });
      document.body.append(dialog);
      dialog.showModal();
      buttons[0].focus();
    });
  }

  // Runs fn now, and again `ms` after each run ends, for as long as `container` (a page's body,
  // which navigation replaces) is in the document. A run that throws does not stop the next.
  function whileShown(container, ms, fn) {
    async function run() {
      if (!container.isConnected || ended) return;
      try { await fn(); } catch (e) { /* the next run tries again */ }
      setTimeout(run, ms);
    }
    run();
  }

  let uid = 0;
  function nextId(prefix) { return prefix + '-' + (++uid); }

  // A byte count in human units: "0 B", "812 B", "12.3 MB" (powers of 1000).
  function formatBytes(n) {
    const units = ['B', 'kB', 'MB', 'GB', 'TB', 'PB', 'EB'];
    let value = Number(n) || 0;
    let unit = 0;
    while (value >= 1000 && unit < units.length - 1) { value /= 1000; unit++; }
    return (unit === 0 ? String(value) : value.toFixed(value < 100 ? 1 : 0)) + ' ' + units[unit];
  }

  // A tab list and its panels for [{title, panel}]; show(i) selects a tab. The arrow keys,
  // Home and End move between the tabs.
  function tabSet(label, tabs) {
    const tabList = el('div', { role: 'tablist', 'aria-label': label, className: 'tabs' });
    const panels = el('div', { className: 'tab-panels' });
    const buttons = tabs.map((t, i) => {
      const tabId = nextId('tab');
      const panelId = nextId('panel');
      panels.append(el('div', { role: 'tabpanel', id: panelId, 'aria-labelledby': tabId, className: 'tab-panel' }, t.panel));
      return el('button', { type: 'button', role: 'tab', id: tabId, 'aria-controls': panelId, onclick: () => show(i) }, t.title);
    });
    tabList.append(...buttons);
    function show(i) {
      buttons.forEach((b, j) => {
        b.setAttribute('aria-selected', String(i === j));
        b.tabIndex = i === j ? 0 : -1;
        panels.children[j].hidden = i !== j;
      });
    }
    tabList.addEventListener('keydown', (e) => {
      const i = buttons.indexOf(document.activeElement);
      if (i < 0) return;
      let next = i;
      if (e.key === 'ArrowRight') next = (i + 1) % buttons.length;
      else if (e.key === 'ArrowLeft') next = (i - 1 + buttons.length) % buttons.length;
      else if (e.key === 'Home') next = 0;
      else if (e.key === 'End') next = buttons.length - 1;
      else return;
      e.preventDefault();
      show(next);
      buttons[next].focus();
    });
    show(0);
    return { tabList, panels, buttons, show };
  }

  // A context menu at the mouse event e with [{label, action}]; Escape gives the focus back to
  // `owner`, a click anywhere closes it.
  function contextMenu(e, label, items, owner) {
    e.preventDefault();
    const menu = el('div', { className: 'menu-list context-menu', role: 'menu', 'aria-label': label },
      items.map((item) => el('button', { type: 'button', role: 'menuitem',
        onclick: () => { close(); item.action(); } }, item.label)));
    menu.style.left = e.clientX + 'px';
    menu.style.top = e.clientY + 'px';
    function close() { menu.remove(); document.removeEventListener('click', close); }
    menu.addEventListener('keydown', (k) => { if (k.key === 'Escape') { close(); owner.focus(); } });
    document.body.append(menu);
    menu.querySelector('button').focus();
    setTimeout(() => document.addEventListener('click', close), 0);
  }

  async function showMessages(messages) {
    for (const m of messages || []) {
      await messageBox(m.text, { icon: m.error ? 'error' : 'info' });
    }
  }

  // Runs a command that may raise message boxes and returns the new status.
  async function command(path) {
    try {
      const reply = await api.post(path);
      if (reply.status) applyStatus(reply.status);
      await showMessages(reply.messages);
      return reply;
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
      return null;
    }
  }

  const commands = {
    start: () => command('/api/servers/start'),
    stop: () => command('/api/servers/stop'),
    exit: async () => {
      const answer = await messageBox('Do you really want to exit?', { icon: 'question', buttons: ['Yes', 'No'] });
      if (answer !== 'Yes') return;
      await command('/api/exit');
      ended = true;
      if (events) events.close();
      document.body.replaceChildren(el('p', { className: 'ended', role: 'status' },
        'Tarnwick Proxy Server has ended. You may close this tab.'));
    },
    help: () => selectPage('help'),
    api: () => selectPage('api'),
    about: () => messageBox('Tarnwick Proxy Server Version 2.2', { caption: 'About Tarnwick Proxy Server' }),
  };

  function applyStatus(next) {
    status = next;
    document.getElementById('status-text').textContent = next.statusText;
    for (const button of document.querySelectorAll('[data-command="start"]')) button.disabled = !next.startEnabled;
    for (const button of document.querySelectorAll('[data-command="stop"]')) button.disabled = !next.stopEnabled;
    logs.limit = next.logRows;
    if (logs.cleared !== null && logs.cleared !== next.logsCleared) {
      logs.rows = [];
      notifyPage('onLogs', { cleared: true });
    }
    logs.cleared = next.logsCleared;
    notifyPage('onStatus', next);
    for (const notice of next.notices) {
      if (seenNotices.has(notice.id)) continue;
      seenNotices.add(notice.id);
      messageBox(notice.text, { icon: notice.error ? 'error' : 'info' })
        .then(() => api.post('/api/notices/dismiss', { id: notice.id }).catch(() => {}));
    }
  }

  function addLogRows(rows) {
    if (rows.length === 0) return;
    const fresh = rows.filter((r) => r.seq > logs.lastSeq);
    logs.rows.push(...fresh);
    if (fresh.length) logs.lastSeq = fresh[fresh.length - 1].seq;
    const excess = logs.rows.length - logs.limit;
    if (excess > 0) logs.rows.splice(0, excess);
    notifyPage('onLogs', { added: fresh });
  }

  function notifyPage(handler, value) {
    const page = pages.get(currentId);
    if (page && page[handler]) page[handler](value);
  }

  let events = null;
  function openEvents() {
    events = new EventSource('/api/events?after=' + logs.lastSeq);
    events.addEventListener('status', (e) => applyStatus(JSON.parse(e.data)));
    events.addEventListener('logs', (e) => addLogRows(JSON.parse(e.data).rows));
    events.addEventListener('error', () => {
      // The browser reconnects by itself; start again from the last row seen.
      if (ended) return;
      events.close();
      setTimeout(openEvents, 2000);
    });
  }

  // Menus: open with a click or Enter, close with Escape or a click elsewhere.
  function setUpMenus() {
    for (const menu of document.querySelectorAll('.menu')) {
      const button = menu.querySelector('.menu-button');
      const list = menu.querySelector('.menu-list');
      const close = () => { list.hidden = true; button.setAttribute('aria-expanded', 'false'); };
      button.addEventListener('click', () => {
        const open = list.hidden;
        for (const other of document.querySelectorAll('.menu-list')) other.hidden = true;
        list.hidden = !open;
        button.setAttribute('aria-expanded', String(open));
        if (open) {
          const first = list.querySelector('button:not(:disabled)');
          if (first) first.focus();
        }
      });
      list.addEventListener('keydown', (e) => {
        const items = [...list.querySelectorAll('button:not(:disabled)')];
        const i = items.indexOf(document.activeElement);
        if (e.key === 'Escape') { close(); button.focus(); }
        else if (e.key === 'ArrowDown' && items.length) { items[(i + 1) % items.length].focus(); e.preventDefault(); }
        else if (e.key === 'ArrowUp' && items.length) { items[(i - 1 + items.length) % items.length].focus(); e.preventDefault(); }
      });
      list.addEventListener('click', () => close());
      document.addEventListener('click', (e) => { if (!menu.contains(e.target)) close(); });
    }
    for (const button of document.querySelectorAll('[data-command]')) {
      button.addEventListener('click', () => commands[button.dataset.command]());
    }
  }

  // The navigation list: click, or the keys Up, Down, Home/Page Up, End/Page Down.
  function buildNavigation() {
    const nav = document.getElementById('nav');
    for (const page of pageList.filter((p) => p.navigation)) {
      nav.append(el('li', { role: 'option', id: 'nav-' + page.id, 'aria-selected': 'false',
        onclick: () => selectPage(page.id) },
      el('span', { className: 'nav-icon', 'aria-hidden': 'true' }), page.title));
    }
    nav.addEventListener('keydown', (e) => {
      const items = pageList.filter((p) => p.navigation);
      let i = items.findIndex((p) => p.id === currentId);
      if (e.key === 'Home' || e.key === 'PageUp') i = 0;
      else if (e.key === 'End' || e.key === 'PageDown') i = items.length - 1;
      else if (e.key === 'ArrowUp') i = Math.max(0, i - 1);
      else if (e.key === 'ArrowDown') i = Math.min(items.length - 1, i + 1);
      else return;
      e.preventDefault();
      selectPage(items[i].id);
    });
  }

  function selectPage(id) {
    const info = pageList.find((p) => p.id === id) || pageList[0];
    currentId = info.id;
    const nav = document.getElementById('nav');
    nav.removeAttribute('aria-activedescendant');
    for (const item of nav.children) {
      const selected = item.id === 'nav-' + info.id;
      item.setAttribute('aria-selected', String(selected));
      if (selected) nav.setAttribute('aria-activedescendant', item.id);
    }
    document.getElementById('page-title').textContent = info.title;
    document.title = info.title + ' - ' + CAPTION;
    if (location.hash !== '#' + info.id) history.replaceState(null, '', '#' + info.id);
    // A fresh element per visit: a page still loading after the user moved on sees that it
    // is no longer in the document.
    const container = el('div', { className: 'page-body' });
    document.getElementById('page').replaceChildren(container);
    const page = pages.get(info.id);
    if (page) {
      page.render(container);
      if (status && page.onStatus) page.onStatus(status);
    } else {
      container.append(el('p', { className: 'placeholder' },
        'The ' + info.title + ' page is not available in this version of the console yet.'));
    }
  }

  function loadScript(src) {
    return new Promise((resolve) => {
      const script = el('script', { src });
      script.addEventListener('load', resolve);
      script.addEventListener('error', resolve);
      document.head.append(script);
    });
  }

  window.Tarnwick = {
    el, api, messageBox, showMessages, logs, selectPage, tabSet, contextMenu, nextId, formatBytes, whileShown,
    status: () => status,
    registerPage(id, page) { pages.set(id, page); },
  };

  document.addEventListener('DOMContentLoaded', async () => {
    setUpMenus();
    try {
      csrf = (await api.get('/api/session')).csrf;
      const reply = await api.get('/api/pages');
      pageList = reply.pages;
      await Promise.all(pageList.filter((p) => p.script).map((p) => loadScript('/pages/' + p.id + '.js')));
      buildNavigation();
      applyStatus(await api.get('/api/status'));
      const wanted = location.hash.slice(1);
      selectPage(pageList.some((p) => p.id === wanted) ? wanted : reply.start);
      if (status.startFailed && !wanted) selectPage(reply.start);
      openEvents();
    } catch (e) {
      document.getElementById('page').replaceChildren(el('p', { role: 'alert' }, e.message));
    }
  });
})();
