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
  ".webmanifest": "application/manifest+json",
  ".svg": "image/svg+xml",
};

// Chromium as root in a sandbox-less container, with nothing that reaches
// out to the network on its own.
const FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

// `server.site` may be changed to serve another version of the site, and
// `server.down` set to drop every request, as a network that is gone does.
export function serve(site) {
  const server = http.createServer((request, response) => {
    if (server.down) {
      request.socket.destroy();
      return;
    }
    const name = decodeURIComponent(new URL(request.url, "http://x").pathname);
    const file = path.join(server.site, name === "/" ? "index.html" : path.normalize(name));
    if (!file.startsWith(server.site) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { "Content-Type": TYPES[path.extname(file)] ?? "application/octet-stream" });
    fs.createReadStream(file).pipe(response);
  });
  server.site = site;
  server.down = false;
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
    server.closeAllConnections();
    server.close();
  };
  return { origin, server, browser, close };
}

// Every error a page of the site threw and did not catch, as Playwright saw
// it; the tests empty it.
export const thrown = [];

// Set in the page before its own scripts: what its Content Security Policy
// blocked, which object URLs it made and released, and each text its live
// regions were given, in order.
function watch() {
  window.watched = { blocked: [], made: [], revoked: [], said: [] };
  document.addEventListener("DOMContentLoaded", () => {
    const regions = [...document.querySelectorAll("[role=status], [aria-live]")];
    const last = new Map();
    new MutationObserver(() => {
      for (const region of regions) {
        const text = region.textContent;
        if (text && text !== last.get(region)) window.watched.said.push(text);
        last.set(region, text);
      }
    }).observe(document.body, { subtree: true, childList: true, characterData: true });
  });
  document.addEventListener("securitypolicyviolation",
    (event) => window.watched.blocked.push(`${event.violatedDirective} ${event.blockedURI}`));
  const { createObjectURL, revokeObjectURL } = URL;
  URL.createObjectURL = (object) => {
    const url = createObjectURL(object);
    window.watched.made.push(url);
    return url;
  };
  URL.revokeObjectURL = (url) => {
    window.watched.revoked.push(url);
    revokeObjectURL(url);
  };
}

// A page of the site at `url` (the origin's root by default), loaded and,
// unless `ready` is false, ready to convert; `requests` collects every URL
// it asks for. `route` may hold back or replace what the page is served.
export async function page(browser, origin, { url = origin + "/", ready = true, route, ...options } = {}) {
  const context = await browser.newContext({ acceptDownloads: true, ...options });
  await context.addInitScript(watch);
  if (route) await context.route(...route);
  const tab = await context.newPage();
  tab.on("pageerror", (error) => thrown.push(error.message));
  const requests = [];
  tab.on("request", (request) => requests.push(request.url()));
  await tab.goto(url, { waitUntil: ready ? "load" : "commit" });
  if (ready) {
    await tab.waitForFunction(() => document.body.dataset.converter);
    const said = await tab.evaluate(() => document.body.dataset.converter === "ready" || document.getElementById("status").textContent);
    if (said !== true) throw new Error(`the converter did not load: ${said}`);
  }
  return { tab, requests };
}
