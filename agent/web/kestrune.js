// kestrune.js: the client a web page uses to reach the Kestrune control through the local
// agent (`kestrune serve`) on the loopback address.
//
//   import { Kestrune, KestruneError } from "http://127.0.0.1:47011/kestrune.js";
//   const k = await Kestrune.connect();            // { port = 47011, host = "127.0.0.1" }
//   await k.loadLib("softhsm2");                   // resolves with the result (null for none)
//   const sid = await k.getSID1();                 // rejects with a KestruneError when the
//                                                  // control's lastError is not 0
//   const answer = await k.call("getCSN");         // the whole answer, lastError included
//   await k.close();                               // the control's close, then the session ends
//
// The agent answers only pages whose origin the user put on its allow-list, and asks the user
// before a page changes the token or signs. A page of another origin gets nothing at all.

// KestruneError: why a call gave no result.
//   reason     "control" (the control answered with lastError != 0), an error code of the
//              agent ("consent-refused", "origin-refused", "unknown-session", ...), or the
//              client's own: "bad-call" (wrong arguments, checked before any request),
//              "unreachable" (no agent, or the browser withheld its answer), "bad-answer",
//              "closed" (the session was closed)
//   lastError  the control's error code; 0 when the control was not reached
//   messages   the message boxes the control showed: [{caption, text}]
export class KestruneError extends Error {
  constructor(message, { reason, lastError = 0, messages = [] } = {}) {
    super(message);
    this.name = "KestruneError";
    this.reason = reason;
    this.lastError = lastError;
    this.messages = messages;
  }
}

// The control's interface: name: [DISPID, parameter kinds, result kind]. A test compares this
// block with the control's own table; rebuild and paste what it prints when they differ.
// BEGIN METHOD TABLE
const METHODS = {
  loadCACert: [1, ["text"], "I4"],
  checkPassword: [2, ["text"], "I4"],
  sign: [3, ["text"], "text"],
  signB64: [4, ["text"], "text"],
  getSID1: [5, [], "text"],
  getSID2: [6, [], "text"],
  getCSN: [7, [], "text"],
  setPassword: [8, ["text", "text"], "I4"],
  makeCard: [9, ["text", "text"], "I4"],
  makeRequestCert: [10, ["I4", "text", "text"], "I4"],
  loadCert: [11, ["text"], "I4"],
  getCert: [12, ["text"], "I4"],
  getBeginDate: [13, [], "text"],
  getEndDate: [14, [], "text"],
  getBeginDateTime: [15, [], "text"],
  getEndDateTime: [16, [], "text"],
  getErrorCode: [17, [], "I4"],
  loadLib: [18, ["text"], "I4"],
  getCardSN: [19, [], "text"],
  setCardSN: [20, ["text"], "I4"],
  loadCertB64: [21, ["text"], "I4"],
  loadCACertB64: [22, ["text"], "I4"],
  getCertB64: [23, [], "text"],
  signHash: [24, ["text"], "text"],
  close: [25, [], "I4"],
  setTestVersion: [26, ["I4"], "none"],
  newCertificate: [27, ["text", "text"], "I4"],
  extendCertificate: [28, ["text"], "I4"],
  revokeCertificate: [29, ["text", "text"], "I4"],
  queryCertificate: [30, ["text", "text", "text", "text"], "I4"],
  queryMultipleCertificate: [31, ["text", "text", "text", "text", "text", "text"], "text"],
  queryCRL: [32, ["text", "text", "text"], "text"],
  queryCaPublicKey: [33, ["text", "text", "text"], "text"],
  queryPSNCaPublicKey: [34, ["text", "text", "text", "text"], "text"],
  queryDateCaPublicKey: [35, ["text", "text", "text", "text"], "text"],
  setP11CryptReinit: [36, ["I4"], "none"],
  loadMultiCertB64: [37, ["text"], "I4"],
  getCPublicExponent: [38, [], "text"],
  getCModulus: [39, [], "text"],
  getCASID2: [40, [], "text"],
  getCASID1: [41, [], "text"],
  querySID1: [42, ["text", "text", "text"], "text"],
  querySID2: [43, ["text", "text", "text"], "text"],
  queryB64Certificate: [44, ["text", "text", "text", "text"], "text"],
  setSID: [45, ["text", "text"], "I4"],
  FEDIMessageSign: [47, ["text"], "text"],
  showDebugMessage: [49, ["I4"], "none"],
  getNewCertB64: [50, [], "text"],
  getNewCert: [51, ["text"], "I4"],
  getType: [52, [], "text"],
  setCurrentSlot: [53, ["I4"], "I4"],
  FEDIMessageSignWithCSP: [54, ["text", "text", "text", "text", "text", "I4", "I4"], "text"],
  TV_GETVersion: [55, ["I4"], "text"],
  FEDIMessageSignWithCSP_Init: [56, ["text", "text", "text", "text", "I4", "I4"], "I4"],
  FEDIMessageSignWithCSP_Update: [57, ["text"], "text"],
  FEDIMessageSignWithCSP_Final: [58, [], "I4"],
  setTokenType: [59, ["I4"], "none"],
  getCertNotBefore: [60, ["I4"], "text"],
  getCertNotAfter: [61, ["I4"], "text"],
};
// END METHOD TABLE

