#!/usr/bin/env node
// Opens each panorama JPEG in Photo Sphere Viewer inside headless Chromium and
// prints, one JSON line per file on standard output, the panorama data the
// viewer read from the file's GPano XMP (see viewer.mjs for the fields).
//
//   node viewer-test.mjs [--screenshots DIR] [--expect FILE.json]
//                        [--timeout SECONDS] FILE.jpg...
//
// --screenshots DIR  saves what the viewer shows as DIR/<file name>.png.
// --expect FILE.json compares with the values a file should carry:
//     { "pano.jpg": { "fullWidth": 1024, "croppedX": 256, "poseHeading": 90,
//                     "viewYawDegrees": 0, ... }, ... }
//   keyed by the path as given or by its file name. Every key but the view
//   ones must equal both the raw XMP value and the value the viewer uses (so a
//   value the viewer had to rescale or clamp fails); viewYawDegrees and
//   viewPitchDegrees are compared with the camera direction after loading.
//
// A file fails when it does not load within the timeout, when the viewer
// warns that its panorama data is invalid, when the screen stays black, or
// on a mismatch. No WebGL in the browser fails the whole run at once.
// Exit status: 0 when every file passed, 1 otherwise, 2 on a usage error.
//
// Each line: { file, image, xmp, panoData, view, screen: { litFraction,
// meanLuma }, warnings, screenshot, ms } or { file, error, warnings, ... },
// with problems: [...] added when the file failed; the last line on standard
// error reads "viewer-test: N passed, N failed".
import { createServer } from 'node:http';
import { mkdtemp, mkdir, readFile, rm, writeFile } from 'node:fs/promises';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const kHere = path.dirname(fileURLToPath(import.meta.url));
const kChromium = '/usr/bin/chromium';
const kChromiumArgs = [
  '--headless=new', '--no-sandbox', '--disable-gpu', '--use-angle=swiftshader',
  '--enable-unsafe-swiftshader', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const kLaunchTimeoutSeconds = 60;
const kViewport = { width: 960, height: 540 };
// A pixel darker than this (0..255 luma) counts as black; a screen with fewer
// than kMinLitFraction of its pixels above it shows no panorama.
const kBlackLuma = 16;
const kMinLitFraction = 0.01;
const kAngleToleranceDegrees = 1e-6;
const kViewKeys = new Set(['viewYawDegrees', 'viewPitchDegrees']);
const kContentTypes = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json',
  '.jpg': 'image/jpeg',
  '.jpeg': 'image/jpeg',
};

// Ends the whole run: no file can be checked (the browser has no WebGL).
class FatalError extends Error {}

function Fail(message, status = 1) {
  process.stderr.write(`viewer-test: ${message}\n`);
  process.exit(status);
}

function ParseArgs(argv) {
  const args = { screenshots: null, expect: null, timeoutSeconds: 60, files: [] };
  for (let i = 0; i < argv.length; ++i) {
    const arg = argv[i];
    const value = () => {
      if (i + 1 >= argv.length) Fail(`${arg} needs a value`, 2);
      return argv[++i];
    };
    if (arg === '--screenshots') args.screenshots = value();
    else if (arg === '--expect') args.expect = value();
    else if (arg === '--timeout') args.timeoutSeconds = Number(value());
    else if (arg === '--help' || arg === '-h') {
      process.stdout.write('usage: viewer-test.mjs [--screenshots DIR] [--expect FILE.json] [--timeout SECONDS] FILE.jpg...\n');
      process.exit(0);
    } else if (arg.startsWith('--')) Fail(`unknown option ${arg}`, 2);
    else args.files.push(arg);
  }
  if (args.files.length === 0) Fail('no panorama files given (see --help)', 2);
  if (!(args.timeoutSeconds > 0)) Fail('--timeout needs a positive number of seconds', 2);
  return args;
}

