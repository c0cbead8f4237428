// The peer of export_render_bench serve: one Chromium kept running and driven through its DevTools
// protocol, with a few pages open in parallel, as a command-line export service runs it.
// Usage: node export_render_bench.js <chromium> <pages> <width> <height> <file.html>...
// Reads one round a line from standard input, "png <folder>" or "pdf <folder>", and answers each
// with "<seconds> <failed>". Prints "ready" once the browser and its pages are up.
'use strict';
const path = require('path');
const readline = require('readline');
const { pathToFileURL } = require('url');
const puppeteer = require('puppeteer-core');

async function main() {
  const [executablePath, pageCount, width, height, ...files] = process.argv.slice(2);
  const w = Number(width), h = Number(height);
  const browser = await puppeteer.launch({
    executablePath,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--hide-scrollbars', '--no-first-run'],
    defaultViewport: { width: w, height: h },
  });
  // Each page in a context (and so a window) of its own: a tab left in the background of a shared
  // window may never paint the frame a screenshot waits for.
  const pages = [];
  for (let i = 0; i < Number(pageCount); ++i) pages.push(await (await browser.createBrowserContext()).newPage());

  async function round(format, folder) {
    let next = 0, failed = 0;
    const start = process.hrtime.bigint();
    await Promise.all(pages.map(async (page) => {
      while (next < files.length) {
        const file = files[next++];
        const target = path.join(folder, path.basename(file, '.html') + '.' + format);
        try {
          await page.goto(pathToFileURL(file).href, { waitUntil: 'load' });
          if (format === 'pdf')
            await page.pdf({ path: target, width: w + 'px', height: h + 'px', printBackground: true,
                             margin: { top: 0, right: 0, bottom: 0, left: 0 }, pageRanges: '1' });
          else
            await page.screenshot({ path: target, type: 'png', clip: { x: 0, y: 0, width: w, height: h },
                                    omitBackground: true });
        } catch (error) {
          process.stderr.write(String(error) + '\n');
          ++failed;
        }
      }
    }));
    const seconds = Number(process.hrtime.bigint() - start) / 1e9;
    return seconds.toFixed(3) + ' ' + failed;
  }

  process.stdout.write('ready\n');
  const lines = readline.createInterface({ input: process.stdin });
  for await (const line of lines) {
    const [format, folder] = line.trim().split(/\s+/);
    if (!format) continue;
    process.stdout.write(await round(format, folder) + '\n');
  }
  await browser.close();
}

main().catch((error) => {
  process.stderr.write(String(error && error.stack || error) + '\n');
  process.exit(1);
});
