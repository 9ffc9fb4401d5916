'use strict';
// Traffic: bytes up and down per account for a chosen month (users, guests by address, and the
// "Other" rows past the daily caps), and a bar chart of the last 30 days drawn as SVG here.
(function () {
  const { el, api, messageBox, formatBytes } = window.Tarnwick;
  const { listView } = window.Tarnwick.accounts;
  const { svg, frame, legend } = window.Tarnwick.chart;
  const W = 760, H = 280, RIGHT = 12;

  // Stacked bars per day (down below, up above) with a labelled byte axis and date axis.
  function chart(days) {
    const f = frame({ width: W, height: H, left: 78, right: RIGHT, top: 28, bottom: 52,
      max: Math.max(1, ...days.map((d) => d.up + d.down)), format: formatBytes });
    const { g, y } = f;
    const slot = f.plotW / Math.max(1, days.length);
    days.forEach((d, i) => {
      const x = f.left + i * slot + slot * 0.15, w = slot * 0.7;
      const title = `${d.date}: up ${formatBytes(d.up)}, down ${formatBytes(d.down)}`;
      g.append(svg('rect', { x, y: y(d.down), width: w, height: y(0) - y(d.down), class: 'bar-down' }, svg('title', {}, title)),
        svg('rect', { x, y: y(d.up + d.down), width: w, height: y(0) - y(d.up), class: 'bar-up' }, svg('title', {}, title)));
      if (i % 5 === 0 || i === days.length - 1) {
        g.append(svg('text', { x: x + w / 2, y: f.top + f.plotH + 16, 'text-anchor': 'middle' }, d.date.slice(5)));
      }
    });
    f.finish('Date', 'Bytes per day');
    legend(g, W - RIGHT, 17, [{ label: 'Up', className: 'bar-up' }, { label: 'Down', className: 'bar-down' }]);
    const first = days.length ? days[0].date : '', last = days.length ? days[days.length - 1].date : '';
    return f.element(`Traffic per day, ${first} to ${last}`);
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
