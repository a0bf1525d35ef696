// Drives the built page in headless Chromium, one group of cases at a time,
// each shown line, downloaded image and zip entry compared with what the
// native tool prints and writes for the same name and title in a folder
// holding just that file (or nothing, for a file the browser cannot read):
//   conversions  a table of files and titles (in Shift_JIS, written out) in
//                batches; each image's title as the card reads it; the
//                name each download is offered and saved under; the banner
//                and the release once; each batch's summary; the latest
//                batch's zip, no two names in a folder alike but for case;
//                no request outside the page's origin; nothing the page's
//                policy blocks
//   vanishing    files removed or rewritten on disk after they were chosen
//   early        files dropped and chosen, and Enter pressed, while the
//                converter's script is held back
//   loading      a converter that cannot load says what failed, Convert
//                pressed before it failed or after; the files wait
//   file         the site opened straight from disk (file://)
//   offline      installable; loaded and used with the network gone after
//                one visit; a new version served waits,
//                said, until Reload
//   audit        axe-core (AA and best practices), desktop, dark, phone and
//                forced colours, before and after a batch of mixed results;
//                the batch in view and said once; the phone layout and
//                forced colours; each saved as a screenshot with --shots
//   keyboard     the whole batch flow by keyboard, Download all and Clear
//   title        what the title field says the card gets, in Shift_JIS
//                bytes; a character the card cannot show named, and Convert
//                refused for it
//   busy         Convert while a batch runs; what is announced; files added
//                meanwhile wait, said; Clear then
//   refusals     a short summary of many refusals, and a way to them
//   zip          Download all says it works, the page answering meanwhile
//   names        names over 255 bytes: the tool's line, and why in words;
//                names no folder can hold: the tool's refusal, nothing else
//                reached or left; the tool's stack as it was after batches
//   controls     the batch buttons only while a batch can use them
//   drag         the drop highlight over children; text into the title;
//                dropped files join those chosen, listed with sizes and
//                marks; one removed is not converted
//   big          files of 122,881 bytes to 2 GB (sparse): the tool's own
//                line, and no read of more than 122,881 bytes
//   size         the site's size
//
//   node tests/web_test.mjs --site DIR --tool NATIVE-CARDWRAP [--shots DIR] [--release VERSION] [GROUP...]
//
// With --release, the page must say it belongs to that release.
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { pathToFileURL } from "node:url";
import { parseArgs } from "node:util";

import { open, page, thrown } from "./web_site.mjs";

const BLOCK = 8192;
const MAX = 15 * BLOCK;
const MAX_SITE_BYTES = 200 * 1024;

function bytes(size, seed) {
  const data = Buffer.alloc(size);
  for (let i = 0; i < size; i++) data[i] = (i * 31 + seed) & 0xff;
  return data;
}

// Typed titles; the Shift_JIS bytes the tool gets for each, written out
// (plain ASCII where none are); the whole characters the card gets of them
// (`card`), the character its 20th byte cuts (`cut`), and what the image's
// title reads as (`shows`, where it is not `card`). A character the card
// cannot show is never sent.
const TITLES = {
  ascii: { title: "BBSSSSP00000FILE01", card: "BBSSSSP00000FILE01" },
  long: { title: "lower case and more than twenty bytes", card: "lower case and more " },
  kana: { title: "\u30bb\u30fc\u30d6", hex: "835a815b8375", card: "\u30bb\u30fc\u30d6" },
  cut: { title: "a" + "\u30bb\u30fc\u30d6".repeat(3) + "\u30bb", hex: "61" + "835a815b8375".repeat(3) + "835a",
    card: "a" + "\u30bb\u30fc\u30d6".repeat(3), cut: "\u30bb", shows: "a" + "\u30bb\u30fc\u30d6".repeat(3) + "\ufffd" },
  mixed: { title: "\uff7e\uff70\uff8c\uff9e \u03a9\u03bc\u03b5\u03b3\u03b1 \uff21\uff22", hex: "beb0ccde2083b683ca83c383c183bf2082608261",
    card: "\uff7e\uff70\uff8c\uff9e \u03a9\u03bc\u03b5\u03b3\u03b1 \uff21\uff22" },
  // Each where Windows puts it, of the two or three codes that give it.
  twice: { title: "\u7e8a\u2252\u2160\u2170\uffe2", hex: "fa5c81e08754fa4081ca", card: "\u7e8a\u2252\u2160\u2170\uffe2" },
  accent: { title: "caf\u00e9", unshowable: ["\u00e9"] },
  // The last a user-defined character, which Shift_JIS holds and no card shows.
  others: { title: "\u00fc\u20ac\u00fc\ue000", unshowable: ["\u00fc", "\u20ac", "\ue000"] },
};
const titleBytes = ({ title, hex }) => (hex ? Buffer.from(hex, "hex") : title);

