// The device-approval page in a real headless Chromium: a person opens the link
// the plug-in opens, types an e-mail and approves or denies; the plug-in's poll
// must then see the outcome.
//
// Needs TALVANE_SERVICE_BINARY (the built talvane-service) and Debian's chromium;
// CTest sets both. Screenshots go to TALVANE_SCREENSHOT_DIR (default /tmp).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { chromium } from 'playwright-core';

const binary = process.env.TALVANE_SERVICE_BINARY;
const chromiumPath = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const shots = process.env.TALVANE_SCREENSHOT_DIR || tmpdir();
const grantType = 'urn:ietf:params:oauth:grant-type:device_code';

let service;
let base;
let profileDir;
let context;

// Resolves with the base URL from the service's start-up line, within the bound.
function startService() {
  return new Promise((resolve, reject) => {
    // A short interval so the polls below never read slow_down.
    service = spawn(binary, ['--port', '0', '--interval', '0.2'], { stdio: ['ignore', 'pipe', 'ignore'] });
    const timer = setTimeout(() => reject(new Error('talvane-service did not start in 10 s')), 10000);
    let text = '';
    service.stdout.on('data', (chunk) => {
      text += chunk;
      const m = text.match(/talvane-service listening on (http:\/\/127\.0\.0\.1:\d+)/);
      if (m) {
        clearTimeout(timer);
        resolve(m[1]);
      }
    });
    service.on('exit', (code) => reject(new Error(`talvane-service exited with ${code}`)));
  });
}

function stopService() {
  if (!service || service.exitCode !== null) return Promise.resolve();
  return new Promise((resolve) => {
    const timer = setTimeout(() => { service.kill('SIGKILL'); resolve(); }, 5000);
    service.once('exit', () => { clearTimeout(timer); resolve(); });
    process.kill(service.pid, 'SIGTERM');
  });
}

async function requestCode() {
  const res = await fetch(`${base}/v1/device/code`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    signal: AbortSignal.timeout(10000),
  });
  assert.equal(res.status, 200);
  return res.json();
}

async function pollToken(deviceCode) {
  const res = await fetch(`${base}/v1/device/token`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: `grant_type=${grantType}&device_code=${deviceCode}`,
    signal: AbortSignal.timeout(10000),
  });
  const text = await res.text();
  return { status: res.status, text, body: JSON.parse(text) };
}

