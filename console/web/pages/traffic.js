'use strict';
// Traffic: bytes up and down per account for a chosen month (users, guests by address, and the
// "Other" rows past the daily caps), and a bar chart of the last 30 days drawn as SVG here.
(function () {
  const { el, api, messageBox, formatBytes } = window.Tarnwick;
  const { listView } = window.Tarnwick.accounts;
  const SVG = 'http://www.w3.org/2000/svg';
  const W = 760, H = 280, LEFT = 78, RIGHT = 12, TOP = 28, BOTTOM = 52;

  function svg(tag, attrs, ...children) {
    const node = document.createElementNS(SVG, tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, String(value));
    for (const child of children) node.append(typeof child === 'string' ? document.createTextNode(child) : child);
    return node;
  }

  // Stacked bars per day (down below, up above) with a labelled byte axis and date axis.
  function chart(days) {
    const plotW = W - LEFT - RIGHT, plotH = H - TOP - BOTTOM;
    const max = Math.max(1, ...days.map((d) => d.up + d.down));
    const y = (v) => TOP + plotH - (v / max) * plotH;
    const slot = plotW / Math.max(1, days.length);
    const g = svg('g');
    for (let i = 0; i <= 4; i++) {
      const v = (max * i) / 4;
      g.append(svg('line', { x1: LEFT, x2: W - RIGHT, y1: y(v), y2: y(v), class: 'grid' }),
        svg('text', { x: LEFT - 6, y: y(v) + 4, 'text-anchor': 'end' }, formatBytes(v)));
    }
    days.forEach((d, i) => {
      const x = LEFT + i * slot + slot * 0.15, w = slot * 0.7;
      const title = `${d.date}: up ${formatBytes(d.up)}, down ${formatBytes(d.down)}`;
      g.append(svg('rect', { x, y: y(d.down), width: w, height: y(0) - y(d.down), class: 'bar-down' }, svg('title', {}, title)),
        svg('rect', { x, y: y(d.up + d.down), width: w, height: y(0) - y(d.up), class: 'bar-up' }, svg('title', {}, title)));
      if (i % 5 === 0 || i === days.length - 1) {
        g.append(svg('text', { x: x + w / 2, y: TOP + plotH + 16, 'text-anchor': 'middle' }, d.date.slice(5)));
      }
    });
    g.append(svg('line', { x1: LEFT, x2: LEFT, y1: TOP, y2: TOP + plotH, class: 'axis' }),
      svg('line', { x1: LEFT, x2: W - RIGHT, y1: TOP + plotH, y2: TOP + plotH, class: 'axis' }),
      svg('text', { x: LEFT + plotW / 2, y: H - 8, 'text-anchor': 'middle', class: 'axis-title' }, 'Date'),
      svg('text', { x: 14, y: TOP + plotH / 2, 'text-anchor': 'middle', class: 'axis-title',
        transform: `rotate(-90 14 ${TOP + plotH / 2})` }, 'Bytes per day'),
      svg('rect', { x: W - RIGHT - 120, y: 8, width: 10, height: 10, class: 'bar-up' }),
      svg('text', { x: W - RIGHT - 106, y: 17 }, 'Up'),
      svg('rect', { x: W - RIGHT - 70, y: 8, width: 10, height: 10, class: 'bar-down' }),
      svg('text', { x: W - RIGHT - 56, y: 17 }, 'Down'));
    const first = days.length ? days[0].date : '', last = days.length ? days[days.length - 1].date : '';
    return svg('svg', { viewBox: `0 0 ${W} ${H}`, width: W, height: H, role: 'img', class: 'chart',
      'aria-label': `Traffic per day, ${first} to ${last}` }, g);
  }

  window.Tarnwick.registerPage('traffic', {
    render(container) {
      const monthInput = el('input', { type: 'month', id: 'traffic-month' });
      const list = listView({
        label: 'Traffic',
        columns: ['Account', 'Up', 'Down', 'Total'],
        keyOf: (r) => r.kind + ':' + r.account,
        cells: (r) => [r.account, formatBytes(r.up), formatBytes(r.down), formatBytes(r.total)],
        onOpen: () => {},
        menu: [{ label: 'Refresh', action: () => load() }],
      });
      const totalLine = el('p', { className: 'traffic-total' });
      const chartArea = el('figure', { className: 'traffic-chart' });

      async function load() {
        try {
          const query = monthInput.value ? '?month=' + encodeURIComponent(monthInput.value) : '';
          const reply = await api.get('/api/traffic' + query);
          if (!monthInput.value) monthInput.value = reply.month;
          list.setRows(reply.rows);
          totalLine.textContent = `${reply.month}: up ${formatBytes(reply.total.up)}, down ${formatBytes(reply.total.down)}, ` +
            `total ${formatBytes(reply.total.up + reply.total.down)}`;
          chartArea.replaceChildren(el('figcaption', {}, 'Last 30 days'), chart(reply.days));
          if (reply.problems.length) await messageBox(reply.problems.join('\n'), { icon: 'error' });
        } catch (e) {
          await messageBox(e.message, { icon: 'error' });
        }
      }
      monthInput.addEventListener('change', () => load());
      container.append(
        el('div', { className: 'row' }, el('label', { for: 'traffic-month' }, 'Month:'), monthInput,
          el('button', { type: 'button', className: 'push', onclick: () => load() }, 'Refresh')),
        list.wrap, totalLine, chartArea);
      load();
    },
  });
})();
