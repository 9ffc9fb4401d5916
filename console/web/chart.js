'use strict';
// SVG charts drawn by the console's own code (the Traffic page's bars per day, the Server Logs
// page's throughput lines): the element maker, a plot frame with a labelled value axis and
// grid, and a legend. Loaded after app.js, before the pages.
(function () {
  const NS = 'http://www.w3.org/2000/svg';

  function svg(tag, attrs, ...children) {
    const node = document.createElementNS(NS, tag);
    for (const [name, value] of Object.entries(attrs || {})) node.setAttribute(name, String(value));
    for (const child of children) node.append(typeof child === 'string' ? document.createTextNode(child) : child);
    return node;
  }

  // The smallest of 1, 2, 2.5, 5 times a power of ten at or above v, so grid labels read round.
  function roundUp(v) {
    if (!(v > 0)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(v)));
    for (const step of [1, 2, 2.5, 5, 10]) if (step * power >= v) return step * power;
    return 10 * power;
  }

  // A plot area inside width x height less the margins, its value axis from 0 to max (rounded
  // up) with four grid lines labelled by format(v). The caller adds its marks to g and calls
  // finish(xTitle, yTitle) to draw the axes over them; element(label) gives the <svg>.
  function frame({ width, height, left, right, top, bottom, max, format }) {
    const plotW = width - left - right, plotH = height - top - bottom;
    const top_ = roundUp(max);
    const y = (v) => top + plotH - (Math.min(v, top_) / top_) * plotH;
    const g = svg('g');
    for (let i = 0; i <= 4; i++) {
      const v = (top_ * i) / 4;
      g.append(svg('line', { x1: left, x2: width - right, y1: y(v), y2: y(v), class: 'grid' }),
        svg('text', { x: left - 6, y: y(v) + 4, 'text-anchor': 'end' }, format(v)));
    }
    function finish(xTitle, yTitle) {
      g.append(svg('line', { x1: left, x2: left, y1: top, y2: top + plotH, class: 'axis' }),
        svg('line', { x1: left, x2: width - right, y1: top + plotH, y2: top + plotH, class: 'axis' }),
        svg('text', { x: left + plotW / 2, y: height - 8, 'text-anchor': 'middle', class: 'axis-title' }, xTitle),
        svg('text', { x: 14, y: top + plotH / 2, 'text-anchor': 'middle', class: 'axis-title',
          transform: `rotate(-90 14 ${top + plotH / 2})` }, yTitle));
    }
    function element(label) {
      return svg('svg', { viewBox: `0 0 ${width} ${height}`, width, height, role: 'img', class: 'chart',
        'aria-label': label }, g);
    }
    return { g, y, left, top, plotW, plotH, finish, element };
  }

  // A legend line ending at x = right, baseline y: [{label, className, mark: 'box' | 'line'}].
  function legend(g, right, y, items) {
    const widthOf = (item) => 18 + item.label.length * 6.5 + 12;
    let x = right - items.reduce((sum, item) => sum + widthOf(item), 0);
    for (const item of items) {
      g.append(item.mark === 'line'
        ? svg('line', { x1: x, x2: x + 14, y1: y - 4, y2: y - 4, class: item.className })
        : svg('rect', { x, y: y - 9, width: 10, height: 10, class: item.className }),
      svg('text', { x: x + 18, y }, item.label));
      x += widthOf(item);
    }
  }

  window.Tarnwick.chart = { svg, frame, legend };
})();
