"use strict";
// Runs the tool's own code, compiled to WebAssembly, once per file: the file
// goes into a fresh folder of an in-memory file system, the tool is run there
// as `cardwrap NAME [TITLE]`, and the page shows the lines it printed and
// offers each file it wrote. The naming rules, the limits and the messages
// are all the tool's: the page decides only from what the tool did, its exit
// status and which files in the folder are new or rewritten after the run.
// It knows of the format only what it shows the user: the title's 20 bytes,
// in Shift_JIS, and that an image's length gives its blocks.

const $ = (id) => document.getElementById(id);
const form = $("convert");
const go = $("go");
const picker = $("files");
const chosenText = $("chosen");
const chosenList = $("chosen-list");
const unselect = $("unselect");
const titleField = $("title");
const titleUse = $("title-use");
const version = $("version");
const status = $("status");
const update = $("update");
const reload = $("reload");
const noResults = $("no-results");
const actions = $("actions");
const downloadAll = $("download-all");
const clear = $("clear");
const results = $("results");

// The files Convert converts next, chosen or dropped, in that order.
const chosen = [];
let tool = null;
let failure = null;
// The bytes the tool printed in its latest run.
let printed = [];
let runs = 0;
let batches = 0;
// The batch Convert was pressed for while the converter was loading.
let pending = null;
// Batches listed, newest first, each with the object URLs it made.
const shown = [];
let zipUrl = null;
// How long loading and the first conversion took, for the benchmark.
window.cardwrapTimings = {};

function say(text) {
  status.textContent = text;
}

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

const encoder = new TextEncoder();
const count = (n, one, many) => `${n.toLocaleString("en")} ${n === 1 ? one : many}`;

// The tool's command line is written into its memory as bytes, as a system
// hands it over: given as strings, every argument would go in UTF-8. It goes
// on the tool's stack, given back after the run, so that no number of runs
// uses it up. Its lines, printed as bytes, are read back in UTF-8.
function run(args) {
  printed = [];
  const top = tool.stackSave();
  try {
    const all = [encoder.encode("cardwrap"), ...args];
    const argv = tool.stackAlloc(4 * (all.length + 1));
    all.forEach((arg, i) => {
      const at = tool.stackAlloc(arg.length + 1);
      tool.HEAPU8.set(arg, at);
      tool.HEAPU8[at + arg.length] = 0;
      tool.HEAPU32[argv / 4 + i] = at;
    });
    tool.HEAPU32[argv / 4 + all.length] = 0;
    return tool._main(all.length, argv);
  } finally {
    tool.stackRestore(top);
  }
}

const utf8 = new TextDecoder();
const lines = () => utf8.decode(Uint8Array.from(printed, (byte) => (byte === 0xff ? 0 : byte))).split("\n").slice(0, -1);

function empty(FS, folder) {
  try {
    for (const name of FS.readdir(".")) {
      if (name !== "." && name !== "..") FS.unlink(name);
    }
    FS.chdir("/");
    FS.rmdir(folder);
  } catch {
    // A folder left behind costs only memory; the next run has its own.
    FS.chdir("/");
  }
}

// The tool reads at most one byte more than an image holds, to tell a full
// file from a longer one; the page reads no more of any file than that, so
// a file of any size costs what one of 122,881 bytes does. A file the
// browser cannot read (moved, removed or rewritten since it was chosen) is
// not put in the folder, so the tool says what it says of a name with
// nothing there.
const READ_BYTES = 15 * 8192 + 1;

// A name no folder holds a file under ("/" or U+0000 in it, ".", "..",
// nothing) goes to the tool all the same, with nothing under it: while it
// runs, the page's file system opens nothing, so that the name reaches no
// other file ("../x", "/dev/stdin"). U+0000, which no C string holds, goes
// as 0xFF, which no UTF-8 holds, and comes back as U+0000 in its line.
const holdable = (name) => !["", ".", ".."].includes(name) && !/[/\0]/.test(name);
// ENOENT, as the page's file system numbers its errors.
const NO_SUCH_FILE = 44;

// The arguments go on the tool's stack and must leave it room: this is half
// the smallest stack Emscripten gives, and far more than any system's names.
const MAX_ARGUMENT_BYTES = 32 * 1024;