// Files chosen together share the title field, so the table is in batches.
// The last one's zip must hold these entries, the images in order. A file's
// third element may say its image's title as the card reads it (`shows`),
// and the name its download is offered and saved under (`offered`), where
// not the tool's: one that every browser and disk keeps as it is.
const BATCHES = [
  { title: "", files: [
    ["pkapp.pda", bytes(1, 1), { shows: "BBSSSSPPKAPP" }],
    ["block.pda", bytes(BLOCK, 2)],
    ["block-plus-one.pda", bytes(BLOCK + 1, 3)],
    ["limit.pda", bytes(MAX, 4)],
    ["over.pda", bytes(MAX + 1, 5)],
    ["empty.pda", bytes(0, 6)],
    ["a.b.c.pda", bytes(100, 7)],
    ["noextension", bytes(100, 8)],
    ["caf\u00e9 \u00e0 la cr\u00e8me.pda", bytes(100, 9), { shows: "BBSSSSPCAF\uff83\uff69 \uff83\ufffd LA C" }],
    ["\u30bb\u30fc\u30d6.pda", bytes(100, 10)],
    ["abcdefghijklmnopqrstuvwxyz.pda", bytes(100, 11), { shows: "BBSSSSPABCDEFGHIJKLM" }],
    ["save.mcx", bytes(100, 12)],
    ["-?", bytes(10, 18)],
    [".pda", bytes(3, 27), { offered: "_.mcx" }],
    ["a\\b.pda", bytes(3, 28), { offered: "a_b.mcx" }],
    [" spaced .pda", bytes(3, 29), { offered: "_spaced .mcx" }],
    ["~what?.pda", bytes(3, 30), { offered: "_what_.mcx" }],
    ["con.pda", bytes(3, 31), { offered: "_con.mcx" }],
    ["right\u202eleft.pda", bytes(3, 32), { offered: "right_left.mcx" }],
  ] },
  { ...TITLES.ascii, files: [
    ["pkapp.pda", bytes(8191, 13)],
    ["limit.pda", bytes(MAX - 1, 14)],
    ["over.pda", bytes(3 * MAX, 15)],
    ["-?", bytes(10, 19), { offered: "-_.mcx" }],
  ] },
  { ...TITLES.long, files: [["x.y", bytes(5, 16)]] },
  { ...TITLES.kana, files: [["t.pda", bytes(5, 17)]] },
  { ...TITLES.cut, files: [["cut.pda", bytes(5, 24)]] },
  { ...TITLES.mixed, files: [["mixed.pda", bytes(5, 25)]] },
  { ...TITLES.twice, files: [["twice.pda", bytes(5, 26)]] },
  // Names no folder holds side by side on some system go into folders.
  { title: "", zip: ["twin.mcx", "2/twin.mcx", "\u00fcn\u00ef.mcx", "Save.mcx", "2/save.mcx", "3/SAVE.mcx",
    "2/u\u0308n\u00ef.mcx", "a_b.mcx", "2/a_b.mcx"], files: [
    ["twin.pda", bytes(10, 20)],
    ["twin.mcx", bytes(20, 21)],
    ["empty.pda", bytes(0, 22)],
    ["\u00fcn\u00ef.pda", bytes(30, 23)],
    ["Save.pda", bytes(30, 33)],
    ["save.bin", bytes(30, 34)],
    ["SAVE", bytes(30, 35)],
    // 0x88 is a lead byte, so "n" is not upper-cased; 0x88 0x6E is no
    // character, and "n" reads as itself after it.
    ["u\u0308n\u00ef.pda", bytes(30, 36), { shows: "BBSSSSPU\uff8c\ufffdn\uff83\uff6f" }],
    ["a:b.pda", bytes(3, 37), { offered: "a_b.mcx" }],
    ["a?b.pda", bytes(3, 38), { offered: "a_b.mcx" }],
  ] },
];

// What `cardwrap NAME [TITLE]` prints and writes in a folder holding only
// NAME, or nothing when `data` is null: every file it made or changed. A
// number for `data` is a sparse file of that many bytes, as big as any.
function native(tool, name, data, title) {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-web-"));
  try {
    if (typeof data === "number") sparse(path.join(folder, name), data);
    else if (data) fs.writeFileSync(path.join(folder, name), data);
    const args = title === "" ? [name] : [name, title];
    // Bytes that are not UTF-8 go through Python, which can hand them over.
    const run = Buffer.isBuffer(title)
      ? spawnSync("python3", ["-c", "import os, sys; os.execv(sys.argv[1], sys.argv[1:2] + [bytes.fromhex(a) for a in sys.argv[2:]])",
        tool, ...args.map((arg) => Buffer.from(arg).toString("hex"))], { cwd: folder })
      : spawnSync(tool, args, { cwd: folder });
    const lines = run.stdout.toString("utf8").split("\n").filter((line) => line !== "");
    const kept = (entry) => entry === name && typeof data === "number" && fs.statSync(path.join(folder, entry)).size === data;
    const images = fs.readdirSync(folder).filter((entry) => !kept(entry)).map((entry) => [entry, fs.readFileSync(path.join(folder, entry))])
      .filter(([entry, image]) => entry !== name || !Buffer.isBuffer(data) || !image.equals(data));
    return { banner: lines[0], line: lines.slice(1).join("\n"), status: run.status, images };
  } finally {
    fs.rmSync(folder, { recursive: true });
  }
}

function sparse(file, size) {
  fs.closeSync(fs.openSync(file, "w"));
  fs.truncateSync(file, size);
}

// Chromium drops a download that begins when ten others have begun in the
// past second: in a quick run of clicks, every eleventh is ignored. Before
// each click the test waits until fewer than ten of its downloads are that
// recent, a condition of the browser's that holds however fast the machine.
const BURST = 10;
const BURST_MS = 1100;
const begun = [];

async function download(tab, target) {
  if (begun.length >= BURST) {
    const wait = begun[begun.length - BURST] + BURST_MS - Date.now();
    if (wait > 0) await tab.waitForTimeout(wait);
  }
  const [started] = await Promise.all([tab.waitForEvent("download"), target()]);
  begun.push(Date.now());
  return { name: started.suggestedFilename(), data: fs.readFileSync(await started.path()) };
}

// Every batch on the page, oldest first: its heading, its summary, and each
// row's file name, line, gauge and downloads.
async function shown(tab) {
  const batches = [];
  for (const section of (await tab.locator("#results .batch").all()).reverse()) {
    const rows = [];
    for (const item of await section.locator("tbody tr").all()) {
      const images = [];
      // The name the page offers; the browser may change it when it saves.
      for (const link of await item.locator("a[download]").all()) {
        const saved = await download(tab, () => link.click());
        images.push([await link.getAttribute("download"), saved.data, saved.name]);
      }
      rows.push({ file: await item.locator(".name").textContent(), line: await item.locator("samp").textContent(), images,
        title: await item.locator(".title").textContent(), text: await item.textContent(),
        blocks: await item.locator(".gauge .used").count(), cells: await item.locator(".gauge span").count() });
    }
    batches.push({ heading: await section.locator("h3").textContent(),
      summary: await section.locator(".summary > span").textContent(), rows });
  }
  return batches;
}

const settled = (tab, n) => tab.waitForFunction((count) =>
  document.querySelectorAll("#results .batch").length === count && !document.querySelector(".batch.busy"), n);

async function choose(tab, batch, press = () => tab.click("#go")) {
  const before = await tab.locator("#results .batch").count();
  await tab.setInputFiles("#files", batch.files.map(([name, data]) => (
    { name, mimeType: "application/octet-stream", buffer: data })));
  await tab.fill("#title", batch.title);
  await press();
  return before + 1;
}

// What the page says of a typed title: all of it that the card gets, and,
// when more was typed, how much, and a character cut in two.
function saysTitle(text, entry) {
  const typed = Buffer.byteLength(titleBytes(entry));
  return text.includes(`\u201c${entry.card ?? entry.title}\u201d`) && (typed <= 20 || text.includes(`${typed} bytes`))
    && (!entry.cut || text.includes(`\u201c${entry.cut}\u201d`));
}

// An image's title as the card reads it, its first 20 bytes up to a zero.
const readTitle = (image) => new TextDecoder("shift_jis").decode(image.subarray(0, 20)).replace(/\0.*/s, "");

