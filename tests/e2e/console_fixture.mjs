// Starts tarnwick on a fresh data directory with the console on 127.0.0.1:0 and every proxy on
// a free port, reads the URL it prints, and drives Debian's chromium through playwright-core.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { chromium } from 'playwright-core';

const here = path.dirname(new URL(import.meta.url).pathname);
export const repo = path.resolve(here, '..', '..');
export const screenshots = path.join(here, 'screenshots');

export function tarnwickBinary() {
  return process.env.TW_TARNWICK || path.join(repo, 'build', 'bin', 'tarnwick');
}

// A fresh data directory whose proxies listen on ports the kernel picks and may reach the
// test's own servers on loopback.
export function freshDataDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tarnwick-e2e-'));
  fs.writeFileSync(path.join(dir, 'option.ini'),
    '[Server]\nallow_local_destinations=1\n' +
    '[HTTP]\nport=0\n[FTP]\nport=0\n[POP3]\nport=0\n[SMTP]\nport=0\n[SOCKS]\nport=0\n');
  return dir;
}

export function readOption(dir, key) {
  const text = fs.readFileSync(path.join(dir, 'option.ini'), 'utf8');
  const match = text.match(new RegExp('^' + key + '=(.*)$', 'mi'));
  return match ? match[1].trim() : undefined;
}

// A key of one [section] of option.ini.
export function readSectionOption(dir, section, key) {
  const text = fs.readFileSync(path.join(dir, 'option.ini'), 'utf8');
  let current = '';
  for (const line of text.split(/\r?\n/)) {
    const header = line.match(/^\[(.*)\]\s*$/);
    if (header) { current = header[1]; continue; }
    const pair = line.match(/^([^=]+)=(.*)$/);
    if (pair && current.toLowerCase() === section.toLowerCase() && pair[1].trim().toLowerCase() === key.toLowerCase()) {
      return pair[2].trim();
    }
  }
  return undefined;
}

// Starts tarnwick; resolves with {process, url, port, token, exited} once it printed its URL.
export function startTarnwick(dataDir, extraEnv = {}) {
  // The start-at-logon entry goes to the data directory, never to the user's own folder.
  const env = { ...process.env, XDG_CONFIG_HOME: path.join(dataDir, 'xdg'), ...extraEnv };
  delete env.DISPLAY;          // never open a desktop browser from a test
  delete env.WAYLAND_DISPLAY;
  const child = spawn(tarnwickBinary(), ['--data', dataDir, '--console', '127.0.0.1:0'],
    { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: child.stdout });
    lines.on('line', (line) => {
      const m = line.match(/(http:\/\/127\.0\.0\.1:(\d+)\/login\?token=([0-9a-f]+))/);
      if (m) resolve({ process: child, url: m[1], port: Number(m[2]), token: m[3], exited });
    });
    child.on('exit', (code) => reject(new Error('tarnwick ended with ' + code + ': ' + stderr)));
  });
}

export async function launchBrowser() {
  const args = process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [];
  return chromium.launch({ executablePath: process.env.TW_CHROMIUM || '/usr/bin/chromium', args });
}

export async function screenshot(page, name) {
  fs.mkdirSync(screenshots, { recursive: true });
  await page.screenshot({ path: path.join(screenshots, name + '.png') });
}

// A console on a fresh data directory and a browser page at 1280x800 for it; closeConsole ends
// both (the console with SIGTERM, as a service manager would).
export async function openConsole() {
  const dataDir = freshDataDir();
  const tarnwick = await startTarnwick(dataDir);
  const browser = await launchBrowser();
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  const page = await context.newPage();
  return { dataDir, tarnwick, browser, page };
}

export async function closeConsole(c) {
  if (!c) return;
  if (c.browser) await c.browser.close();
  if (c.tarnwick && c.tarnwick.process.exitCode === null) c.tarnwick.process.kill('SIGTERM');
}
