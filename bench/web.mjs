// Measures the page in headless Chromium: how long after navigation it is
// ready to convert, and how long its first conversion of a 15-block file
// takes (reading the file, running the tool, offering the image), as the page
// itself times them. Prints the medians of RUNS fresh loads; asserts nothing.
//
//   node bench/web.mjs [SITE]     (default: build/web/site)
import { open, page } from "../tests/web_site.mjs";

const RUNS = 11;
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];

const { origin, browser, close } = await open(process.argv[2] ?? "build/web/site");
const ready = [];
const first = [];
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
} finally {
  await close();
}
console.log(`page ready after load: ${median(ready).toFixed(1)} ms (median of ${RUNS})`);
console.log(`first conversion, 122,880 bytes: ${median(first).toFixed(1)} ms (median of ${RUNS})`);