// The tool's outcome for each file of each batch, against what the page
// shows; `unread` names files that the browser could not read.
function compare(faults, tool, batches, got, unread = new Set()) {
  if (got.length !== batches.length) faults.push(`${got.length} batches shown, want ${batches.length}`);
  batches.forEach((batch, b) => {
    const shownBatch = got[b] ?? { rows: [] };
    const want = batch.files.map(([name, data]) => native(tool, name, unread.has(name) ? null : data, titleBytes(batch)));
    const heading = shownBatch.heading ?? "";
    if (batch.title === "" ? !heading.endsWith("title from the file name") : !saysTitle(heading, batch)) {
      faults.push(`batch ${b + 1}: heading ${heading}`);
    }
    const made = want.filter((w) => w.images.length).length;
    const missed = want.length - made;
    const summary = `${made} image${made === 1 ? "" : "s"}${missed ? `, ${missed} file${missed === 1 ? "" : "s"} with no image` : ""}`;
    if (shownBatch.summary !== summary) faults.push(`batch ${b + 1}: summary ${shownBatch.summary}, want ${summary}`);
    if (shownBatch.rows.length !== want.length) faults.push(`batch ${b + 1}: ${shownBatch.rows.length} rows, want ${want.length}`);
    want.forEach((w, i) => {
      const [name, data, { shows: title = batch.shows ?? batch.card ?? (batch.title || undefined), offered } = {}] = batch.files[i];
      const text = `${name} (${data.length ?? data} B, title ${JSON.stringify(batch.title)})`;
      const row = shownBatch.rows[i];
      if (!row) return;
      if (row.file !== name) faults.push(`${text}: shown as ${row.file}`);
      if (row.line !== w.line) faults.push(`${text}: line ${JSON.stringify(row.line)}, want ${JSON.stringify(w.line)}`);
      const same = row.images.length === w.images.length
        && row.images.every(([n, d, saved], k) => n === (offered ?? w.images[k][0]) && saved === n && d.equals(w.images[k][1]));
      if (offered && !row.text.includes(`\u201c${w.images[0]?.[0]}\u201d`)) faults.push(`${text}: the row does not name the tool's ${w.images[0]?.[0]}`);
      const shows = w.images.length ? title ?? readTitle(w.images[0][1]) : "";
      if (row.title !== shows) faults.push(`${text}: the card title shown is ${JSON.stringify(row.title)}, want ${JSON.stringify(shows)}`);
      if (!same) {
        faults.push(`${text}: downloads ${row.images.map(([n, d, saved]) => `${n} saved as ${saved} (${d.length} B)`)}, `
          + `want ${w.images.map(([n, d]) => `${offered ?? n} (${d.length} B)`)}`);
      }
      // A 54-byte header, then whole blocks of 8,192 bytes; a card holds 15.
      const blocks = w.images.length ? (w.images[0][1].length - 54) / BLOCK : 0;
      if (row.blocks !== blocks || row.cells !== (w.images.length ? 15 : 0)) faults.push(`${text}: gauge ${row.blocks} of ${row.cells}, want ${blocks} of 15`);
    });
  });
}

// Read by Python's zipfile, which checks each entry's CRC.
function unzip(data) {
  const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-zip-")), "all.zip");
  fs.writeFileSync(file, data);
  const read = spawnSync("python3", ["-c", `import base64, json, sys, zipfile
print(json.dumps([[i.filename, base64.b64encode(zipfile.ZipFile(sys.argv[1]).read(i)).decode()]
                  for i in zipfile.ZipFile(sys.argv[1]).infolist()]))`, file], { maxBuffer: 1 << 28 });
  fs.rmSync(path.dirname(file), { recursive: true });
  return read.status === 0 ? JSON.parse(read.stdout).map(([n, d]) => [n, Buffer.from(d, "base64")]) : [["unreadable", read.stderr]];
}

// The zip of the latest batch against its downloads, entry for entry.
async function compareZip(faults, tab, batch, rows, press = () => tab.click("#download-all")) {
  const got = unzip((await download(tab, press)).data);
  const images = rows.flatMap((row) => row.images.map(([, data]) => data));
  const names = got.map(([name]) => name).join(", ");
  if (names !== batch.zip.join(", ")) faults.push(`zip entries ${names}, want ${batch.zip.join(", ")}`);
  if (!got.every(([, data], i) => images[i]?.equals(data))) faults.push("zip entries differ from the images");
}

async function policyKept(faults, tab, requests, allowed) {
  const blocked = await tab.evaluate(() => window.watched.blocked);
  if (blocked.length) faults.push(`the page's policy blocked: ${blocked.join(", ")}`);
  const foreign = requests.filter((url) => !allowed(url) && !url.startsWith("blob:"));
  if (foreign.length) faults.push(`requests outside the site: ${foreign.join(", ")}`);
}

async function batchesThroughPage(faults, tool, tab, batches, unread) {
  for (const batch of batches) await settled(tab, await choose(tab, batch));
  const got = await shown(tab);
  compare(faults, tool, batches, got, unread);
  if (batches.at(-1).zip) await compareZip(faults, tab, batches.at(-1), got.at(-1).rows);
}