// Serves the page and node_modules from this folder, and the panoramas as
// /pano/<index>.jpg, on 127.0.0.1 at a free port.
async function StartServer(files) {
  const server = createServer(async (req, res) => {
    const urlPath = decodeURIComponent(new URL(req.url, 'http://localhost').pathname);
    let filePath = null;
    const pano = /^\/pano\/(\d+)\.jpg$/.exec(urlPath);
    if (pano && Number(pano[1]) < files.length) {
      filePath = files[Number(pano[1])];
    } else {
      const served = path.posix.normalize(urlPath);
      if (served === '/viewer.html' || served === '/viewer.mjs' || served.startsWith('/node_modules/')) {
        filePath = path.join(kHere, served);
      }
    }
    try {
      if (!filePath) throw new Error('not served');
      const body = await readFile(filePath);
      res.writeHead(200, {
        'Content-Type': kContentTypes[path.extname(filePath).toLowerCase()] || 'application/octet-stream',
        'Cache-Control': 'no-store',
      });
      res.end(body);
    } catch {
      res.writeHead(404, { 'Content-Type': 'text/plain' });
      res.end('not found\n');
    }
  });
  await new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, '127.0.0.1', resolve);
  });
  return server;
}

// Share of pixels brighter than kBlackLuma and the mean luma of a PNG,
// decoded by the browser itself.
async function MeasureScreen(page, png) {
  return page.evaluate(async (base64, blackLuma) => {
    const bytes = Uint8Array.from(atob(base64), (c) => c.charCodeAt(0));
    const bitmap = await createImageBitmap(new Blob([bytes], { type: 'image/png' }));
    const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
    const context = canvas.getContext('2d');
    context.drawImage(bitmap, 0, 0);
    const rgba = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
    let lit = 0;
    let lumaSum = 0;
    for (let i = 0; i < rgba.length; i += 4) {
      const luma = 0.299 * rgba[i] + 0.587 * rgba[i + 1] + 0.114 * rgba[i + 2];
      lumaSum += luma;
      if (luma > blackLuma) ++lit;
    }
    const pixels = rgba.length / 4;
    return { litFraction: lit / pixels, meanLuma: lumaSum / pixels };
  }, Buffer.from(png).toString('base64'), kBlackLuma);
}

function AnglesDiffer(a, b) {
  const d = Math.abs((((a - b) % 360) + 540) % 360 - 180);
  return !(d <= kAngleToleranceDegrees);
}

function CompareWithExpected(result, expected) {
  const problems = [];
  for (const [key, want] of Object.entries(expected)) {
    if (kViewKeys.has(key)) {
      const got = result.view[key === 'viewYawDegrees' ? 'yawDegrees' : 'pitchDegrees'];
      if (AnglesDiffer(got, want)) problems.push(`${key}: viewer looks at ${got}, expected ${want}`);
      continue;
    }
    if (!(key in result.panoData)) {
      problems.push(`${key}: not a panorama data field of the viewer`);
      continue;
    }
    if (!result.xmp) problems.push(`${key}: the file has no GPano XMP, expected ${want}`);
    else if (result.xmp[key] !== want) problems.push(`${key}: the file's XMP says ${result.xmp[key]}, expected ${want}`);
    if (result.panoData[key] !== want) problems.push(`${key}: the viewer uses ${result.panoData[key]}, expected ${want}`);
  }
  return problems;
}

function ExpectedFor(expectations, file) {
  if (!expectations) return null;
  return expectations[file] || expectations[path.basename(file)] || null;
}

function ScreenshotPath(dir, file, used) {
  const stem = path.basename(file).replace(/\.[^.]*$/, '');
  let name = `${stem}.png`;
  for (let n = 2; used.has(name); ++n) name = `${stem}-${n}.png`;
  used.add(name);
  return path.join(dir, name);
}

