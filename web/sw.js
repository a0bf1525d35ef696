"use strict";
// Keeps the site's own files, all of them, so that after one visit the page
// loads and converts with the network gone. The build fills in the version,
// made from the files' bytes: a new version is a new service worker, which
// the browser installs beside the old one, fetching every file again, and
// which waits until a page asks it to take over (its Reload button); then it
// drops the old copies. Only requests for this site's own files are
// answered; nothing else is ever asked for.
const CACHE = "cardwrap-@VERSION@";
const FILES = ["@FILES@"];

self.addEventListener("install", (event) => {
  event.waitUntil((async () => {
    const cache = await caches.open(CACHE);
    // Past the browser's HTTP cache, so that a new version never keeps an
    // old file.
    await cache.addAll(FILES.map((name) => new Request(name, { cache: "reload" })));
  })());
});

self.addEventListener("message", (event) => {
  if (event.data === "take over") self.skipWaiting();
});

self.addEventListener("activate", (event) => {
  event.waitUntil((async () => {
    for (const name of await caches.keys()) {
      if (name.startsWith("cardwrap-") && name !== CACHE) await caches.delete(name);
    }
  })());
});

self.addEventListener("fetch", (event) => {
  const request = event.request;
  if (request.method !== "GET" || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith((async () => {
    const cache = await caches.open(CACHE);
    // The page's address with a query is still the page.
    return (await cache.match(request, { ignoreSearch: true })) ?? fetch(request);
  })());
});