const groups = {
  async conversions({ browser, origin, tool, release }, faults) {
    const { tab, requests } = await page(browser, origin);
    const footer = await tab.textContent("footer");
    if (release && !footer.includes(`cardwrap ${release} \u00b7`)) faults.push(`the footer says ${JSON.stringify(footer)}, not release ${release}`);
    await batchesThroughPage(faults, tool, tab, BATCHES);
    const banner = native(tool, "x", null, "").banner;
    if ((await tab.innerText("body")).split(banner).length !== 2) faults.push(`the banner "${banner}" is not shown exactly once`);
    await policyKept(faults, tab, requests, (url) => url.startsWith(origin + "/"));
  },

  async vanishing({ browser, origin, tool }, faults) {
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-chosen-"));
    const batch = { title: "", files: [["gone.pda", bytes(10, 1)], ["rewritten.pda", bytes(10, 2)], ["kept.pda", bytes(10, 3)]] };
    for (const [name, data] of batch.files) fs.writeFileSync(path.join(folder, name), data);
    const { tab } = await page(browser, origin);
    await tab.setInputFiles("#files", batch.files.map(([name]) => path.join(folder, name)));
    fs.rmSync(path.join(folder, "gone.pda"));
    fs.writeFileSync(path.join(folder, "rewritten.pda"), bytes(20, 4));
    fs.utimesSync(path.join(folder, "rewritten.pda"), 1e9, 1e9);
    await tab.click("#go");
    await settled(tab, 1);
    compare(faults, tool, [batch], await shown(tab), new Set(["gone.pda", "rewritten.pda"]));
    fs.rmSync(folder, { recursive: true });
  },

  async early({ browser, origin, tool }, faults) {
    let release;
    const held = new Promise((resolve) => { release = resolve; });
    const { tab } = await page(browser, origin, { ready: false,
      route: ["**/cardwrap.js", async (route) => { await held; await route.continue(); }] });
    await tab.waitForFunction(() => window.cardwrapTimings !== undefined);
    const dropped = [["first.pda", bytes(10, 1)], ["over.pda", bytes(MAX + 1, 2)]];
    const typed = { title: "EARLY", files: [["second.pda", bytes(20, 3)]] };
    await drop(tab, "body", dropped);
    await choose(tab, typed, () => tab.press("#title", "Enter"));
    if (!/loading/i.test(await tab.textContent("#status"))) faults.push("the page does not say it is loading");
    release();
    await settled(tab, 1);
    compare(faults, tool, [{ title: typed.title, files: [...dropped, ...typed.files] }], await shown(tab));
  },

  async loading({ browser, origin }, faults) {
    const cases = [
      ["cardwrap.js", (route) => route.fulfill({ status: 404 }), /cardwrap\.js.*reload/is],
      ["cardwrap-wasm.js", (route) => route.fulfill({ contentType: "text/javascript", body: 'self.cardwrapWasm = "AGFzbQ==";' }),
        /WebAssembly.*reload/is],
    ];
    // Convert pressed before the converter fails, and after: each time the
    // page says why, and the file waits in the list.
    for (const [name, answer, said] of cases) {
      let release;
      const held = new Promise((resolve) => { release = resolve; });
      const { tab } = await page(browser, origin, { ready: false, route: [`**/${name}`, async (route) => { await held; await answer(route); }] });
      await tab.waitForFunction(() => window.cardwrapTimings !== undefined);
      await choose(tab, { title: "", files: [["x.pda", bytes(1, 1)]] });
      release();
      await tab.waitForFunction(() => document.body.dataset.converter === "failed");
      for (const when of ["before", "after"]) {
        if (when === "after") await tab.click("#go");
        const seen = await tab.evaluate(() => [document.getElementById("status").textContent, document.querySelector(".chosen").textContent]);
        if (!said.test(seen[0]) || !seen[1].includes("x.pda")) faults.push(`${name} not loaded, Convert pressed ${when}: ${JSON.stringify(seen)}`);
      }
      await tab.context().close();
    }
  },

  async file({ browser, site, tool }, faults) {
    const { tab, requests } = await page(browser, null, { url: pathToFileURL(path.join(site, "index.html")).href });
    await batchesThroughPage(faults, tool, tab, BATCHES.slice(-1));
    await policyKept(faults, tab, requests, (address) => address.startsWith(pathToFileURL(site).href + "/"));
  },

  async offline({ browser, origin, server, site, shots, tool }, faults) {
    const { tab } = await page(browser, origin);
    await tab.evaluate(() => navigator.serviceWorker.ready);
    // The test's browser profile is incognito-like; nothing else may stand
    // in the way of installing the page as an app.
    const { installabilityErrors } = await (await tab.context().newCDPSession(tab)).send("Page.getInstallabilityErrors");
    const errors = installabilityErrors.map((e) => e.errorId).filter((id) => id !== "in-incognito");
    if (errors.length) faults.push(`not installable: ${errors}`);
    server.down = true;
    await tab.context().setOffline(true);
    await tab.reload();
    await tab.waitForFunction(() => document.body.dataset.converter === "ready");
    await batchesThroughPage(faults, tool, tab, BATCHES.slice(-1));
    // A new version: other bytes in a page file and in the worker.
    const next = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-next-"));
    for (const name of fs.readdirSync(site)) fs.copyFileSync(path.join(site, name), path.join(next, name));
    fs.writeFileSync(path.join(next, "index.html"), fs.readFileSync(path.join(site, "index.html"), "utf8").replace("<h1>cardwrap</h1>", "<h1>cardwrap next</h1>"));
    fs.writeFileSync(path.join(next, "sw.js"), fs.readFileSync(path.join(site, "sw.js"), "utf8").replace(/cardwrap-[0-9a-f]{16}/, "cardwrap-next"));
    try {
      Object.assign(server, { site: next, down: false });
      await tab.context().setOffline(false);
      await tab.reload();
      // It waits, said through a batch and a reload of the page, until Reload.
      const waiting = async (when) => {
        await tab.waitForSelector("#reload", { state: "visible" });
        if (when === "after a batch") await settled(tab, await choose(tab, { title: "", files: [["x.pda", bytes(1, 1)]] }));
        const seen = await tab.evaluate(async () => ({ notice: document.getElementById("update").textContent,
          heading: document.querySelector("h1").textContent,
          waiting: (await navigator.serviceWorker.getRegistration()).waiting?.state, caches: await caches.keys() }));
        if (!/new version/.test(seen.notice) || seen.heading !== "cardwrap" || seen.waiting !== "installed" || seen.caches.length !== 2) {
          faults.push(`a new version, ${when}: ${JSON.stringify(seen)}`);
        }
      };
      await waiting("served");
      if (shots) await tab.screenshot({ path: path.join(shots, "new-version.png"), fullPage: true });
      await waiting("after a batch");
      await tab.reload();
      await waiting("after the page is reloaded");
      await tab.click("#reload");
      await tab.waitForFunction(() => document.querySelector("h1").textContent === "cardwrap next");
      const kept = await tab.evaluate(() => caches.keys());
      if (kept.join() !== "cardwrap-next") faults.push(`caches after the update: ${kept}`);
    } finally {
      server.site = site;
      fs.rmSync(next, { recursive: true });
    }
  },

  async audit({ browser, origin, shots }, faults) {
    const axe = fs.readFileSync(createRequire(import.meta.url).resolve("axe-core/axe.min.js"), "utf8");
    const batch = { title: "", files: [["a.pda", bytes(10, 1)], ["half.pda", bytes(7 * BLOCK, 2)], ["full.pda", bytes(MAX, 3)],
      ["over.pda", bytes(MAX + 1, 4)], ["empty.pda", bytes(0, 5)], ["-?", bytes(1, 6)],
      ["aLongNameWithNoSpaceNorDashToBreakItAt.pda", bytes(10, 7)], ["\u30bb".repeat(100) + ".pda", bytes(10, 8)],
      [".pda", bytes(3, 9)], ["caf\u00e9.pda", bytes(4, 10)]] };
    const looks = [
      ["desktop", { colorScheme: "light", viewport: { width: 1280, height: 800 } }],
      ["dark", { colorScheme: "dark", viewport: { width: 1024, height: 768 } }],
      ["phone", { colorScheme: "light", viewport: { width: 360, height: 640 } }],
      ["forced", { forcedColors: "active", viewport: { width: 360, height: 640 } }],
    ];
    for (const [look, options] of looks) {
      const { tab } = await page(browser, origin, options);
      await tab.evaluate(axe);
      // Before: the files chosen, a title the card cannot show typed. After:
      // the batch, converted with no title, and a title too long typed.
      await tab.setInputFiles("#files", batch.files.map(([name, buffer]) => ({ name, mimeType: "application/octet-stream", buffer })));
      await tab.fill("#title", "\u30bb\u30fc\u30d6 \u00e9");
      for (const when of ["before", "after"]) {
        if (when === "after") {
          await tab.fill("#title", "");
          await tab.click("#go");
          await settled(tab, 1);
          await afterBatch(faults, tab, look);
          await tab.fill("#title", "a" + "\u30bb".repeat(10));
        }
        const found = await tab.evaluate(async () => (await axe.run(document, { runOnly: { type: "tag",
          values: ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa", "wcag22aa", "best-practice"] } }))
          .violations.map((v) => `${v.id} (${v.nodes.length})`));
        if (found.length) faults.push(`${look}, ${when} a batch: ${found.join(", ")}`);
        if (shots) await tab.screenshot({ path: path.join(shots, `${look}-${when}.png`), fullPage: true });
      }
      await tab.context().close();
    }
  },

  async keyboard({ browser, origin, tool }, faults) {
    const { tab } = await page(browser, origin);
    await tab.bringToFront();
    const focused = () => tab.evaluate(() => document.activeElement.id || document.activeElement.className || document.activeElement.tagName);
    const tabTo = async (target) => {
      for (let i = 0; i < 10; i++) {
        await tab.keyboard.press("Tab");
        if (await focused() === target) return true;
      }
      faults.push(`Tab never reached ${target}`);
      return false;
    };
    const batch = { title: "KEYS", zip: ["keys.mcx"], files: [["keys.pda", bytes(10, 1)], ["over.pda", bytes(MAX + 1, 2)]] };
    let folder = null;
    if (await tabTo("files")) {
      // Playwright turns on Chromium's interception of file choosers without
      // waiting for it, so a key pressed at once could still open the real
      // dialog (it did, under load). Turned on here, awaited, it is on before
      // the key.
      folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-keys-"));
      for (const [name, data] of batch.files) fs.writeFileSync(path.join(folder, name), data);
      const cdp = await tab.context().newCDPSession(tab);
      await cdp.send("Page.enable");
      await cdp.send("Page.setInterceptFileChooserDialog", { enabled: true });
      // Bounded as Playwright's own waits are, so a page that opens none fails.
      const opened = Promise.race([new Promise((resolve) => cdp.once("Page.fileChooserOpened", resolve)),
        tab.waitForTimeout(30000).then(() => { throw new Error("Space on the file input opened no file chooser"); })]);
      await tab.keyboard.press("Space");
      await cdp.send("DOM.setFileInputFiles", { backendNodeId: (await opened).backendNodeId,
        files: batch.files.map(([name]) => path.join(folder, name)) });
    }
    if (await tabTo("title")) await tab.keyboard.type(batch.title);
    if (await tabTo("go")) await tab.keyboard.press("Enter");
    await settled(tab, 1);
    // Read by now, the batch being done.
    if (folder) fs.rmSync(folder, { recursive: true });
    if (await focused() !== "go") faults.push(`after the batch the focus is on ${await focused()}, not Convert`);
    if (await tabTo("download-all")) {
      await compareZip(faults, tab, batch, [native(tool, "keys.pda", bytes(10, 1), "KEYS")], () => tab.keyboard.press("Enter"));
      if (await focused() !== "download-all") faults.push(`after Download all the focus is on ${await focused()}`);
    }
    if (await tabTo("clear")) await tab.keyboard.press("Enter");
    const after = await tab.evaluate(() => ({ rows: document.querySelectorAll("#results tr").length,
      kept: window.watched.made.filter((url) => !window.watched.revoked.includes(url)).length,
      made: window.watched.made.length, focus: document.activeElement.id }));
    if (after.rows || after.kept || after.made < 2) faults.push(`after Clear: ${JSON.stringify(after)}`);
    if (after.focus !== "files") faults.push(`after Clear the focus is on ${after.focus}`);
    for (const id of ["files", "title"]) {
      const tied = await tab.evaluate((i) => document.querySelector(`label[for="${i}"]`) !== null
        && document.getElementById(i).getAttribute("aria-describedby").split(" ").every((hint) => document.getElementById(hint)), id);
      if (!tied) faults.push(`#${id} lacks its label or its hint`);
    }
  },

  async title({ browser, origin }, faults) {
    const { tab } = await page(browser, origin);
    // Each in Shift_JIS bytes; every character the card cannot show named.
    for (const entry of [{ title: "" }, ...Object.values(TITLES)]) {
      await tab.fill("#title", entry.title);
      const said = await tab.textContent("#title-use");
      const typed = Buffer.byteLength(titleBytes(entry));
      const named = said.match(/\u201c[^\u201d]*\u201d/g)?.join("");
      if (entry.unshowable ? named !== entry.unshowable.map((char) => `\u201c${char}\u201d`).join("")
        : typed <= 20 ? !said.includes(`${typed} of 20 bytes`) : !saysTitle(said, entry)) {
        faults.push(`title ${JSON.stringify(entry.title)}: the field says ${JSON.stringify(said)}`);
      }
    }
    // Such a title stops Convert, which says why and leads back to it.
    await tab.setInputFiles("#files", [{ name: "x.pda", mimeType: "application/octet-stream", buffer: bytes(1, 1) }]);
    await tab.fill("#title", TITLES.accent.title);
    await tab.click("#go");
    const after = await tab.evaluate(() => ({ batches: document.querySelectorAll("#results .batch").length,
      status: document.getElementById("status").textContent, focus: document.activeElement.id }));
    if (after.batches || !after.status.includes("\u201c\u00e9\u201d") || after.focus !== "title") faults.push(`Convert with an accent in the title: ${JSON.stringify(after)}`);
  },

  async busy({ browser, origin, tool }, faults) {
    const { tab } = await page(browser, origin);
    const state = () => tab.evaluate(() => ({ disabled: document.getElementById("go").disabled,
      busy: document.getElementById("go").getAttribute("aria-busy"), batches: document.querySelectorAll("#results .batch").length,
      rows: document.querySelectorAll("#results tbody tr").length, chosen: document.querySelector(".chosen").textContent,
      status: document.getElementById("status").textContent }));
    const first = { title: "", files: [["a.pda", bytes(10, 1)], ["held.pda", bytes(10, 2)], ["empty.pda", bytes(0, 3)]] };
    const second = { title: "", files: [["dropped.pda", bytes(10, 4)]] };
    await hold(tab, "held.pda");
    await choose(tab, first);
    // Busy: pressed again, or Enter, it starts nothing; a drop joins the list, said.
    await tab.click("#go", { force: true });
    await tab.press("#title", "Enter");
    await drop(tab, "body", second.files);
    const during = await state();
    if (!during.disabled || during.busy !== "true" || during.batches !== 1 || !during.chosen.includes("dropped.pda")
      || !/added.*press Convert/.test(during.status)) {
      faults.push(`while a batch runs: ${JSON.stringify(during)}`);
    }
    await tab.evaluate(() => window.letGo());
    await settled(tab, 1);
    // What was added waits, said, for Convert.
    const done = await state();
    if (!done.chosen.includes("dropped.pda") || !/1 file waits in the list: press Convert/.test(done.status)) faults.push(`after the batch: ${JSON.stringify(done)}`);
    await settled(tab, await choose(tab, { title: "", files: [] }));
    compare(faults, tool, [first, second], await shown(tab));
    const said = await tab.evaluate(() => window.watched.said);
    for (const words of [/converting 3 files/i, /2 images, 1 file with no image\./, /converting 1 file/i, /1 image\./]) {
      if (!said.some((text) => words.test(text))) faults.push(`never announced: ${words}; said ${JSON.stringify(said)}`);
    }
    // Clear during a batch stops it, and says so.
    await hold(tab, "held.pda");
    await choose(tab, first);
    await tab.waitForFunction(() => document.querySelector(".summary").textContent.startsWith("1 of 3"));
    await tab.click("#clear");
    await tab.evaluate(() => window.letGo());
    await tab.waitForFunction(() => !document.getElementById("go").disabled);
    const cleared = await state();
    const kept = await tab.evaluate(() => window.watched.made.filter((url) => !window.watched.revoked.includes(url)).length);
    if (cleared.rows || kept || !/stopped/.test(cleared.status)) faults.push(`after Clear during a batch: ${JSON.stringify(cleared)}, ${kept} images kept`);
  },

  async refusals({ browser, origin }, faults) {
    const { tab } = await page(browser, origin);
    const files = [["good.pda", bytes(1, 1)], ...Array.from({ length: 60 }, (_, i) => [`empty-${i}.pda`, bytes(0, i)])];
    await settled(tab, await choose(tab, { title: "", files }));
    const seen = () => tab.evaluate(() => {
      const summary = document.querySelector(".summary");
      return { text: summary.textContent, controls: summary.querySelectorAll("a, button").length,
        rows: [...document.querySelectorAll("#results tbody tr")].filter((tr) => tr.getClientRects().length).length };
    });
    const before = await seen();
    // A count, and one way to the rows with no image, however many.
    if (before.text.length > 80 || !before.text.startsWith("1 image, 60 files with no image") || before.controls !== 1 || before.rows !== 61) {
      faults.push(`summary of 60 refusals: ${JSON.stringify(before)}`);
    }
    for (const want of [60, 61]) {
      await tab.click(".summary button");
      const { rows } = await seen();
      if (rows !== want) faults.push(`after pressing the summary's button ${rows} rows show, want ${want}`);
    }
  },

  async zip({ browser, origin }, faults) {
    const { tab } = await page(browser, origin);
    const files = Array.from({ length: 12 }, (_, i) => [`full-${i}.pda`, bytes(MAX, i)]);
    await settled(tab, await choose(tab, { title: "", files }));
    // The first image read back for the zip is held: a page that makes the
    // zip in one go never reads one, and could not answer until done.
    await hold(tab, null);
    const started = tab.waitForEvent("download");
    await tab.click("#download-all");
    const during = await tab.evaluate(() => ({ status: document.getElementById("status").textContent,
      busy: document.getElementById("download-all").getAttribute("aria-busy") }));
    if (!/making the zip/i.test(during.status) || during.busy !== "true") faults.push(`while the zip is made: ${JSON.stringify(during)}`);
    await tab.evaluate(() => window.letGo());
    const names = unzip(fs.readFileSync(await (await started).path())).map(([name]) => name).join(" ");
    if (names !== files.map(([name]) => name.replace(".pda", ".mcx")).join(" ")) faults.push(`the zip holds ${names}`);
  },

  async names({ browser, origin, tool }, faults) {
    // Names legal on Windows and macOS. Linux holds no name over 255 bytes,
    // so there the native tool runs with no file, or, where that is not the
    // same, the line is the in-page tool's, written out.
    const cases = [
      ["a".repeat(251) + ".pda", native(tool, "a".repeat(251) + ".pda", bytes(1, 1), "").line, false],
      ["\u30bb".repeat(100) + ".pda", native(tool, "\u30bb".repeat(100) + ".pda", null, "").line, true],
      ["b".repeat(252) + ".pda", `Cannot write : ${"b".repeat(252)}.mcx`, true],
    ];
    const { tab } = await page(browser, origin);
    // Each run's command line goes on the tool's stack, given back after it,
    // or enough runs would use it all up.
    const stack = await tab.evaluate(() => tool.stackSave());
    await settled(tab, await choose(tab, { title: "", files: cases.map(([name]) => [name, bytes(1, 1)]) }));
    const rows = await tab.$$eval("#results tbody tr", (trs) => trs.map((tr) => ({
      line: tr.querySelector("samp").textContent, why: tr.querySelector(".line").textContent.replace(tr.querySelector("samp").textContent, "") })));
    cases.forEach(([name, line, explained], i) => {
      const said = `a name of ${Buffer.byteLength(name)} bytes`;
      if (rows[i]?.line !== line) faults.push(`${said}: line ${rows[i]?.line}, want ${line}`);
      if (explained !== rows[i]?.why.includes(`${Buffer.byteLength(name)} bytes`)) faults.push(`${said}: explained as ${JSON.stringify(rows[i]?.why)}`);
    });
    // Names only a script gives, which no folder holds a file under: the
    // tool's own refusal, and no other file reached (/dev/stdin would ask
    // for input; /dev/zero is too large); one too long to hand over said so.
    // Nothing is left in the page's file system.
    const before = await pageFiles(tab);
    tab.on("dialog", (dialog) => faults.push(`the page asked: ${dialog.message()}`));
    const odd = ["a/b.pda", "../x.pda", "/dev/stdin", "../../dev/zero", "a\u0000b.pda", "\u0000", ".", "..", ""];
    const tooLong = "e".repeat(40000);
    await drop(tab, "body", [...odd, tooLong].map((name) => [name, bytes(5, 1)]));
    await tab.click("#go");
    await settled(tab, 2);
    const said = await tab.$$eval("#results .batch:first-child tbody tr", (trs) => trs.map((tr) => [tr.querySelector("samp").textContent, tr.textContent]));
    odd.forEach((name, i) => {
      if (said[i]?.[0] !== `Cannot read : ${name}`) faults.push(`${JSON.stringify(name)}: line ${JSON.stringify(said[i]?.[0])}`);
    });
    if (said[odd.length]?.[0] !== "" || !said[odd.length]?.[1].includes("40,000 bytes")) faults.push("a name of 40,000 bytes: the row says otherwise");
    const after = await pageFiles(tab);
    if (after !== before) faults.push(`the page's files were ${before}, now ${after}`);
    const now = await tab.evaluate(() => tool.stackSave());
    if (now !== stack) faults.push(`after two batches the tool's stack is ${stack - now} bytes shorter`);
  },

  async controls({ browser, origin }, faults) {
    const { tab } = await page(browser, origin);
    const visible = async () => (await Promise.all(["#download-all", "#clear"].map(
      async (id) => (await tab.isVisible(id)) && id))).filter(Boolean).join(" ") || "none";
    const cases = [
      ["before any batch", () => {}, "none"],
      ["after a batch with no image", async () => settled(tab, await choose(tab, { title: "", files: [["empty.pda", bytes(0, 1)]] })), "#clear"],
      ["after one with an image", async () => settled(tab, await choose(tab, { title: "", files: [["one.pda", bytes(1, 1)]] })), "#download-all #clear"],
      ["after Clear", () => tab.click("#clear"), "none"],
    ];
    for (const [when, act, want] of cases) {
      await act();
      const got = await visible();
      if (got !== want) faults.push(`${when}: batch controls shown: ${got}, want ${want}`);
    }
  },

  async drag({ browser, origin, tool }, faults) {
    const { tab } = await page(browser, origin);
    const seen = await tab.evaluate(() => {
      const files = new DataTransfer();
      files.items.add(new File(["x"], "x.pda"));
      const text = new DataTransfer();
      text.setData("text/plain", "TITLE");
      const fire = (selector, type, data) => !document.querySelector(selector).dispatchEvent(
        new DragEvent(type, { bubbles: true, cancelable: true, dataTransfer: data }));
      const lit = () => document.body.classList.contains("dragging");
      fire("body", "dragenter", files);
      fire("#title", "dragenter", files);
      fire("body", "dragleave", files);
      const overChild = lit();
      fire("#title", "dragleave", files);
      return { overChild, left: !lit(), textTaken: fire("#title", "dragover", text) || fire("#title", "drop", text) };
    });
    if (!seen.overChild) faults.push("the highlight goes when the drag enters a child");
    if (!seen.left) faults.push("the highlight stays when the drag leaves the page");
    if (seen.textTaken) faults.push("text dragged onto the title field is taken by the page");
    // Dropped files join those chosen, said so; only Convert converts them.
    // Each is listed with its size, those that will get no image marked;
    // one removed is not converted, and the focus goes to the next.
    const batch = { title: "DROPPED", files: [["chosen.pda", bytes(10, 4)], ["onto-title.pda", bytes(10, 5)], ["empty.pda", bytes(0, 6)],
      ["over.pda", bytes(MAX + 1, 7)]] };
    await tab.setInputFiles("#files", [{ name: "chosen.pda", mimeType: "application/octet-stream", buffer: batch.files[0][1] }]);
    await drop(tab, "#title", [["removed.pda", bytes(1, 1)], ...batch.files.slice(1)]);
    await tab.click("#chosen-list li:nth-child(2) button");
    const listed = await tab.$$eval("#chosen-list li", (items) => items.map((item) => item.textContent).join(" | "));
    const want = "chosen.pda10 bytesRemove chosen.pda | onto-title.pda10 bytesRemove onto-title.pda | "
      + "empty.pda0 bytesRemove empty.pdaNo image: empty file | over.pda122,881 bytesRemove over.pda"
      + "No image: over 122,880 bytes, the most 15 blocks hold";
    if (listed !== want) faults.push(`after a drop and a removal the page lists ${listed}`);
    const focus = await tab.evaluate(() => document.activeElement.textContent);
    if (focus !== "Remove onto-title.pda") faults.push(`after a removal the focus is on ${focus}`);
    await tab.fill("#title", batch.title);
    if (await tab.locator("#results .batch").count()) faults.push("a drop converted at once");
    await tab.click("#go");
    await settled(tab, 1);
    compare(faults, tool, [batch], await shown(tab));
  },

  async big({ browser, origin, tool }, faults) {
    const folder = fs.mkdtempSync(path.join(os.tmpdir(), "cardwrap-big-"));
    const batch = { title: "", files: [["over.pda", MAX + 1], ["300m.pda", 300 << 20], ["1g.pda", 2 ** 30], ["2g.pda", 2 ** 31]] };
    for (const [name, size] of batch.files) sparse(path.join(folder, name), size);
    try {
      const { tab } = await page(browser, origin);
      await countReads(tab);
      await tab.setInputFiles("#files", batch.files.map(([name]) => path.join(folder, name)));
      await tab.click("#go");
      await settled(tab, 1);
      compare(faults, tool, [batch], await shown(tab));
      const reads = await tab.evaluate(() => window.reads);
      if (reads.length !== batch.files.length || reads.some((size) => size > MAX + 1)) faults.push(`the page read blobs of ${reads} bytes`);
    } finally {
      fs.rmSync(folder, { recursive: true });
    }
  },

  async size({ site }, faults) {
    const total = fs.readdirSync(site).reduce((sum, name) => sum + fs.statSync(path.join(site, name)).size, 0);
    if (total > MAX_SITE_BYTES) faults.push(`the site is ${total} bytes, over ${MAX_SITE_BYTES}`);
  },
};

// What a batch of mixed results must look like in each look of the audit.
async function afterBatch(faults, tab, look) {
  const seen = await tab.evaluate(() => ({
    said: /with no image/.test(document.getElementById("status").textContent)
      && document.getElementById("status").getBoundingClientRect().top >= 0 && document.getElementById("status").getBoundingClientRect().bottom <= innerHeight,
    // Where the eye is, and said once.
    firstRow: document.querySelector(".batch tbody tr").getBoundingClientRect().bottom <= innerHeight,
    once: window.watched.said.filter((text) => text === document.getElementById("status").textContent).length,
    gauge: ((cell) => cell.borderTopColor === cell.backgroundColor)(getComputedStyle(document.querySelector(".gauge .used"))),
    rows: ((a, b) => a.top === b.top)(document.getElementById("download-all").getBoundingClientRect(), document.getElementById("clear").getBoundingClientRect()),
    flush: ((words, button) => button.left === words.left || button.top < words.bottom)(
      document.querySelector(".summary span").getBoundingClientRect(), document.querySelector(".summary button").getBoundingClientRect()),
    borders: [...document.querySelectorAll("button, .button")].filter((b) => b.offsetParent && parseFloat(getComputedStyle(b).borderTopWidth) === 0).map((b) => b.id || b.textContent),
    unmarked: [...document.querySelectorAll(".batch tbody tr")].filter((tr) => !tr.querySelector("a") && !tr.querySelector(".verdict")?.textContent).length,
    // The usage text is no refusal: its row is not in the refusals' colour.
    usage: getComputedStyle([...document.querySelectorAll(".batch tr")].find((tr) => tr.querySelector("samp")?.textContent.startsWith("Usage"))
      .querySelector(".verdict")).color === getComputedStyle(document.body).color,
  }));
  if (!seen.said) faults.push(`${look}: the batch's summary is not said in view`);
  if (!seen.firstRow) faults.push(`${look}: the batch's first row is not in view`);
  if (seen.once !== 1) faults.push(`${look}: the batch's summary is said ${seen.once} times`);
  if (!seen.gauge) faults.push(`${look}: a used block of the gauge has a border of another colour`);
  if (!seen.rows) faults.push(`${look}: the batch buttons are not side by side`);
  if (!seen.flush) faults.push(`${look}: the summary's button wraps indented`);
  if (seen.unmarked) faults.push(`${look}: ${seen.unmarked} rows without an image are not marked in text`);
  if (!seen.usage) faults.push(`${look}: the usage text is shown as a refusal`);
  if (look === "forced" && seen.borders.length) faults.push(`in forced colours these buttons have no border: ${seen.borders}`);
  if (look === "phone") {
    // The narrowest phone: nothing wider than the screen.
    await tab.setViewportSize({ width: 320, height: 640 });
    const wide = await tab.evaluate(() => document.documentElement.scrollWidth);
    if (wide > 320) faults.push(`at 320 pixels the page is ${wide} wide`);
    await tab.setViewportSize({ width: 360, height: 640 });
  }
}

// Holds the page's reading of the file NAME (or of a part of it), or of a
// blob of no file if null, until `window.letGo()`.
function hold(tab, name) {
  return tab.evaluate((held) => {
    const { arrayBuffer, slice } = Blob.prototype;
    const wait = new Promise((resolve) => { window.letGo = resolve; });
    Blob.prototype.slice = function part(...range) {
      return Object.assign(slice.apply(this, range), { of: this.of ?? this.name });
    };
    Blob.prototype.arrayBuffer = async function read() {
      if ((this.of ?? this.name ?? null) === held) await wait;
      return arrayBuffer.call(this);
    };
  }, name);
}

// From now on, the size of every blob the page reads, by any means.
function countReads(tab) {
  return tab.evaluate(() => {
    window.reads = [];
    for (const [type, methods] of [[Blob, ["arrayBuffer", "text", "stream", "bytes"]],
      [FileReader, ["readAsArrayBuffer", "readAsText", "readAsDataURL", "readAsBinaryString"]]]) {
      for (const method of methods.filter((m) => type.prototype[m])) {
        const real = type.prototype[method];
        type.prototype[method] = function counted(...args) {
          window.reads.push((type === Blob ? this : args[0]).size);
          return real.apply(this, args);
        };
      }
    }
  });
}

// Every file and folder in the page's file system but its devices.
const pageFiles = (tab) => tab.evaluate(() => {
  const walk = (dir) => tool.FS.readdir(dir).filter((name) => name !== "." && name !== ".." && (dir !== "/" || !["dev", "proc"].includes(name)))
    .flatMap((name) => {
      const file = `${dir === "/" ? "" : dir}/${name}`;
      return tool.FS.isDir(tool.FS.lstat(file).mode) ? [file, ...walk(file)] : [file];
    });
  return walk("/").join(" ");
});

// Drops files on an element as a drag from outside the browser would.
async function drop(tab, selector, files) {
  const data = await tab.evaluateHandle((list) => {
    const transfer = new DataTransfer();
    for (const [name, content] of list) transfer.items.add(new File([new Uint8Array(content)], name));
    return transfer;
  }, files.map(([name, content]) => [name, [...content]]));
  await tab.dispatchEvent(selector, "drop", { dataTransfer: data });
}

async function main() {
  const { values, positionals } = parseArgs({ allowPositionals: true,
    options: { site: { type: "string" }, tool: { type: "string" }, shots: { type: "string" }, release: { type: "string" } } });
  const site = path.resolve(values.site);
  const shots = values.shots && path.resolve(values.shots);
  if (shots) fs.mkdirSync(shots, { recursive: true });
  const chosen = positionals.length ? positionals : Object.keys(groups);
  const { origin, server, browser, close } = await open(site);
  let failed = 0;
  try {
    for (const name of chosen) {
      const faults = [];
      try {
        await groups[name]({ browser, origin, server, site, shots, release: values.release, tool: path.resolve(values.tool) }, faults);
      } catch (error) {
        // A condition the page never reached: the wait's own limit ended it.
        faults.push(error.message.split("\n")[0]);
      }
      for (const context of browser.contexts()) await context.close();
      for (const error of thrown.splice(0)) faults.push(`the page threw: ${error}`);
      for (const fault of faults) console.log(`FAIL ${name}: ${fault}`);
      failed += faults.length ? 1 : 0;
    }
  } finally {
    await close();
  }
  console.log(`${chosen.length - failed} passed, ${failed} failed`);
  process.exitCode = failed ? 1 : 0;
}

await main();