async function convert(file, titleBytes) {
  const name = encoder.encode(file.name).map((byte) => (byte === 0 ? 0xff : byte));
  const argumentBytes = name.length + (titleBytes?.length ?? 0);
  if (argumentBytes > MAX_ARGUMENT_BYTES) return { code: null, line: "", images: [], argumentBytes, titled: Boolean(titleBytes) };
  const held = holdable(file.name);
  let bytes = null;
  try {
    // A slice costs the browser more to read than a whole small file.
    if (held) bytes = new Uint8Array(await (file.size < READ_BYTES ? file : file.slice(0, READ_BYTES)).arrayBuffer());
  } catch {
    bytes = null;
  }
  const FS = tool.FS;
  const folder = "/run" + ++runs;
  FS.mkdir(folder);
  FS.chdir(folder);
  const { open } = FS;
  try {
    if (bytes) FS.writeFile(file.name, bytes);
    if (!held) {
      FS.open = () => {
        throw new FS.ErrnoError(NO_SUCH_FILE);
      };
    }
    const code = run(titleBytes ? [name, titleBytes] : [name]);
    FS.open = open;
    // Every file there is the tool's but the input, and that one too if it
    // now holds other bytes.
    const images = [];
    for (const entry of FS.readdir(".")) {
      if (entry === "." || entry === "..") continue;
      const now = FS.readFile(entry);
      if (entry !== file.name || !bytes || now.length !== bytes.length || now.some((byte, i) => byte !== bytes[i])) {
        images.push({ name: entry, bytes: now });
      }
    }
    return { code, line: lines().slice(1).join("\n"), images, unread: held && !bytes };
  } catch (error) {
    return { code: null, line: String(error), images: [] };
  } finally {
    FS.open = open;
    empty(FS, folder);
  }
}

