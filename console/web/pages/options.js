'use strict';
// Options: the start-up and log check boxes, the login switches of the running HTTP and
// SOCKS proxies, the daily log files, the editors' buttons, the Server IP Address list and
// the Security group of option.ini.
(function () {
  const { el, api, messageBox } = window.Tarnwick;
  let uid = 0;

  function checkBox(label, box, checked) {
    const id = 'opt-' + box;
    const input = el('input', { type: 'checkbox', id, checked: checked || null,
      onchange: async () => {
        try {
          await api.post('/api/options/box', { box, on: input.checked });
        } catch (e) {
          input.checked = !input.checked;
          await messageBox(e.message, { icon: 'error' });
        }
      } });
    return el('div', { className: 'check' }, input, el('label', { for: id }, label));
  }

  async function showLogFiles() {
    try {
      const reply = await api.get('/api/options/logfiles');
      const list = reply.files.length
        ? el('ul', {}, reply.files.map((name) => el('li', {}, el('a', { href: '/logs/' + name, target: '_blank', rel: 'noopener' }, name))))
        : el('p', {}, 'There are no daily log files yet.');
      await messageBox(el('div', {}, el('p', {}, 'Daily log files in the folder "log" of the data directory:'), list),
        { caption: 'Daily log files' });
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  // Shows the boxes as the console now holds them (after Start or Install Service).
  async function refreshBoxes() {
    try {
      const reply = await api.get('/api/options');
      for (const [box, on] of Object.entries(reply.boxes)) {
        const input = document.getElementById('opt-' + box);
        if (input) input.checked = on;
      }
    } catch (e) {
      await messageBox(e.message, { icon: 'error' });
    }
  }

  // The Service dialog: each button runs kestrane, waits for it and shows its outcome.
  function serviceDialog() {
    const captionId = 'svc-caption-' + (++uid);
    const outcome = el('p', { className: 'service-outcome', role: 'status' });
    const dialog = el('dialog', { 'aria-labelledby': captionId });
    const actions = [['Install Service', 'install'], ['Uninstall Service', 'uninstall'],
      ['Start Service', 'start'], ['Stop Service', 'stop']];
    const buttons = actions.map(([label, action]) =>
      el('button', { type: 'button', className: 'push', onclick: () => run(label, action) }, label));
    const exit = el('button', { type: 'button', className: 'push', onclick: () => close() }, 'Exit');
    let busy = false;
    function close() {
      if (busy) return;
      dialog.close();
      dialog.remove();
    }
    async function run(label, action) {
      if (busy) return;
      busy = true;
      for (const b of [...buttons, exit]) b.disabled = true;
      outcome.className = 'service-outcome';
      outcome.textContent = label + ': waiting for kestrane...';
      try {
        const reply = await api.post('/api/service', { action });
        outcome.className = 'service-outcome' + (reply.ok ? '' : ' error');
        outcome.textContent = label + (reply.ok ? ' succeeded.' : ' failed' +
          (reply.exitCode >= 0 ? ' (exit code ' + reply.exitCode + ').' : '.')) + '\n' + reply.message;
        if (reply.optionsCleared) await refreshBoxes();
      } catch (e) {
        outcome.className = 'service-outcome error';
        outcome.textContent = label + ' failed.\n' + e.message;
      } finally {
        busy = false;
        for (const b of [...buttons, exit]) b.disabled = false;
      }
    }
    dialog.addEventListener('cancel', (e) => { e.preventDefault(); close(); });
    dialog.append(
      el('h2', { className: 'dialog-caption', id: captionId }, 'Service'),
      el('div', { className: 'dialog-form' },
        el('fieldset', {}, el('legend', {}, 'Tarnwick Proxy Service'),
          el('p', { className: 'service-text' },
            'You can run Tarnwick Proxy Server as a systemd service. The service keeps the proxies ' +
            'active even when no one is logged in, and starts them when the machine starts. ' +
            'Starting the service stops the proxies of this console first.'),
          el('div', { className: 'service-buttons' }, buttons)),
        outcome),
      el('div', { className: 'dialog-buttons' }, exit));
    document.body.append(dialog);
    dialog.showModal();
    buttons[0].focus();
  }

  function securityRow(row, feedback) {
    const id = 'sec-' + row.id;
    async function save(value) {
      try {
        await api.post('/api/options/security', { id: row.id, value });
        feedback.className = 'saved';
        feedback.textContent = 'Saved. The proxies use it from their next start.';
        return true;
      } catch (e) {
        feedback.className = 'saved error';
        feedback.textContent = e.message;
        return false;
      }
    }
    if (row.kind === 'switch') {
      const input = el('input', { type: 'checkbox', id, checked: row.value === '1' || null,
        onchange: async () => { if (!await save(input.checked ? '1' : '0')) input.checked = !input.checked; } });
      return el('div', { className: 'check' }, input, el('label', { for: id }, row.label));
    }
    const input = el('input', { type: row.kind === 'number' ? 'number' : 'text', id, value: row.value,
      min: row.kind === 'number' ? row.min : null, max: row.kind === 'number' ? row.max : null,
      onchange: () => save(input.value.trim()) });
    return el('div', { className: 'field' }, el('label', { for: id }, row.label), input);
  }

  window.Tarnwick.registerPage('options', {
    async render(container) {
      let options;
      try {
        options = await api.get('/api/options');
      } catch (e) {
        container.append(el('p', { role: 'alert' }, e.message));
        return;
      }
      if (!container.isConnected) return;
      const b = options.boxes;
      const feedback = el('p', { className: 'saved', role: 'status' });
      const addressesId = 'opt-addresses-' + (++uid);
      container.append(el('div', { className: 'options' },
        el('div', {},
          el('fieldset', {}, el('legend', {}, 'Start-up'),
            checkBox('Launch server at login', 'startup', b.startup),
            checkBox('Start minimized (do not open the console)', 'minimize', b.minimize),
            checkBox('Automatically activate proxy servers at startup', 'autoActive', b.autoActive)),
          el('fieldset', {}, el('legend', {}, 'Log'),
            el('div', { className: 'row' },
              checkBox('Save log to file ', 'savelog', b.savelog),
              el('button', { type: 'button', className: 'push', 'aria-label': 'Daily log files', title: 'Daily log files', onclick: showLogFiles }, '...'))),
          el('fieldset', {}, el('legend', {}, 'Logins of the running proxies'),
            checkBox('HTTP Auth', 'httpAuth', b.httpAuth),
            checkBox('Socks5 Auth', 'socksAuth', b.socksAuth)),
          el('div', { className: 'row' },
            el('button', { type: 'button', className: 'push', onclick: () => window.Tarnwick.openWebFilterEditor() }, 'Web Filters...'),
            el('button', { type: 'button', className: 'push', onclick: () => window.Tarnwick.openScheduleEditor() }, 'Schedules...'),
            el('button', { type: 'button', className: 'push', onclick: serviceDialog }, 'Service...')),
          el('div', { className: 'field' },
            el('label', { for: addressesId }, 'Server IP Address:'),
            el('select', { id: addressesId, className: 'addresses', size: '4' },
              options.addresses.map((a, i) => el('option', { selected: i === 0 || null }, a))))),
        el('fieldset', {}, el('legend', {}, 'Security'),
          options.security.map((row) => securityRow(row, feedback)),
          feedback)));
    },
  });
})();
