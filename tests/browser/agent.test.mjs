// The local agent as a browser meets it: Debian's Chromium, driven by playwright-core, runs
// the demo page's life cycle through `kestrune demo --browser`, is refused by the agent on a
// page of an origin not on the allow-list, and is refused a token-changing call when the user
// refuses consent.
//   KESTRUNE_BIN=build/bin/kestrune node tests/browser/agent.test.mjs
// (or npm test there, KESTRUNE_BIN set). Exit status 77 (skipped) when Chromium is not installed.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { existsSync } from "node:fs";
import { mkdtemp, readFile, rm } from "node:fs/promises";
import http from "node:http";
import os from "node:os";
import path from "node:path";

const CHROMIUM = process.env.KESTRUNE_CHROMIUM ?? "/usr/bin/chromium";
const KESTRUNE = process.env.KESTRUNE_BIN;
const SKIPPED = 77;

if (!existsSync(CHROMIUM)) {
  console.log(`SKIP: ${CHROMIUM} is not installed (scripts/deps.sh installs Debian's chromium)`);
  process.exit(SKIPPED);
}
if (!KESTRUNE || !existsSync(KESTRUNE)) {
  console.error("KESTRUNE_BIN must name the built kestrune program");
  process.exit(1);
}
const { chromium } = await import("playwright-core").catch(() => {
  console.error("playwright-core is missing: run npm ci in tests/browser (scripts/test.sh does)");
  process.exit(1);
});

const STARTUP_MS = 60_000;
const LIFE_CYCLE_MS = 180_000;

// start runs kestrune with args until it prints a line matching ready; resolves with the
// process, the match and what it has printed so far (output(), which goes on growing).
function start(args, env, ready) {
  const child = spawn(KESTRUNE, args, { env: { ...process.env, ...env }, stdio: "pipe" });
  let seen = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill("SIGKILL");
      reject(new Error(`kestrune ${args.join(" ")} did not get ready:\n${seen}`));
    }, STARTUP_MS);
    const look = (chunk) => {
      seen += chunk;
      for (const line of chunk.split("\n").filter((text) => text !== "")) {
        process.stderr.write(`  [kestrune ${args[0]}] ${line}\n`);
      }
      const match = seen.match(ready);
      if (match) {
        clearTimeout(timer);
        resolve({ child, match, output: () => seen });
      }
    };
    child.stdout.setEncoding("utf8").on("data", look);
    child.stderr.setEncoding("utf8").on("data", look);
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`kestrune ${args.join(" ")} ended (${code}) before it was ready:\n${seen}`));
    });
  });
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const ended = new Promise((resolve) => child.once("exit", resolve));
  child.kill("SIGINT");
  const timer = setTimeout(() => child.kill("SIGKILL"), 10_000);
  await ended;
  clearTimeout(timer);
}

let tmp;
let demo;
let demoUrl;
let settings;
let browser;
const others = [];

before(async () => {
  tmp = await mkdtemp(path.join(os.tmpdir(), "kestrune-browser-"));
  demo = await start(
    ["demo", "--browser", "--dir", path.join(tmp, "demo")],
    { KESTRUNE_CONSENT: "allow" },
    /Open (http:\/\/127\.0\.0\.1:\d+\/) in your browser/,
  );
  demoUrl = demo.match[1];
  settings = await (await fetch(new URL("/demo.json", demoUrl))).json();
  browser = await chromium.launchPersistentContext(path.join(tmp, "chromium-profile"), {
    executablePath: CHROMIUM,
    headless: true,
    args: [
      "--headless",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-quic",
      "--no-first-run",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
    ],
  });
});

after(async () => {
  await browser?.close();
  for (const child of others) await stop(child);
  await stop(demo?.child);
  if (tmp) await rm(tmp, { recursive: true, force: true });
});

// steps reads the page's lines: [{text, status}].
function steps(page) {
  return page.$$eval("#steps li", (lines) =>
    lines.map((line) => ({ text: line.textContent, status: line.dataset.status })),
  );
}