// A name every browser and disk keeps as it is: a character some system
// takes no name with, or an invisible one, becomes "_", as does a space or
// "~" at its start; one starting with a dot, or named as a Windows device,
// gets "_" before it (in place of its first character if it would
// otherwise be longer than 255 bytes, which no disk takes).
function keptName(name) {
  let kept = name.replace(/[\\/:*?"<>|\p{Cc}\p{Cf}]/gu, "_").replace(/^[\s~]+/u, (lead) => "_".repeat(lead.length));
  if (kept.startsWith(".") || /^(con|prn|aux|nul|com[0-9\u00b9\u00b2\u00b3]|lpt[0-9\u00b9\u00b2\u00b3])\s*(\.|$)/i.test(kept)) {
    kept = "_" + (encoder.encode(kept).length < 255 ? kept : kept.slice(1));
  }
  return kept;
}

// Names that some system's folder cannot hold side by side: ones that
// differ only in case, or in how an accented letter is encoded.
const folded = (name) => name.normalize("NFD").toUpperCase().toLowerCase().normalize("NFD");

// A card holds 15 blocks; an image is its 54-byte header and its blocks of
// 8,192 bytes, so its length says how many it takes.
const CARD_BLOCKS = 15;
const blocksOf = (image) => (image.bytes.length - 54) / 8192;

function gauge(used) {
  const cells = element("span", "gauge");
  cells.setAttribute("aria-hidden", "true");
  for (let i = 0; i < CARD_BLOCKS; i++) cells.append(element("span", i < used ? "used" : ""));
  return cells;
}

// Why a file gets no image, in plain words: what the page knows of it
// before Convert, and what the tool's line says after.
// Made when first said: the first number put in words costs the page
// milliseconds it has no need to spend before it is ready.
const tooLarge = () => `over ${count(READ_BYTES - 1, "byte", "bytes")}, the most ${CARD_BLOCKS} blocks hold`;
const UNHOLDABLE = "no file can have this name";

function foreseen(file) {
  if (!holdable(file.name)) return UNHOLDABLE;
  if (file.size === 0) return "empty file";
  return file.size >= READ_BYTES ? tooLarge() : null;
}

function tooLongName(bytes, limit) {
  return `name too long: ${count(bytes, "byte", "bytes")} in UTF-8, more than ${limit}. Rename the file shorter and convert it again.`;
}

function reason(file, result) {
  if (result.argumentBytes) {
    return result.titled ? `name and title too long: ${count(result.argumentBytes, "byte", "bytes")} in UTF-8 together, `
      + "more than a command line here can take" : tooLongName(result.argumentBytes, "a command line here can take");
  }
  if (result.code === null) return "the converter stopped on this file: reload the page to go on";
  if (result.code === 0) return "cardwrap took this name for a request for its usage";
  // The tool's message, and the length of the name it names.
  const message = /^.*? : /.exec(result.line)?.[0];
  const nameBytes = encoder.encode(result.line.slice(message?.length ?? 0)).length;
  if ((message === "Path too long : " || message === "Cannot write : ") && nameBytes > 255) {
    return tooLongName(nameBytes, "the 255 bytes cardwrap takes, though Windows and macOS allow it");
  }
  if (message === "Cannot read : " && result.unread) {
    return "the browser could not read it: a folder, or a file moved, removed or changed since it was chosen";
  }
  if (message === "Cannot read : ") return foreseen(file) ?? "cardwrap could not read it";
  if (message === "File size too large : ") return tooLarge();
  return message === "Path too long : " ? "name too long for cardwrap" : "cardwrap could not write its image";
}

// The size of a file or an image in words: "8,246-byte image".
const sized = (bytes, what) => `${bytes.toLocaleString("en")}-byte ${what}`;

function row(batch, file, result) {
  const item = element("tr", "made");
  const name = element("th", "file");
  name.scope = "row";
  name.append(element("span", "name", file.name), element("span", "size", count(file.size, "byte", "bytes")));
  const title = element("td", "title");
  const line = element("td", "line");
  const plain = element("p", "plain");
  const get = element("td", "get");
  item.append(name, title, line, get);
  line.append(plain);
  if (result.images.length === 0) {
    // Said in words, not only in colour, for forced colours and for
    // screen readers alike; only a refusal is in the colour of one.
    item.className = result.code === 0 ? "no-image" : "refused";
    plain.append(element("strong", "verdict", "No image:"), ` ${reason(file, result)}`);
  }
  line.append(element("samp", null, result.line));
  for (const image of result.images) {
    title.textContent = shownTitle(image.bytes);
    const used = blocksOf(image);
    plain.append(`${sized(image.bytes.length, "image")} · ${used} ${used === 1 ? "block" : "blocks"} of ${CARD_BLOCKS}`, gauge(used));
    const kept = keptName(image.name);
    const link = element("a", "button", `Download ${kept}`);
    const blob = new Blob([image.bytes], { type: "application/octet-stream" });
    link.href = URL.createObjectURL(blob);
    link.download = kept;
    batch.urls.push(link.href);
    batch.images.push({ name: kept, blob });
    get.append(link);
    if (kept !== image.name) {
      line.append(element("p", "why", `cardwrap named it “${image.name}”, which not every browser and disk keeps; `
        + `it is saved as “${kept}”.`));
    }
  }
  batch.rows.push(result);
  batch.list.append(item);
}

function table() {
  const made = element("table");
  const head = element("tr");
  for (const text of ["File", "Card title", "What happened", "Image"]) {
    const cell = element("th", null, text);
    cell.scope = "col";
    head.append(cell);
  }
  made.append(element("thead"), element("tbody"));
  made.tHead.append(head);
  return made;
}

function setBusy(on) {
  go.disabled = on;
  go.setAttribute("aria-busy", on);
  go.textContent = on ? "Converting…" : "Convert";
}

function summarize(batch) {
  const missed = batch.rows.filter((result) => result.images.length === 0).length;
  const text = `${count(batch.rows.length - missed, "image", "images")}`
    + `${missed ? `, ${count(missed, "file", "files")} with no image` : ""}`;
  batch.summary.replaceChildren(element("span", null, text));
  batch.said = text;
  if (missed === 0) return;
  // However many, one button leads to them: it hides the rest.
  const only = element("button", "secondary", `Show only the ${count(missed, "file", "files")} with no image`);
  only.type = "button";
  only.setAttribute("aria-pressed", "false");
  only.addEventListener("click", () => {
    const on = only.getAttribute("aria-pressed") === "false";
    only.setAttribute("aria-pressed", on);
    batch.section.classList.toggle("only-missed", on);
  });
  batch.summary.append(only);
}

// The card shows its titles in Shift_JIS, and a Japanese Windows system
// hands the tool a typed title in it. Browsers decode Shift_JIS but cannot
// encode it, so the page makes its encoder from the decoder, on first use:
// every byte and pair of bytes decoded, each character to the first that
// gives it. Left out: control codes, which no title holds; the user-defined
// rows (lead bytes 0xF0-0xF9), which no card shows; and rows 0xED-0xEE, a
// second copy of kanji found again at 0xFA-0xFC, so that each is encoded as
// Windows encodes it.
const TITLE_BYTES = 20;
const shiftJis = new TextDecoder("shift_jis");
let shiftJisCodes = null;

function shiftJisCode(char) {
  if (char >= " " && char <= "~") return [char.charCodeAt(0)];
  if (!shiftJisCodes) {
    const codes = [];
    for (let byte = 0xa1; byte <= 0xdf; byte++) codes.push([byte]);
    for (let lead = 0x81; lead <= 0xfc; lead++) {
      if ((lead >= 0xa0 && lead < 0xe0) || lead === 0xed || lead === 0xee || (lead >= 0xf0 && lead <= 0xf9)) continue;
      for (let trail = 0x40; trail <= 0xfc; trail++) if (trail !== 0x7f) codes.push([lead, trail]);
    }
    // Decoded in one call, each code after a line feed of its own, which no
    // code holds; one that is not a character comes out as U+FFFD and more.
    const chars = shiftJis.decode(Uint8Array.from(codes.flatMap((code) => [...code, 0x0a]))).split("\n");
    shiftJisCodes = new Map();
    codes.forEach((code, i) => {
      if (chars[i].length === 1 && chars[i] !== "\ufffd" && !shiftJisCodes.has(chars[i])) shiftJisCodes.set(chars[i], code);
    });
  }
  return shiftJisCodes.get(char);
}

// What the card gets of a typed title: its first 20 bytes. A character the
// card cannot show is never sent; one the 20th byte ends inside of shows
// broken, so the page names it.
function cardTitle(text) {
  const codes = [...text].map((char) => [char, shiftJisCode(char)]);
  const unshowable = [...new Set(codes.filter(([, code]) => !code).map(([char]) => char))];
  const bytes = Uint8Array.from(codes.flatMap(([, code]) => code ?? []));
  if (unshowable.length) return { bytes, unshowable, whole: "", cut: null };
  let whole = "";
  let used = 0;
  for (const [char, code] of codes) {
    if (used + code.length > TITLE_BYTES) return { bytes, unshowable, whole, cut: { char, bytes: TITLE_BYTES - used, size: code.length } };
    whole += char;
    used += code.length;
  }
  return { bytes, unshowable, whole, cut: null };
}

// The title as the card shows it: the image's first 20 bytes, up to a zero.
function shownTitle(image) {
  const field = image.subarray(0, TITLE_BYTES);
  const end = field.indexOf(0);
  return shiftJis.decode(end < 0 ? field : field.subarray(0, end));
}

function titleWords({ whole, cut }) {
  return `“${whole}”${cut?.bytes ? ` and ${cut.bytes} of the ${cut.size} bytes of “${cut.char}”` : ""}`;
}

// “a”, “b” and “c”.
function quoted(chars) {
  const each = chars.map((char) => `“${char}”`);
  return each.length > 1 ? `${each.slice(0, -1).join(", ")} and ${each.at(-1)}` : each[0];
}

const unshowableWords = (chars) => `The card cannot show ${quoted(chars)}: change the title before Convert.`;

function showTitleUse() {
  const title = cardTitle(titleField.value);
  const typed = title.bytes.length;
  const state = title.unshowable.length ? "unshowable" : typed > TITLE_BYTES ? "over" : "fits";
  titleUse.textContent = {
    unshowable: () => unshowableWords(title.unshowable),
    over: () => `${typed} bytes typed: the card gets only the first ${TITLE_BYTES}, ${titleWords(title)}`
      + `${title.cut.bytes ? ", a broken character" : ""}.`,
    fits: () => `${typed} of ${TITLE_BYTES} bytes used.`,
  }[state]();
  // Said once as it happens, not at every key.
  if (state !== (titleUse.dataset.state ?? "fits")) {
    say({ unshowable: `The title holds ${quoted(title.unshowable)}, which the card cannot show.`,
      over: `The title is over ${TITLE_BYTES} bytes: the card gets only the first ${TITLE_BYTES}.`,
      fits: `The title fits in ${TITLE_BYTES} bytes.` }[state]);
  }
  titleUse.dataset.state = state;
  titleUse.classList.toggle("over", state !== "fits");
  titleField.setAttribute("aria-invalid", state === "unshowable");
}

// The new batch is where the eye goes: the status line, which speaks for
// it, at the top of the window, and the batch below.
function bringToBatch() {
  status.scrollIntoView({ block: "start" });
  return scrollY;
}

// One batch at a time: Convert is busy from its press to the batch's end.
// Its start, its progress now and then, and its summary are announced.
async function convertBatch({ files, title }) {
  const batch = { number: ++batches, files, rows: [], urls: [], images: [] };
  batch.section = element("section", "batch busy");
  const card = cardTitle(title);
  const heading = element("h3", null, `Batch ${batch.number} · ${title === "" ? "title from the file name"
    : `title ${titleWords(card)}${card.cut ? `, the first ${TITLE_BYTES} of ${card.bytes.length} bytes typed` : ""}`}`);
  heading.id = `batch${batch.number}`;
  batch.section.setAttribute("aria-labelledby", heading.id);
  const progress = () => `${batch.rows.length} of ${count(files.length, "file", "files")} converted…`;
  batch.summary = element("p", "summary", progress());
  const rows = table();
  batch.list = rows.tBodies[0];
  batch.section.append(heading, batch.summary);
  noResults.hidden = true;
  results.prepend(batch.section);
  shown.unshift(batch);
  actions.hidden = false;
  downloadAll.hidden = true;
  say(`Batch ${batch.number}: converting ${count(files.length, "file", "files")}…`);
  const placed = bringToBatch();
  let spoken = performance.now();
  for (const file of files) {
    const start = performance.now();
    const result = await convert(file, title === "" ? null : card.bytes);
    if (batch.cleared) break;
    row(batch, file, result);
    window.cardwrapTimings.firstConversion ??= performance.now() - start;
    batch.summary.textContent = progress();
    if (performance.now() - spoken > 2000) {
      say(`Batch ${batch.number}: ${progress()}`);
      spoken = performance.now();
    }
  }
  setBusy(false);
  // Disabled, Convert lost the focus; it gets it back, where it is.
  if (document.activeElement === document.body) go.focus({ preventScroll: true });
  if (batch.cleared) return;
  // Only now: a table that grows a row at a time is laid out again at every
  // frame, which made a batch of 500 files half as fast again. Now that the
  // page is long enough, the batch is brought up again, unless the reader
  // has scrolled away meanwhile.
  batch.section.append(rows);
  if (scrollY === placed) bringToBatch();
  summarize(batch);
  batch.section.classList.remove("busy");
  downloadAll.hidden = batch.images.length === 0;
  downloadAll.textContent = `Download all of batch ${batch.number}`;
  // Files added meanwhile wait for Convert, and the page says so.
  say(`Batch ${batch.number}: ${batch.said}.${chosen.length ? ` ${count(chosen.length, "file waits", "files wait")} in the list: `
    + `press Convert to convert ${chosen.length === 1 ? "it" : "them"}.` : ""}`);
}

function showChosen() {
  const marked = chosen.filter(foreseen).length;
  chosenText.textContent = chosen.length ? `${count(chosen.length, "file", "files")} to convert`
    + `${marked ? ` (${marked} will get no image)` : ""}:` : "No files chosen yet.";
  chosenList.hidden = chosen.length === 0;
  unselect.hidden = chosen.length === 0;
}

// Each chosen file with its size, what it will get if that is foreseen,
// and a button that takes it out of the list.
function listed(file) {
  const item = element("li");
  const why = foreseen(file);
  const remove = element("button", "secondary remove", "Remove");
  remove.type = "button";
  remove.append(element("span", "offscreen", ` ${file.name}`));
  remove.addEventListener("click", () => {
    const at = chosen.indexOf(file);
    chosen.splice(at, 1);
    item.remove();
    showChosen();
    say(`${file.name} removed: ${count(chosen.length, "file", "files")} to convert.`);
    // The focus goes to the next file's button, or the one before, or back
    // to choosing.
    const next = chosenList.children[at] ?? chosenList.children[at - 1];
    (next?.querySelector("button") ?? picker).focus();
  });
  item.append(element("span", "name", file.name), element("span", "size", count(file.size, "byte", "bytes")), remove);
  if (why) item.append(element("span", "mark", `No image: ${why}`));
  return item;
}

function add(files) {
  if (files.length === 0) return;
  chosen.push(...files);
  const items = document.createDocumentFragment();
  items.append(...files.map(listed));
  chosenList.append(items);
  showChosen();
  say(go.disabled ? `${count(files.length, "file", "files")} added. Once this batch is done, press Convert to convert `
    + `the ${count(chosen.length, "file", "files")} in the list.` : `${count(files.length, "file", "files")} added: `
    + `${count(chosen.length, "file", "files")} to convert.`);
}

// The latest batch's images, under the names their rows offer; a name
// already in the zip, to some system, goes into a numbered folder, so that
// no image is lost to another. Made an image at a time, each read back from its blob, so the
// page keeps answering and says how far it is; Clear stops it.
async function zipImages(batch) {
  const chunks = [];
  const zip = new fflate.Zip((error, chunk) => {
    if (error) throw error;
    chunks.push(chunk);
  });
  const taken = new Set();
  let spoken = -Infinity;
  for (const [done, image] of batch.images.entries()) {
    if (performance.now() - spoken > 2000) {
      say(`Making the zip of batch ${batch.number}: ${done} of ${count(batch.images.length, "image", "images")}…`);
      spoken = performance.now();
    }
    let name = image.name;
    for (let n = 2; taken.has(folded(name)); n++) name = `${n}/${image.name}`;
    taken.add(folded(name));
    const entry = new fflate.ZipDeflate(name);
    zip.add(entry);
    entry.push(new Uint8Array(await image.blob.arrayBuffer()), true);
    if (batch.cleared) return null;
  }
  zip.end();
  return new Blob(chunks, { type: "application/zip" });
}

downloadAll.addEventListener("click", async () => {
  const batch = shown[0];
  if (typeof fflate !== "object") {
    say("Download all is not available: its file, fflate.js, did not load. Reload the page.");
    return;
  }
  downloadAll.disabled = true;
  downloadAll.setAttribute("aria-busy", "true");
  let zip = null;
  try {
    zip = await zipImages(batch);
  } finally {
    downloadAll.disabled = false;
    downloadAll.setAttribute("aria-busy", "false");
    if (document.activeElement === document.body) downloadAll.focus();
  }
  if (!zip) return;
  if (zipUrl) URL.revokeObjectURL(zipUrl);
  zipUrl = URL.createObjectURL(zip);
  const link = element("a");
  link.href = zipUrl;
  link.download = `cardwrap-batch-${batch.number}.zip`;
  link.click();
  say(`The zip of batch ${batch.number} is made: ${link.download}, ${count(batch.images.length, "image", "images")}.`);
});

clear.addEventListener("click", () => {
  const running = shown.find((batch) => batch.section.classList.contains("busy"));
  for (const batch of shown) {
    batch.cleared = true;
    for (const url of batch.urls) URL.revokeObjectURL(url);
    batch.section.remove();
  }
  shown.length = 0;
  if (zipUrl) URL.revokeObjectURL(zipUrl);
  zipUrl = null;
  actions.hidden = true;
  noResults.hidden = false;
  say(running ? `The results are cleared, and batch ${running.number} stopped after ${running.rows.length} of `
    + `${count(running.files.length, "file", "files")}.` : "The results are cleared.");
  picker.focus();
});

titleField.addEventListener("input", showTitleUse);
showTitleUse();

form.addEventListener("submit", (event) => {
  event.preventDefault();
  if (go.disabled) return;
  if (chosen.length === 0) {
    say("Choose files, or drop them on this page, first.");
    return;
  }
  if (failure) {
    say(failure);
    return;
  }
  const { unshowable } = cardTitle(titleField.value);
  if (unshowable.length) {
    say(unshowableWords(unshowable));
    titleField.focus();
    return;
  }
  const batch = { files: chosen.splice(0), title: titleField.value };
  chosenList.replaceChildren();
  showChosen();
  setBusy(true);
  if (tool) {
    convertBatch(batch);
  } else {
    pending = batch;
    say(`Loading the converter: ${count(batch.files.length, "file", "files")} will be converted as soon as it is ready.`);
  }
});

// The input only adds to the list: emptied, it takes the same files again.
picker.addEventListener("change", () => {
  add([...picker.files]);
  picker.value = "";
});

unselect.addEventListener("click", () => {
  chosen.length = 0;
  chosenList.replaceChildren();
  showChosen();
  say("No files to convert.");
  picker.focus();
});

// Only drags that carry files are the page's; text dragged into the title
// field is the field's. Entering a child fires dragleave on its parent, so
// the highlight follows a count of the elements entered.
const carriesFiles = (event) => event.dataTransfer && [...event.dataTransfer.types].includes("Files");
let entered = 0;
document.addEventListener("dragenter", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  entered++;
  document.body.classList.add("dragging");
});
document.addEventListener("dragover", (event) => {
  if (carriesFiles(event)) event.preventDefault();
});
document.addEventListener("dragleave", (event) => {
  if (!carriesFiles(event)) return;
  entered = Math.max(0, entered - 1);
  if (entered === 0) document.body.classList.remove("dragging");
});
document.addEventListener("drop", (event) => {
  if (!carriesFiles(event)) return;
  event.preventDefault();
  entered = 0;
  document.body.classList.remove("dragging");
  add([...event.dataTransfer.files]);
});

function fail(text) {
  failure = text;
  // A batch waiting for the converter goes back to the list.
  if (pending) {
    chosen.unshift(...pending.files);
    chosenList.prepend(...pending.files.map(listed));
    pending = null;
    showChosen();
    setBusy(false);
  }
  version.textContent = "The converter could not be loaded.";
  document.body.dataset.converter = "failed";
  say(text);
}

// The converter's scripts come after this one; by now each has run or
// failed to arrive.
function start() {
  const missing = [["cardwrap-wasm.js", typeof cardwrapWasm === "string"],
    ["cardwrap.js", typeof createCardwrap === "function"]].filter(([, here]) => !here).map(([name]) => name);
  if (missing.length) {
    fail(`The converter could not be loaded: its ${missing.length === 1 ? "file" : "files"} ${missing.join(" and ")} did not arrive. `
      + (location.protocol === "file:"
        ? "Unzip the downloaded folder again, keep all its files together, and open index.html from there."
        : "Check the connection and reload the page."));
    return;
  }
  const started = (async () => createCardwrap({
    wasmBinary: Uint8Array.from(atob(cardwrapWasm), (c) => c.charCodeAt(0)),
    // A byte as the tool's memory holds it, signed.
    stdout: (byte) => printed.push(byte & 0xff),
    printErr: () => {},
  }))();
  started.then((module) => {
    tool = module;
    // Run with no arguments only for the banner, its first line.
    run([]);
    version.replaceChildren("Converter: ", element("samp", null, lines()[0]));
    document.body.dataset.converter = "ready";
    window.cardwrapTimings.ready = performance.now();
    if (pending) convertBatch(pending);
    pending = null;
  }, (error) => {
    fail(`The converter could not be started: this browser did not run its WebAssembly code (${error}). `
      + "Use an up-to-date browser with WebAssembly turned on, then reload the page.");
  });
}
document.addEventListener("DOMContentLoaded", start);

// Served over HTTP(S), the page keeps its files for use offline. A new
// version installs in the background and waits; the page says so and, when
// the user asks, lets it take over and reloads. Waiting is a state the
// registration keeps, so the page sees it however early or late it came.
if ("serviceWorker" in navigator && /^https?:$/.test(location.protocol)) {
  let waitingWorker = null;
  const offer = (registration) => {
    if (!registration.waiting || !navigator.serviceWorker.controller) return;
    waitingWorker = registration.waiting;
    update.textContent = "A new version of this page is ready. Reload to use it; the results listed here will go.";
    reload.hidden = false;
  };
  navigator.serviceWorker.register("sw.js").then((registration) => {
    const follow = (worker) => worker?.addEventListener("statechange", () => offer(registration));
    follow(registration.installing);
    registration.addEventListener("updatefound", () => follow(registration.installing));
    offer(registration);
  }, () => {});
  // Reloaded once the new version is active, so that it serves the page;
  // another window may have made it so already.
  reload.addEventListener("click", () => {
    const worker = waitingWorker;
    if (worker.state === "activated") {
      location.reload();
      return;
    }
    worker.addEventListener("statechange", () => {
      if (worker.state === "activated") location.reload();
    });
    worker.postMessage("take over");
  });
}
