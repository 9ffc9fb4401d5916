'use strict';
// Help: using the proxies from client programs.
(function () {
  const { el } = window.Tarnwick;

  function table(head, rows) {
    return el('table', { className: 'list' },
      el('thead', {}, el('tr', {}, head.map((h) => el('th', { scope: 'col' }, h)))),
      el('tbody', {}, rows.map((r) => el('tr', {}, r.map((c) => el('td', {}, c))))));
  }

  window.Tarnwick.registerPage('help', {
    render(container) {
      const host = location.hostname === '127.0.0.1' || location.hostname === 'localhost'
        ? 'this machine' : location.hostname;
      container.append(el('div', { className: 'help' },
        el('p', {}, 'Tarnwick lets the computers of a small network share one Internet connection. ' +
          'Five proxies run on ' + host + ': HTTP (with CONNECT tunnels and ftp:// URLs for browsers), ' +
          'FTP, POP3, SMTP and SOCKS 4/4a/5. Start and stop them with Start and Stop; the Proxy Servers ' +
          'page lists their ports.'),
        el('h2', {}, 'Setting up a client'),
        table(['Proxy', 'How a client names the destination', 'Example'], [
          ['HTTP 808', 'The browser\'s proxy setting (HTTP and HTTPS); ftp:// URLs too', 'curl -x http://proxy.lan:808 https://example.org/'],
          ['SOCKS 1080', 'SOCKS 4, 4a or 5 (user name and password when the proxy asks for logins)', 'curl --socks5-hostname proxy.lan:1080 https://example.org/'],
          ['FTP 21', 'The user name user@ftp.example.org[:port], or SITE host / OPEN host', 'curl --disable-epsv -u \'anonymous@ftp.example.org:pw\' ftp://proxy.lan/'],
          ['POP3 110', 'The user name mailbox#pop.example.org[:port]', 'curl -u \'alice#pop.example.org:pw\' pop3://proxy.lan/'],
          ['SMTP 25', 'The AUTH LOGIN user name account#smtp.example.org[:port]', 'curl --url smtp://proxy.lan --user \'alice#smtp.example.org:pw\' ...'],
        ]),
        el('p', {}, 'Replace proxy.lan with this machine\'s address (Options lists them under Server IP Address) ' +
          'and the ports with those of the Proxy Servers page.'),
        el('h2', {}, 'Guests and logins'),
        el('p', {}, 'A client without a login is a guest. Guests are admitted only from the networks attached to ' +
          'this machine, unless Security on the Options page admits them from anywhere; each proxy\'s guest ' +
          'address range and speed limits apply. With HTTP Auth or Socks5 Auth on (or a proxy\'s login switch ' +
          'in option.ini), clients must log in with a user account that has rights on that proxy.'),
        el('h2', {}, 'Activity'),
        el('p', {}, 'Every connection that reaches its destination is one line of Server Logs. With "Save log to file" ' +
          'on, the lines also go to a daily file in the folder log of the data directory (the "..." button lists them). ' +
          'Above the list, a chart shows each proxy\'s bytes per second over the last five minutes. The Online Users ' +
          'page lists the connections open now; Disconnect closes one, Disconnect user every connection of that user.'),
        el('h2', {}, 'Without a desktop'),
        el('p', {}, 'On a server without a browser, run the proxies with "kestrane --foreground" or install them as a ' +
          'systemd service with "kestrane -i"; "tarnwick --url" prints the address of a running console.')));
    },
  });
})();
