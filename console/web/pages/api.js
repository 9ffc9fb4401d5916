'use strict';
// Console API: every route the pages use, for scripts with curl and the token.
(function () {
  const { el, api } = window.Tarnwick;

  window.Tarnwick.registerPage('api', {
    async render(container) {
      let routes = [];
      try {
        routes = (await api.get('/api/routes')).routes;
      } catch (e) {
        container.append(el('p', { role: 'alert' }, e.message));
        return;
      }
      if (!container.isConnected) return;
      const origin = location.origin;
      container.append(el('div', { className: 'api help' },
        el('p', {}, 'Every action of these pages is a request to the JSON API below. A script sends the token ' +
          'of the console\'s URL (printed by tarnwick, and again by "tarnwick --url") as a bearer token; ' +
          'requests that change something send a JSON body (at least {}).'),
        el('pre', {}, 'TOKEN=...   # the part after token= in the console\'s URL\n' +
          'curl -H "Authorization: Bearer $TOKEN" ' + origin + '/api/status\n' +
          'curl -H "Authorization: Bearer $TOKEN" -H "Content-Type: application/json" -d \'{}\' ' + origin + '/api/servers/start'),
        el('table', { className: 'list' },
          el('thead', {}, el('tr', {}, el('th', { scope: 'col' }, 'Method'), el('th', { scope: 'col' }, 'Path'),
            el('th', { scope: 'col' }, 'What it does'))),
          el('tbody', {}, routes.map((r) => el('tr', {},
            el('td', {}, r.method), el('td', {}, el('code', {}, r.path)), el('td', {}, r.summary)))))));
    },
  });
})();