before(async () => {
  assert.ok(binary, 'TALVANE_SERVICE_BINARY must name the talvane-service executable');
  base = await startService();
  profileDir = mkdtempSync(join(tmpdir(), 'talvane-chromium-'));
  // A fresh profile and nothing that phones home: the test talks to 127.0.0.1 only.
  context = await chromium.launchPersistentContext(profileDir, {
    executablePath: chromiumPath,
    headless: true,
    timeout: 60000,
    viewport: { width: 900, height: 760 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  context.setDefaultTimeout(15000);
});

after(async () => {
  if (context) await context.close();
  await stopService();
  if (profileDir) rmSync(profileDir, { recursive: true, force: true });
});

test('approving on the page signs the waiting device in', { timeout: 60000 }, async () => {
  const code = await requestCode();
  const waiting = await pollToken(code.device_code);
  assert.equal(waiting.status, 400);
  assert.equal(waiting.body.error, 'authorization_pending');

  const page = await context.newPage();
  await page.goto(code.verification_uri_complete);
  assert.equal((await page.textContent('#user-code')).trim(), code.user_code);
  await page.screenshot({ path: join(shots, 'talvane-approval-page.png'), fullPage: true });

  await page.fill('#email', 'browser@example.com');
  await Promise.all([page.waitForURL(`${base}/device`), page.click('#approve')]);
  assert.equal((await page.textContent('h1')).trim(), 'Sign-in approved');
  assert.match(await page.textContent('main'), /browser@example\.com/);
  await page.screenshot({ path: join(shots, 'talvane-approval-done.png'), fullPage: true });
  await page.close();

  await sleep(250);
  const token = await pollToken(code.device_code);
  assert.equal(token.status, 200);
  assert.match(token.body.access_token, /^[A-Za-z0-9._-]{1,256}$/);
  assert.equal(token.body.email, 'browser@example.com');
  assert.ok(token.text.includes('"email":"browser@example.com"'), token.text);
});

test('denying on the page answers access_denied', { timeout: 60000 }, async () => {
  const code = await requestCode();
  const page = await context.newPage();
  await page.goto(code.verification_uri_complete);
  await Promise.all([page.waitForURL(`${base}/device`), page.click('#deny')]);
  assert.equal((await page.textContent('h1')).trim(), 'Sign-in denied');
  await page.screenshot({ path: join(shots, 'talvane-approval-denied.png'), fullPage: true });
  await page.close();

  await sleep(250);
  const result = await pollToken(code.device_code);
  assert.equal(result.status, 400);
  assert.equal(result.body.error, 'access_denied');
});

test('a code typed on the plain verification page leads to the same approval', { timeout: 60000 }, async () => {
  const code = await requestCode();
  const page = await context.newPage();
  await page.goto(code.verification_uri);
  await page.fill('#user_code', code.user_code.replace('-', '').toLowerCase());
  await Promise.all([page.waitForURL(/user_code=/), page.press('#user_code', 'Enter')]);
  assert.equal((await page.textContent('#user-code')).trim(), code.user_code);
  await page.fill('#email', 'typed@example.com');
  await Promise.all([page.waitForURL(`${base}/device`), page.click('#approve')]);
  assert.equal((await page.textContent('h1')).trim(), 'Sign-in approved');
  await page.close();

  await sleep(250);
  const token = await pollToken(code.device_code);
  assert.equal(token.status, 200);
  assert.equal(token.body.email, 'typed@example.com');
});

// Another site on this machine (another port): the page it serves is the attack.
function hostileSite(html) {
  return new Promise((resolve) => {
    const site = createServer((req, res) => {
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end(html);
    });
    site.listen(0, '127.0.0.1', () => resolve({ url: `http://127.0.0.1:${site.address().port}/`, site }));
  });
}

test('a form posted from another site approves nothing', { timeout: 60000 }, async () => {
  const code = await requestCode();
  const page = await context.newPage();
  await page.goto(code.verification_uri_complete);  // the user has our page (and its cookie)
  const { url, site } = await hostileSite(
    `<form id="f" method="post" action="${base}/device">` +
    `<input name="user_code" value="${code.user_code}"><input name="email" value="attacker@example.com">` +
    '<input name="action" value="approve"></form><script>document.getElementById("f").submit()</script>');
  try {
    const [answer] = await Promise.all([
      page.waitForResponse((r) => r.url() === `${base}/device` && r.request().method() === 'POST'),
      page.goto(url),
    ]);
    assert.equal(answer.status(), 403);
  } finally {
    site.close();
    await page.close();
  }
  const result = await pollToken(code.device_code);
  assert.equal(result.body.error, 'authorization_pending');
});

test('the approval page refuses to be shown inside another site', { timeout: 60000 }, async () => {
  const code = await requestCode();
  const direct = await fetch(code.verification_uri_complete, { signal: AbortSignal.timeout(10000) });
  assert.equal(direct.headers.get('x-frame-options'), 'DENY');
  assert.match(direct.headers.get('content-security-policy'), /frame-ancestors 'none'/);
  const { url, site } = await hostileSite(`<iframe src="${code.verification_uri_complete}"></iframe>`);
  const page = await context.newPage();
  try {
    await page.goto(url, { waitUntil: 'load' });
    for (const frame of page.frames()) {
      if (frame === page.mainFrame()) continue;
      const approve = await frame.$('#approve').catch(() => null);
      assert.equal(approve, null, 'the Approve button must not load inside a frame');
    }
  } finally {
    site.close();
    await page.close();
  }
});
