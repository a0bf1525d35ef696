// Drives the built page in headless Chromium: files chosen through it, each
// shown line and each downloaded image compared with what the native tool
// prints and writes for the same name and title in a folder holding just
// that file; the banner shown once; no request outside the page's origin;
// keyboard-only use; and the site's size.
//
//   node tests/web_test.mjs --site DIR --tool NATIVE-CARDWRAP
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { parseArgs } from "node:util";

import { open, page } from "./web_site.mjs";

const BLOCK = 8192;
const MAX = 15 * BLOCK;
const MAX_SITE_BYTES = 150 * 1024;

function bytes(size, seed) {
  const data = Buffer.alloc(size);
  for (let i = 0; i < size; i++) data[i] = (i * 31 + seed) & 0xff;
  return data;
}

// Files chosen together share the title field, so the table is in batches.
const BATCHES = [
  { title: "", files: [
    ["pkapp.pda", bytes(1, 1)],
    ["block.pda", bytes(BLOCK, 2)],
    ["block-plus-one.pda", bytes(BLOCK + 1, 3)],
    ["limit.pda", bytes(MAX, 4)],
    ["over.pda", bytes(MAX + 1, 5)],
    ["empty.pda", bytes(0, 6)],
    ["a.b.c.pda", bytes(100, 7)],
    ["noextension", bytes(100, 8)],
    ["caf\u00e9 \u00e0 la cr\u00e8me.pda", bytes(100, 9)],
    ["\u30bb\u30fc\u30d6.pda", bytes(100, 10)],
    ["abcdefghijklmnopqrstuvwxyz.pda", bytes(100, 11)],
    ["save.mcx", bytes(100, 12)],
  ] },
  { title: "BBSSSSP00000FILE01", files: [
    ["pkapp.pda", bytes(8191, 13)],
    ["limit.pda", bytes(MAX - 1, 14)],
    ["over.pda", bytes(3 * MAX, 15)],
  ] },
  { title: "lower case and more than twenty bytes", files: [["x.y", bytes(5, 16)]] },
  { title: "\u30bb\u30fc\u30d6 \u00e9", files: [["t.pda", bytes(5, 17)]] },
];

// What `cardwrap NAME [TITLE]` prints and writes in a folder holding only NAME.
function native(tool, name, data, title) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-web-"));
  try {
    fs.writeFileSync(path.join(folder, name), data);
    const args = title === "" ? [name] : [name, title];
    const run = spawnSync(tool, args, { cwd: folder });
    const lines = run.stdout.toString("utf8").split("\n").filter((line) => line !== "");
    const result = { banner: lines[0], line: lines.slice(1).join("\n"), name: null, image: null };
    if (run.status === 0) {
      const written = fs.readdirSync(folder).filter((entry) => entry !== name);
      result.name = written.length ? written[0] : name;
      result.image = fs.readFileSync(path.join(folder, result.name));
    }
    return result;
  } finally {
    fs.rmSync(folder, { recursive: true });
  }
}

// Chromium drops a download that begins when ten others have begun in the
// past second: in a quick run of clicks, every eleventh is ignored. Before
// each click the test waits until fewer than ten of its downloads are that
// recent, a condition of the browser's that holds however fast the machine.
const BURST = 10;
const BURST_MS = 1100;
const begun = [];

async function downloadFrom(tab, link) {
  if (begun.length >= BURST) {
    const wait = begun[begun.length - BURST] + BURST_MS - Date.now();
    if (wait > 0) await tab.waitForTimeout(wait);
  }
  const [download] = await Promise.all([tab.waitForEvent("download"), link.click()]);
  begun.push(Date.now());
  return download;
}

// Every result on the page: the file's name, the line, and, where there is a
// link, the name and bytes of what it downloads.
async function shown(tab) {
  const results = [];
  for (const item of await tab.locator("#results li").all()) {
    const link = item.locator("a[download]");
    const result = {
      file: await item.locator(".name").textContent(),
      line: await item.locator("samp").textContent(),
      name: null,
      image: null,
    };
    if (await link.count()) {
      const download = await downloadFrom(tab, link);
      result.name = download.suggestedFilename();
      result.image = fs.readFileSync(await download.path());
    }
    results.push(result);
  }
  return results;
}

