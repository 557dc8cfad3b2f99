// The browser client in headless Chromium against a running vantorel whose
// slot 0, "Morning <b>Show</b>", is switched off and has two recordings of
// today (WebClient_e2e.cpp prepares and starts it): the calendar lists the
// recordings, the player shows the waveform and plays, the download link
// fetches the file, a span marked on the waveform downloads as a clip of its
// length, and status.html follows a start command.
//   node webclient.test.mjs <base URL, e.g. http://127.0.0.1:5252>
import { join, dirname } from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const require = createRequire(join(dirname(fileURLToPath(import.meta.url)), '..', 'package.json'));
const { chromium } = require('playwright-core');

const base = process.argv[2];
let browser = null;

function fail(message) {
  throw new Error(message);
}

async function main() {
  if (!base) fail('usage: node webclient.test.mjs <base URL>');
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--autoplay-policy=no-user-gesture-required', '--mute-audio'],
  });
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));

  await page.goto(`${base}/index.html`);
  // the slot name is shown as text, never as markup
  await page.waitForFunction(() => document.querySelector('#slot option')?.textContent === 'Morning <b>Show</b>');
  const items = page.locator('.fc-list-item');
  await items.first().waitFor({ timeout: 20000 });
  if ((await items.count()) !== 2) fail(`calendar lists ${await items.count()} recordings, expected 2`);
  if ((await page.locator('.fc-list-item b').count()) !== 0) fail('slot name was inserted as HTML');

  await items.first().click();
  await page.locator('#player').waitFor({ state: 'visible' });
  // the waveform: wavesurfer draws into canvases inside its shadow root
  await page.waitForFunction(() => {
    const host = document.querySelector('#waveform > div');
    const root = host && host.shadowRoot;
    return root && root.querySelectorAll('canvas').length > 0;
  }, null, { timeout: 10000 });
  await page.locator('#play:not([disabled])').waitFor({ timeout: 10000 });
  await page.click('#play');
  await page.locator('#pause:not([disabled])').waitFor({ timeout: 10000 });
  const started = await page.textContent('#position');
  await page.waitForFunction((first) => document.querySelector('#position').textContent !== first, started,
                             { timeout: 10000 });

  const href = await page.getAttribute('#download', 'href');
  if (!/^\/ws\/slot\/0\/getfile\/\d+\/show-\d\.mp3$/.test(href)) fail(`download link ${href}`);
  const download = await page.evaluate(async (url) => {
    const r = await fetch(url);
    const b = await r.arrayBuffer();
    return { status: r.status, size: b.byteLength, disposition: r.headers.get('Content-Disposition') };
  }, href);
  if (download.status !== 200 || download.size < 50000 || !/attachment/.test(download.disposition))
    fail(`download: ${JSON.stringify(download)}`);

  // A span marked on the waveform and downloaded as WAV is as long as the span.
  const box = await page.locator('#waveform').boundingBox();
  await page.mouse.move(box.x + box.width * 0.2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(box.x + box.width * 0.6, box.y + box.height / 2, { steps: 10 });
  await page.mouse.up();
  await page.locator('#clip').waitFor({ state: 'visible', timeout: 5000 });
  const clipHref = await page.getAttribute('#clipWav', 'href');
  const query = new URL(clipHref, base).searchParams;
  const seconds = (Date.parse(query.get('end')) - Date.parse(query.get('start'))) / 1000;
  if (!(seconds > 1.5 && seconds < 3.5)) fail(`marked span of ${seconds} s from ${clipHref}`);
  const clip = await page.evaluate(async (url) => {
    const r = await fetch(url);
    const b = await r.arrayBuffer();
    const v = new DataView(b);
    return { status: r.status, size: b.byteLength, channels: v.getUint16(22, true), rate: v.getUint32(24, true),
             disposition: r.headers.get('Content-Disposition') };
  }, clipHref);
  const frameBytes = clip.channels * 2;
  const expected = 44 + Math.round(seconds * clip.rate) * frameBytes;
  if (clip.status !== 200 || clip.rate !== 44100 || Math.abs(clip.size - expected) > frameBytes ||
      !/attachment; filename=".*\.wav"/.test(clip.disposition))
    fail(`clip of ${seconds} s: ${JSON.stringify(clip)}, expected ${expected} bytes`);
  const mp3 = await page.evaluate(async (url) => {
    const r = await fetch(url);
    return { status: r.status, type: r.headers.get('Content-Type'), size: (await r.arrayBuffer()).byteLength };
  }, await page.getAttribute('#clipMp3', 'href'));
  if (mp3.status !== 200 || mp3.type !== 'audio/mpeg' || mp3.size < 10000) fail(`mp3 clip: ${JSON.stringify(mp3)}`);
  await page.click('#close');

  const status = await browser.newPage();
  await status.goto(`${base}/status.html`);
  const start = status.locator('#slot0 .start');
  await start.waitFor();
  if ((await status.textContent('#slot0 .slotname')) !== 'Morning <b>Show</b>') fail('status page slot name');
  const colour = () => start.evaluate((e) => getComputedStyle(e).backgroundColor);
  if ((await colour()) === 'rgb(0, 255, 51)') fail('START green before the command');
  await start.click();
  // the page looks again 500 ms after the click and then every 5 s
  await status.waitForFunction(() => getComputedStyle(document.querySelector('#slot0 .start')).backgroundColor ===
                               'rgb(0, 255, 51)', null, { timeout: 15000 });
  const recording = await status.evaluate(async () => (await fetch('/ws/slots/0/recording')).text());
  if (recording !== '1') fail(`slot 0 recording after START: ${recording}`);
  if (errors.length) fail(`page errors: ${errors.join('; ')}`);
  console.log('browser client: ok');
}

try {
  await main();
} catch (e) {
  console.error(e);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
}
