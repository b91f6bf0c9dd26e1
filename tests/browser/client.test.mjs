// kestrune.js against a stand-in agent: what a page's calls send, and how answers and refusals
// come back. The browser test runs it against the real agent.
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const { Kestrune, KestruneError } = await import(path.join(here, "../../agent/web/kestrune.js"));

const SESSION = "0123456789abcdef0123456789abcdef";
const requests = [];
// answers: method name -> [status, body] the stand-in gives a call of it.
const answers = {
  getSID1: [200, { method: "getSID1", result: "U001", lastError: 0 }],
  setTestVersion: [200, { method: "setTestVersion", lastError: 0 }],
  checkPassword: [
    200,
    {
      method: "checkPassword",
      result: 1513,
      lastError: 1513,
      error: "the PIN was refused",
      messages: [{ caption: "Debug", text: "shown by the control" }],
    },
  ],
  makeCard: [403, { error: "consent-refused", text: "the user refused" }],
  close: [200, { method: "close", result: 0, lastError: 0 }],
  getCSN: [200, { method: "getSID1", result: "1", lastError: 0 }],
};

let server;
let port;

before(async () => {
  server = http.createServer((request, response) => {
    let body = "";
    request.on("data", (chunk) => (body += chunk));
    request.on("end", () => {
      requests.push({ method: request.method, url: request.url, body, type: request.headers["content-type"] });
      const send = (status, json) => {
        response.writeHead(status, { "Content-Type": "application/json" });
        response.end(json === undefined ? undefined : JSON.stringify(json));
      };
      if (request.method === "POST" && request.url === "/v1/session") return send(201, { session: SESSION });
      if (request.method === "DELETE" && request.url === `/v1/session/${SESSION}`) return send(204);
      if (request.method === "POST" && request.url === `/v1/session/${SESSION}/call`) {
        const { method } = JSON.parse(body);
        return send(...(answers[method] ?? [400, { error: "bad-call", text: "unknown" }]));
      }
      send(404, { error: "unknown-session", text: "no such session" });
    });
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  port = server.address().port;
});

after(() => server.close());

test("every method of the control is a function of the client", async () => {
  const k = await Kestrune.connect({ port });
  assert.equal(Kestrune.methods.length, 59);
  for (const name of Kestrune.methods) assert.equal(typeof k[name], "function", name);
  await k.disconnect();
});

test("wrong calls are refused before any request", async () => {
  const k = await Kestrune.connect({ port });
  const before = requests.length;
  const wrong = [
    () => k.getSID1("extra"),
    () => k.makeCard("U001"),
    () => k.setTestVersion("1"),
    () => k.setTestVersion(1.5),
    () => k.setTestVersion(2 ** 31),
    () => k.setTestVersion(true),
    () => k.checkPassword(123456),
    () => k.checkPassword(null),
    () => k.call("noSuchMethod"),
    () => k.call("getsid1"),
    () => k.call("__proto__"),
  ];
  for (const attempt of wrong) {
    await assert.rejects(attempt(), (error) => error instanceof KestruneError && error.reason === "bad-call");
  }
  assert.equal(requests.length, before);
  await assert.rejects(Kestrune.connect({ host: "example.com" }), { reason: "bad-call" });
  await assert.rejects(Kestrune.connect({ port: 0 }), { reason: "bad-call" });
  await k.disconnect();
});

test("calls send the method and arguments as JSON and resolve with the result", async () => {
  const k = await Kestrune.connect({ port });
  assert.equal(await k.getSID1(), "U001");
  assert.equal(await k.setTestVersion(-1), null);
  const sent = requests.at(-1);
  assert.equal(sent.url, `/v1/session/${SESSION}/call`);
  assert.equal(sent.type, "application/json");
  assert.deepEqual(JSON.parse(sent.body), { method: "setTestVersion", args: [-1] });
  await k.disconnect();
});

test("the control's errors and the agent's refusals reject with their reasons", async () => {
  const k = await Kestrune.connect({ port });
  await assert.rejects(k.checkPassword("000000"), (error) => {
    assert.ok(error instanceof KestruneError);
    assert.equal(error.reason, "control");
    assert.equal(error.lastError, 1513);
    assert.deepEqual(error.messages, [{ caption: "Debug", text: "shown by the control" }]);
    assert.match(
      error.message,
      /checkPassword failed with lastError 1513: the PIN was refused; shown by the control/,
    );
    assert.doesNotMatch(error.message, /000000/);
    return true;
  });
  await assert.rejects(k.makeCard("U001", "ORG01"), { reason: "consent-refused", message: "the user refused" });
  // call gives the whole answer, whatever lastError says.
  assert.deepEqual(await k.call("checkPassword", "000000"), answers.checkPassword[1]);
  // An answer for another method is not this call's.
  await assert.rejects(k.getCSN(), { reason: "bad-answer" });
  await k.disconnect();
});

test("close calls the control's close, then ends the session", async () => {
  const k = await Kestrune.connect({ port });
  const before = requests.length;
  assert.equal(await k.close(), 0);
  const [closeCall, end] = requests.slice(before);
  assert.deepEqual(JSON.parse(closeCall.body), { method: "close", args: [] });
  assert.equal(end.method, "DELETE");
  assert.equal(end.url, `/v1/session/${SESSION}`);
  await assert.rejects(k.getSID1(), { reason: "closed" });
  assert.equal(await k.close(), null);
});

test("no agent: connect rejects as unreachable", async () => {
  const closed = http.createServer();
  await new Promise((resolve) => closed.listen(0, "127.0.0.1", resolve));
  const unused = closed.address().port;
  await new Promise((resolve) => closed.close(resolve));
  await assert.rejects(Kestrune.connect({ port: unused }), { reason: "unreachable" });
});