async function convertThroughPage(tab, batch) {
  const before = await tab.locator("#results li").count();
  await tab.setInputFiles("#files", batch.files.map(([name, data]) => (
    { name, mimeType: "application/octet-stream", buffer: data })));
  await tab.fill("#title", batch.title);
  await tab.click("#go");
  await tab.waitForFunction((n) => document.querySelectorAll("#results li").length === n,
    before + batch.files.length);
}

function compare(faults, label, got, want) {
  if (got.file !== label.name) faults.push(`${label.text}: shown as ${got.file}`);
  if (got.line !== want.line) faults.push(`${label.text}: line ${JSON.stringify(got.line)}, want ${JSON.stringify(want.line)}`);
  if (got.name !== want.name) faults.push(`${label.text}: download ${got.name}, want ${want.name}`);
  const image = got.image;
  if ((image === null) !== (want.image === null) || (image && !image.equals(want.image))) {
    faults.push(`${label.text}: image of ${image?.length ?? "no"} bytes differs from the tool's ${want.image?.length ?? "none"}`);
  }
}

async function conversions(browser, origin, tool) {
  const faults = [];
  const { tab, requests } = await page(browser, origin);
  let want = [];
  for (const batch of BATCHES) {
    await convertThroughPage(tab, batch);
    want = want.concat(batch.files.map(([name, data]) => ({
      label: { name, text: `${name} (${data.length} B, title ${JSON.stringify(batch.title)})` },
      result: native(tool, name, data, batch.title),
    })));
  }
  const got = await shown(tab);
  if (got.length !== want.length) faults.push(`${got.length} results shown, want ${want.length}`);
  want.forEach((w, i) => got[i] && compare(faults, w.label, got[i], w.result));

  const banner = want[0].result.banner;
  const text = await tab.innerText("body");
  if (text.split(banner).length - 1 !== 1) faults.push(`the banner "${banner}" is not shown exactly once`);
  const foreign = requests.filter((url) => !url.startsWith(origin + "/") && !url.startsWith("blob:"));
  if (foreign.length) faults.push(`requests outside the page's origin: ${foreign.join(", ")}`);
  return faults;
}

// Choose a file, convert it and reach its link with the keyboard alone.
async function keyboard(browser, origin) {
  const faults = [];
  const { tab } = await page(browser, origin);
  await tab.bringToFront();
  const focused = () => tab.evaluate(() => {
    const e = document.activeElement;
    return e.id || (e.matches("a[download]") ? "link" : e.tagName);
  });
  const tabTo = async (target) => {
    for (let i = 0; i < 10; i++) {
      await tab.keyboard.press("Tab");
      if (await focused() === target) return true;
    }
    faults.push(`Tab never reached ${target}`);
    return false;
  };
  if (await tabTo("files")) {
    // Waiting for the event turns on the browser's interception of file
    // choosers, so it starts before the key that opens one.
    const chooser = tab.waitForEvent("filechooser");
    await tab.keyboard.press("Space");
    await (await chooser).setFiles({ name: "keys.pda", mimeType: "application/octet-stream", buffer: bytes(10, 1) });
  }
  if (await tabTo("go")) {
    await tab.keyboard.press("Enter");
    await tab.waitForSelector("#results a[download]");
  }
  await tabTo("link");
  for (const id of ["files", "title"]) {
    const labelled = await tab.evaluate((i) => document.querySelector(`label[for="${i}"]`) !== null, id);
    if (!labelled) faults.push(`#${id} has no label`);
  }
  return faults;
}

function siteSize(site) {
  const total = fs.readdirSync(site).reduce((sum, name) => sum + fs.statSync(path.join(site, name)).size, 0);
  return total <= MAX_SITE_BYTES ? [] : [`the site is ${total} bytes, over ${MAX_SITE_BYTES}`];
}

async function main() {
  const { values } = parseArgs({ options: { site: { type: "string" }, tool: { type: "string" } } });
  const { origin, browser, close } = await open(values.site);
  const groups = {};
  try {
    groups.keyboard = await keyboard(browser, origin);
    groups.conversions = await conversions(browser, origin, path.resolve(values.tool));
    groups.size = siteSize(values.site);
  } finally {
    await close();
  }
  let failed = 0;
  for (const [name, faults] of Object.entries(groups)) {
    for (const fault of faults) console.log(`FAIL ${name}: ${fault}`);
    failed += faults.length ? 1 : 0;
  }
  console.log(`${Object.keys(groups).length - failed} passed, ${failed} failed`);
  process.exitCode = failed ? 1 : 0;
}

await main();
