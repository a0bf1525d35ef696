// Serves the built site on a local port and opens it in the system's headless
// Chromium, for the page's tests and its benchmark.
import fs from "node:fs";
import http from "node:http";
import path from "node:path";

import { chromium } from "playwright-core";

const TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".wasm": "application/wasm",
};

// Chromium as root in a sandbox-less container, with nothing that reaches
// out to the network on its own.
const FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

export function serve(site) {
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, "http://x").pathname);
    const file = path.join(site, name === "/" ? "index.html" : path.normalize(name));
    if (!file.startsWith(site) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": TYPES[path.extname(file)] ?? "application/octet-stream" });
    fs.createReadStream(file).pipe(response);
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

export async function open(site) {
  const server = await serve(path.resolve(site));
  const origin = `http://127.0.0.1:${server.address().port}`;
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
    args: FLAGS,
  });
  const close = async () => {
    await browser.close();
    server.close();
  };
  return { origin, browser, close };
}

// A page of the site, loaded and ready to convert; `requests` collects every
// URL it asks for.
export async function page(browser, origin, options = {}) {
  const context = await browser.newContext({ acceptDownloads: true, ...options });
  const tab = await context.newPage();
  const requests = [];
  tab.on("request", (request) => requests.push(request.url()));
  await tab.goto(origin + "/");
  await tab.waitForFunction(() => window.cardwrapTimings.ready !== undefined);
  return { tab, requests };
}
