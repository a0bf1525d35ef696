// Puts the site together in OUT, static files only:
//   - the page's own files, as they are, the page with the release number
//     it belongs to in place of @RELEASE@;
//   - the tool's Emscripten glue, cardwrap.js, and its WebAssembly as base64
//     in a script of its own, cardwrap-wasm.js: a page opened from disk may
//     not fetch a file, but it may run a script beside it;
//   - the zip library, as package-lock.json pins it, as fflate.js;
//   - sw.js with the list of every file and a version made from their
//     bytes, so that a site whose files change has a service worker whose
//     bytes change, which is what makes a browser fetch the new files.
// The same inputs give the same files, byte for byte.
//
//   node web/site.mjs OUT RELEASE GLUE WASM ZIP-LIBRARY SERVICE-WORKER PAGE-FILE...
import { createHash } from "node:crypto";
import fs from "node:fs";
import path from "node:path";

const [out, release, glue, wasm, zipLibrary, worker, ...pages] = process.argv.slice(2);

fs.rmSync(out, { recursive: true, force: true });
fs.mkdirSync(out, { recursive: true });
const files = new Map(pages.map((page) => [path.basename(page), fs.readFileSync(page)]));
const index = files.get("index.html").toString();
if (!index.includes("@RELEASE@")) throw new Error("index.html has no @RELEASE@ to fill in");
files.set("index.html", Buffer.from(index.replaceAll("@RELEASE@", release)));
files.set("cardwrap.js", fs.readFileSync(glue));
files.set("cardwrap-wasm.js", Buffer.from(
  `"use strict";\n// The tool's WebAssembly, made by the build from cardwrap.wasm.\nself.cardwrapWasm = "${fs.readFileSync(wasm).toString("base64")}";\n`));
files.set("fflate.js", fs.readFileSync(zipLibrary));

const names = [...files.keys()].sort();
const hash = createHash("sha256");
for (const name of names) hash.update(`${name}\0${files.get(name).length}\0`).update(files.get(name));
const list = ["./", ...names].map((name) => JSON.stringify(name)).join(", ");
const template = fs.readFileSync(worker, "utf8");
if (!template.includes("@VERSION@") || !template.includes('"@FILES@"')) {
  throw new Error(`${worker} has no @VERSION@ or "@FILES@" to fill in`);
}
files.set("sw.js", Buffer.from(template.replace("@VERSION@", hash.digest("hex").slice(0, 16))
  .replace('"@FILES@"', list)));

for (const [name, data] of files) fs.writeFileSync(path.join(out, name), data);