const INT32_MIN = -2147483648;
const INT32_MAX = 2147483647;
const SESSION_ID = /^[0-9a-f]{32}$/;

function badCall(text) {
  return new KestruneError(text, { reason: "bad-call" });
}

// checkArguments throws unless args fit the method: the count, and per kind a string (text) or
// an integer in the 32-bit signed range (I4).
function checkArguments(name, args) {
  if (!Object.hasOwn(METHODS, name)) throw badCall(`${String(name)} is not a method of the control`);
  const kinds = METHODS[name][1];
  if (args.length !== kinds.length) {
    throw badCall(`${name} takes ${kinds.length} argument(s), not ${args.length}`);
  }
  kinds.forEach((kind, i) => {
    const value = args[i];
    const fits =
      kind === "text"
        ? typeof value === "string"
        : Number.isInteger(value) && value >= INT32_MIN && value <= INT32_MAX;
    if (!fits) {
      const wanted = kind === "text" ? "a string" : "an integer of 32 bits";
      throw badCall(`argument ${i + 1} of ${name} must be ${wanted}`);
    }
  });
}

function hostPart(host) {
  if (host === "127.0.0.1" || host === "localhost") return host;
  if (host === "::1" || host === "[::1]") return "[::1]";
  throw badCall("the agent listens on the loopback address only: 127.0.0.1, localhost or ::1");
}

function isAnswer(value, name) {
  return (
    value !== null &&
    typeof value === "object" &&
    value.method === name &&
    Number.isInteger(value.lastError) &&
    (value.messages === undefined || Array.isArray(value.messages))
  );
}

// request sends one request to the agent and returns the parsed JSON body (null when empty);
// every failure becomes a KestruneError. No cookies or credentials ever go with it; the
// browser keeps the connection alive between calls by itself.
async function request(url, method, body, options = {}) {
  let response;
  try {
    response = await fetch(url, {
      method,
      headers: body === undefined ? {} : { "Content-Type": "application/json" },
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: "omit",
      cache: "no-store",
      redirect: "error",
      referrerPolicy: "no-referrer",
      ...options,
    });
  } catch {
    throw new KestruneError(
      "the Kestrune agent could not be reached, or it does not answer this page's origin",
      { reason: "unreachable" },
    );
  }
  const text = await response.text().catch(() => "");
  let parsed = null;
  if (text !== "") {
    try {
      parsed = JSON.parse(text);
    } catch {
      parsed = undefined;
    }
  }
  if (!response.ok) {
    const code = parsed && typeof parsed.error === "string" ? parsed.error : "bad-answer";
    const why = parsed && typeof parsed.text === "string" ? parsed.text : `HTTP ${response.status}`;
    throw new KestruneError(why, { reason: code });
  }
  if (parsed === undefined) {
    throw new KestruneError("the agent's answer is not JSON", { reason: "bad-answer" });
  }
  return parsed;
}