test("the demo page takes the token through the life cycle", async () => {
  const page = await browser.newPage();
  await page.goto(demoUrl);
  await page.click("#run");
  await page.waitForSelector("#outcome[data-status]", { timeout: LIFE_CYCLE_MS });
  const lines = await steps(page);
  for (const line of lines) assert.equal(line.status, "ok", line.text);
  for (const wanted of [
    'loadLib "softhsm2"',
    "checkPassword",
    "makeCard U001 ORG01",
    "getSID1",
    "getSID2",
    "setTestVersion 1",
    "loadCACertB64",
    "newCertificate",
    "getCSN",
    "FEDIMessageSign of an INVOIC",
    "verify the signed message",
    "close",
  ]) {
    assert.ok(
      lines.some((line) => line.text.startsWith(wanted)),
      `no step ${wanted}: ${JSON.stringify(lines)}`,
    );
  }
  const verified = lines.find((line) => line.text.startsWith("verify"));
  assert.match(verified.text, /OK/);
  assert.equal(await page.getAttribute("#outcome", "data-status"), "ok");
  await page.close();
});

test("the demo's page server verifies what it is sent and answers no other host", async () => {
  const demoDir = path.join(tmp, "demo");
  const message = (await readFile(path.join(demoDir, "invoic-signed.edi"))).toString("latin1");
  const certificate = (await readFile(path.join(demoDir, "user-cert.der"))).toString("base64");
  const verify = async (body) => {
    const response = await fetch(new URL("/verify", demoUrl), {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body,
    });
    return { status: response.status, answer: await response.json() };
  };
  const signed = await verify(JSON.stringify({ message, certificate }));
  assert.equal(signed.answer.ok, true, signed.answer.text);
  assert.match(signed.answer.text, /^OK: /);
  const tampered = await verify(
    JSON.stringify({ message: message.replace("INV0001", "INV0002"), certificate }),
  );
  assert.equal(tampered.answer.ok, false);
  assert.match(tampered.answer.text, /^FAILED: /);
  for (const body of ["", "[]", "{", '{"message": 1, "certificate": "x"}']) {
    assert.equal((await verify(body)).status, 400, body);
  }
  const notABag = await verify(JSON.stringify({ message, certificate: "AAAA" }));
  assert.equal(notABag.answer.ok, false);
  // A form another origin's page could post without asking is not JSON.
  const posted = await fetch(new URL("/verify", demoUrl), {
    method: "POST",
    headers: { "Content-Type": "text/plain" },
    body: JSON.stringify({ message, certificate }),
  });
  assert.equal(posted.status, 415);

  // A name rebound to the loopback address is not this server's: the settings hold the PIN.
  const port = new URL(demoUrl).port;
  const rebound = await new Promise((resolve, reject) => {
    http
      .get({ host: "127.0.0.1", port, path: "/demo.json", headers: { Host: `evil.example:${port}` } },
        (response) => {
          response.resume();
          resolve(response.statusCode);
        })
      .on("error", reject);
  });
  assert.equal(rebound, 403);
});