async function OpenOne(browser, baseUrl, index, file, args, screenshotPath) {
  const page = await browser.newPage();
  const warnings = [];
  page.on('console', (msg) => {
    // SwiftShader's "GPU stall due to ReadPixels" notes come from taking
    // the screenshot and say nothing about the panorama.
    if ((msg.type() === 'warn' || msg.type() === 'error') && !msg.text().includes('GL Driver Message')) {
      warnings.push(msg.text());
    }
  });
  page.on('pageerror', (err) => warnings.push(`page error: ${err.message}`));
  page.on('requestfailed', (req) => warnings.push(`request failed: ${req.url()}`));
  try {
    await page.setViewport(kViewport);
    const pano = `/pano/${index}.jpg`;
    await page.goto(`${baseUrl}/viewer.html?pano=${encodeURIComponent(pano)}`, { waitUntil: 'load' });
    await page.waitForFunction('window.viewerResult || window.viewerError', {
      timeout: args.timeoutSeconds * 1000,
      polling: 100,
    });
    const { result, error, webgl } = await page.evaluate(() => ({
      result: window.viewerResult || null,
      error: window.viewerError || null,
      webgl: window.viewerWebGL || null,
    }));
    if (!webgl) {
      throw new FatalError(`WebGL did not start in Chromium (${kChromium} ${kChromiumArgs.join(' ')}): ${error}`);
    }
    if (error) return { error, warnings };
    const png = await page.screenshot({ type: 'png' });
    if (screenshotPath) await writeFile(screenshotPath, png);
    const screen = await MeasureScreen(page, png);
    return { ...result, screen, warnings };
  } catch (err) {
    if (err instanceof FatalError) throw err;
    const reason = err.name === 'TimeoutError'
      ? `no panorama data within ${args.timeoutSeconds} s`
      : String(err.message || err);
    return { error: reason, warnings };
  } finally {
    await page.close();
  }
}

async function Main() {
  const args = ParseArgs(process.argv.slice(2));
  const files = args.files.map((f) => path.resolve(f));
  const expectations = args.expect ? JSON.parse(await readFile(args.expect, 'utf8')) : null;
  if (args.screenshots) await mkdir(args.screenshots, { recursive: true });

  const server = await StartServer(files);
  const baseUrl = `http://127.0.0.1:${server.address().port}`;
  const profile = await mkdtemp(path.join(tmpdir(), 'viewer-test-profile-'));
  let browser = null;
  let passed = 0;
  let failed = 0;
  let fatal = null;
  try {
    try {
      browser = await puppeteer.launch({
        executablePath: kChromium,
        headless: true,
        args: kChromiumArgs.filter((a) => a !== '--headless=new'),  // headless: true adds it
        userDataDir: profile,
        timeout: kLaunchTimeoutSeconds * 1000,
      });
    } catch (err) {
      throw new FatalError(`Chromium did not start (${kChromium}): ${err.message}`);
    }
    const usedNames = new Set();
    for (let i = 0; i < files.length; ++i) {
      const file = args.files[i];
      const started = Date.now();
      const shot = args.screenshots ? ScreenshotPath(args.screenshots, file, usedNames) : null;
      const outcome = await OpenOne(browser, baseUrl, i, file, args, shot);
      const problems = [];
      if (outcome.error) {
        problems.push(outcome.error);
      } else {
        if (outcome.screen.litFraction < kMinLitFraction) {
          problems.push(`the viewer shows a black screen (${(outcome.screen.litFraction * 100).toFixed(2)}% lit)`);
        }
        for (const w of outcome.warnings) {
          if (/invalid panoData/i.test(w)) problems.push(`viewer warning: ${w}`);
        }
        const expected = ExpectedFor(expectations, file);
        if (expectations && !expected) problems.push('no expected values for this file');
        if (expected) problems.push(...CompareWithExpected(outcome, expected));
      }
      const line = { file, ...outcome, screenshot: shot, ms: Date.now() - started };
      if (problems.length) line.problems = problems;
      process.stdout.write(`${JSON.stringify(line)}\n`);
      for (const p of problems) process.stderr.write(`viewer-test: ${file}: ${p}\n`);
      if (problems.length) ++failed; else ++passed;
    }
  } catch (err) {
    if (!(err instanceof FatalError)) throw err;
    fatal = err.message;
  } finally {
    if (browser) await browser.close();
    server.close();
    await rm(profile, { recursive: true, force: true });
  }
  if (fatal) Fail(fatal);
  process.stderr.write(`viewer-test: ${passed} passed, ${failed} failed\n`);
  return failed === 0 ? 0 : 1;
}

Main().then((status) => process.exit(status), (err) => Fail(err.stack || String(err)));