function controlFailure(name, answer) {
  const messages = answer.messages ?? [];
  const shown = messages.map((m) => m && m.text).filter((t) => typeof t === "string");
  // The agent names what the code means beside a non-zero lastError.
  if (typeof answer.error === "string") shown.unshift(answer.error);
  const text = `${name} failed with lastError ${answer.lastError}` +
    (shown.length > 0 ? `: ${shown.join("; ")}` : "");
  return new KestruneError(text, { reason: "control", lastError: answer.lastError, messages });
}

class Client {
  #base;
  #session;

  constructor(base, session) {
    this.#base = base;
    this.#session = session;
  }

  // call makes one call and returns the agent's whole answer:
  // {method, result, lastError, messages}; it rejects only when no call was made.
  async call(name, ...args) {
    checkArguments(name, args);
    if (this.#session === null) {
      throw new KestruneError("the session is closed", { reason: "closed" });
    }
    const url = `${this.#base}/v1/session/${this.#session}/call`;
    const answer = await request(url, "POST", { method: name, args });
    if (!isAnswer(answer, name)) {
      throw new KestruneError("the agent's answer is not a call's answer", { reason: "bad-answer" });
    }
    return answer;
  }

  async #invoke(name, args) {
    const answer = await this.call(name, ...args);
    if (answer.lastError !== 0) throw controlFailure(name, answer);
    return answer.result ?? null;
  }

  // close ends the control's use of the token (its close method), then the agent's session
  // and its process, whatever the control answered.
  async close() {
    if (this.#session === null) return null;
    try {
      return await this.#invoke("close", []);
    } finally {
      // An agent that already ended the session (idle, restarted) has nothing left to end.
      await this.disconnect().catch(() => {});
    }
  }

  // disconnect ends the session without calling the control; the agent's process for it ends
  // and with it the token session.
  async disconnect() {
    const session = this.#session;
    if (session === null) return;
    this.#session = null;
    // keepalive lets the request outlive the page when it is being closed.
    await request(`${this.#base}/v1/session/${session}`, "DELETE", undefined, { keepalive: true });
  }

  // One function per method of the control, named as the control names it.
  static {
    for (const name of Object.keys(METHODS)) {
      if (name === "close") continue;  // close() above: the control's close, then the session's
      Object.defineProperty(Client.prototype, name, {
        value: async function (...args) {
          return this.#invoke(name, args);
        },
      });
    }
  }
}

export const Kestrune = Object.freeze({
  methods: Object.freeze(Object.keys(METHODS)),

  // connect opens a session with the agent; it rejects with a KestruneError when the agent is
  // not there or does not answer this page.
  async connect({ port = 47011, host = "127.0.0.1" } = {}) {
    if (!Number.isInteger(port) || port < 1 || port > 65535) {
      throw badCall("port must be an integer from 1 to 65535");
    }
    const base = `http://${hostPart(host)}:${port}`;
    const answer = await request(`${base}/v1/session`, "POST", {});
    if (!answer || typeof answer.session !== "string" || !SESSION_ID.test(answer.session)) {
      throw new KestruneError("the agent's answer holds no session", { reason: "bad-answer" });
    }
    const client = new Client(base, answer.session);
    // A page that goes away (closed, reloaded, navigated) ends its session, so that the agent's
    // sessions are not used up by pages no longer there. A page kept in the back-forward
    // cache (persisted) may come back and keeps it.
    globalThis.addEventListener?.("pagehide", (event) => {
      if (!event.persisted) client.disconnect().catch(() => {});
    });
    return client;
  },
});