test("a page of an origin not on the allow-list gets nothing", async () => {
  const agent = `http://127.0.0.1:${settings.agentPort}`;
  // The page imports its own copy of the client, as a page that took it elsewhere would.
  const client = await (await fetch(`${agent}/kestrune.js`)).text();
  assert.match(client, /export class KestruneError/);
  const server = http.createServer((request, response) => {
    if (request.url === "/kestrune.js") {
      response.writeHead(200, { "Content-Type": "text/javascript" });
      response.end(client);
      return;
    }
    response.writeHead(200, { "Content-Type": "text/html" });
    response.end("<!doctype html><title>not allowed</title>");
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const origin = `http://127.0.0.1:${server.address().port}`;
  try {
    const page = await browser.newPage();
    await page.goto(`${origin}/`);
    const outcome = await page.evaluate(async (agentUrl) => {
      const seen = {};
      try {
        await import(`${agentUrl}/kestrune.js`);
        seen.imported = true;
      } catch {
        seen.imported = false;
      }
      const { Kestrune } = await import(`${location.origin}/kestrune.js`);
      try {
        await Kestrune.connect({ port: Number(new URL(agentUrl).port) });
        seen.connected = true;
      } catch (error) {
        seen.connected = false;
        seen.reason = error.reason;
      }
      try {
        const response = await fetch(`${agentUrl}/v1/session`, { method: "POST", body: "{}" });
        seen.read = await response.text();
      } catch {
        seen.read = null;
      }
      return seen;
    }, agent);
    assert.deepEqual(outcome, { imported: false, connected: false, reason: "unreachable", read: null });
    await page.close();

    // What the browser withheld: a refusal without any CORS header.
    const refused = await fetch(`${agent}/v1/session`, {
      method: "POST",
      headers: { Origin: origin, "Content-Type": "application/json" },
      body: "{}",
    });
    assert.equal(refused.status, 403);
    assert.equal(refused.headers.get("access-control-allow-origin"), null);
    assert.equal((await refused.json()).error, "origin-refused");
  } finally {
    server.close();
  }
});

test("a page that goes away ends its session", async () => {
  const deletes = () => (demo.output().match(/ DELETE \/v1\/session\/\S* 204/g) ?? []).length;
  const before = deletes();
  const page = await browser.newPage();
  const connect = ({ port }) =>
    import(`http://127.0.0.1:${port}/kestrune.js`).then(({ Kestrune }) =>
      Kestrune.connect({ port }).then(() => true),
    );
  // More reloads than the agent has sessions: each page's session ends as it goes.
  for (let i = 0; i < 10; ++i) {
    await page.goto(demoUrl);
    assert.equal(await page.evaluate(connect, { port: settings.agentPort }), true);
  }
  await page.close({ runBeforeUnload: true });
  for (let i = 0; i < 50 && deletes() < before + 10; ++i) {
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  assert.equal(deletes(), before + 10);
});

test("refused consent: token-changing calls are refused and the token is unchanged", async () => {
  const demoDir = path.join(tmp, "demo");
  const denying = await start(
    ["serve", "--listen", "127.0.0.1:0"],
    {
      KESTRUNE_CONSENT: "deny",
      XDG_CONFIG_HOME: path.join(demoDir, "config"),
      XDG_DATA_HOME: path.join(demoDir, "data"),
      SOFTHSM2_CONF: path.join(demoDir, "softhsm2.conf"),
    },
    /http:\/\/127\.0\.0\.1:(\d+)/,
  );
  others.push(denying.child);
  const deniedPort = Number(denying.match[1]);
  assert.notEqual(deniedPort, settings.agentPort);

  const page = await browser.newPage();
  await page.goto(demoUrl);
  const refusals = await page.evaluate(
    async ({ port, s }) => {
      const { Kestrune } = await import(`http://127.0.0.1:${port}/kestrune.js`);
      const attempts = {
        makeCard: (k) => k.makeCard("U999", "ORG99"),
        setPassword: (k) => k.setPassword(s.pin, "654321"),
      };
      const seen = {};
      for (const [name, attempt] of Object.entries(attempts)) {
        const k = await Kestrune.connect({ port });
        await k.loadLib(s.module);
        try {
          await attempt(k);
          seen[name] = "made";
        } catch (error) {
          seen[name] = error.reason;
        }
        await k.disconnect();
      }
      return seen;
    },
    { port: deniedPort, s: settings },
  );
  assert.deepEqual(refusals, { makeCard: "consent-refused", setPassword: "consent-refused" });

  // Through the allowed agent: the PIN and the identifiers are what the life cycle left.
  const token = await page.evaluate(
    async ({ port, s }) => {
      const { Kestrune } = await import(`http://127.0.0.1:${port}/kestrune.js`);
      const k = await Kestrune.connect({ port });
      await k.loadLib(s.module);
      const pin = await k.checkPassword(s.pin).then(
        () => "accepted",
        (error) => error.message,
      );
      const found = { pin, sid1: await k.getSID1(), sid2: await k.getSID2() };
      await k.close();
      return found;
    },
    { port: settings.agentPort, s: settings },
  );
  assert.deepEqual(token, { pin: "accepted", sid1: settings.userId, sid2: settings.orgId });
  await page.close();
});
