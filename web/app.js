"use strict";
// Runs the tool's own code, compiled to WebAssembly, once per file: the file
// goes into a fresh folder of an in-memory file system, the tool is run there
// as `cardwrap NAME [TITLE]`, and the page shows the line it printed and
// offers the image it wrote. Nothing here knows the image format, the naming
// rules or the limits: all of that is the tool's.

const form = document.getElementById("convert");
const picker = document.getElementById("files");
const titleField = document.getElementById("title");
const button = document.getElementById("go");
const results = document.getElementById("results");
const version = document.getElementById("version");

let tool = null;
let printed = [];
let runs = 0;
// How long loading and the first conversion took, for the benchmark.
window.cardwrapTimings = {};

function run(args) {
  printed = [];
  const status = tool.callMain(args);
  tool._fflush(0);
  return status;
}

function entries(FS) {
  return FS.readdir(".").filter((name) => name !== "." && name !== "..");
}

async function convert(file, title) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  const FS = tool.FS;
  const folder = "/run" + ++runs;
  FS.mkdir(folder);
  FS.chdir(folder);
  try {
    FS.writeFile(file.name, bytes);
    const status = run(title === "" ? [file.name] : [file.name, title]);
    const result = { line: printed.slice(1).join("\n"), name: null, image: null };
    if (status === 0) {
      // The folder held only the input, so the image is the one other file,
      // or the input itself when it named its own output.
      result.name = entries(FS).find((name) => name !== file.name) ?? file.name;
      result.image = FS.readFile(result.name);
    }
    return result;
  } finally {
    for (const name of entries(FS)) FS.unlink(name);
    FS.chdir("/");
    FS.rmdir(folder);
  }
}

function show(file, result) {
  const item = document.createElement("li");
  const name = document.createElement("span");
  name.className = "name";
  name.textContent = file.name;
  const line = document.createElement("samp");
  line.textContent = result.line;
  item.append(name, " ", line);
  if (result.image) {
    const link = document.createElement("a");
    link.href = URL.createObjectURL(new Blob([result.image], { type: "application/octet-stream" }));
    link.download = result.name;
    link.textContent = "Download " + result.name;
    item.append(" ", link);
  } else {
    item.classList.add("failed");
  }
  results.append(item);
}

async function convertAll(files) {
  if (!tool || files.length === 0) return;
  button.disabled = true;
  const title = titleField.value;
  try {
    for (const file of files) {
      const start = performance.now();
      show(file, await convert(file, title));
      window.cardwrapTimings.firstConversion ??= performance.now() - start;
    }
  } finally {
    button.disabled = false;
  }
}

form.addEventListener("submit", (event) => {
  event.preventDefault();
  convertAll([...picker.files]);
});

document.addEventListener("dragover", (event) => {
  event.preventDefault();
  document.body.classList.add("dragging");
});
document.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
document.addEventListener("drop", (event) => {
  event.preventDefault();
  document.body.classList.remove("dragging");
  convertAll([...event.dataTransfer.files]);
});

createCardwrap({ print: (line) => printed.push(line), printErr: () => {} }).then(
  (module) => {
    tool = module;
    // Run with no arguments only for the banner, its first line.
    run([]);
    version.textContent = printed[0];
    button.disabled = false;
    window.cardwrapTimings.ready = performance.now();
  },
  () => {
    version.textContent = "The converter could not be loaded in this browser.";
  });
