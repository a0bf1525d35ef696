// Measures the page in headless Chromium: how long after navigation it is
// ready to convert, and how long its first conversion of a 15-block file
// takes (reading the file, running the tool, offering the image), as the page
// itself times them; then, for files of 122,881 bytes to 2 GB (sparse, so
// they take no room on the disk), the longest task on the page's main thread
// while it converts one, and the peak memory of the browser's page processes
// by then. Prints the medians of RUNS fresh loads and each file's figures;
// asserts nothing.
//
//   node bench/web.mjs [SITE]     (default: build/web/site)
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import { open, page } from "../tests/web_site.mjs";

const RUNS = 11;
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

// The largest peak resident size (VmHWM) of the browser's page processes.
async function peakKiB(cdp) {
  const { processInfo } = await cdp.send("SystemInfo.getProcessInfo");
  const peaks = processInfo.filter((info) => info.type === "renderer").map((info) => {
    try {
      return Number(/VmHWM:\s*(\d+)/.exec(fs.readFileSync(`/proc/${info.id}/status`, "utf8"))[1]);
    } catch {
      return 0;
    }
  });
  return Math.max(0, ...peaks);
}

const { origin, browser, close } = await open(process.argv[2] ?? "build/web/site");
const ready = [];
const first = [];
const big = [];
const folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-bench-"));
try {
  for (let i = 0; i < RUNS; i++) {
    const { tab } = await page(browser, origin);
    await tab.setInputFiles("#files", [{ name: "bench.pda", mimeType: "application/octet-stream",
      buffer: Buffer.alloc(15 * 8192, 0xa5) }]);
    await tab.click("#go");
    await tab.waitForSelector("#results a[download]");
    const timings = await tab.evaluate(() => window.cardwrapTimings);
    ready.push(timings.ready);
    first.push(timings.firstConversion);
    await tab.context().close();
  }
  const cdp = await browser.newBrowserCDPSession();
  for (const [label, size] of [["122,881 bytes", 15 * 8192 + 1], ["300 MB", 300 << 20], ["1 GB", 2 ** 30], ["2 GB", 2 ** 31]]) {
    const file = path.join(folder, "big.pda");
    fs.closeSync(fs.openSync(file, "w"));
    fs.truncateSync(file, size);
    const { tab } = await page(browser, origin);
    await tab.evaluate(() => {
      window.longest = 0;
      new PerformanceObserver((list) => {
        for (const task of list.getEntries()) window.longest = Math.max(window.longest, task.duration);
      }).observe({ type: "longtask" });
    });
    await tab.setInputFiles("#files", file);
    await tab.click("#go");
    await tab.waitForSelector("#results tbody tr");
    // A long task is reported once it ends; the next frame is after it.
    const longest = await tab.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => setTimeout(() => resolve(window.longest)))));
    big.push(`${label}: longest main-thread task ${longest ? `${longest.toFixed(0)} ms` : "under 50 ms"}, `
      + `page processes' peak memory ${((await peakKiB(cdp)) / 1024).toFixed(0)} MiB`);
    await tab.context().close();
  }
} finally {
  await close();
  fs.rmSync(folder, { recursive: true });
}
console.log(`page ready after load: ${median(ready).toFixed(1)} ms (median of ${RUNS})`);
console.log(`first conversion, 122,880 bytes: ${median(first).toFixed(1)} ms (median of ${RUNS})`);
for (const line of big) console.log(`converting a file of ${line}`);
