// The demo page's life cycle: each step is one line, OK or FAILED, and the first failure ends
// the run. What the page needs (the agent's port, the authority, the demo token's secrets) comes
// from the demo's own server in /demo.json: it is a demo token.

// A small invoice: 9 segments from UNH to UNT.
const INVOICE =
  "UNH+1+INVOIC:D:96A:UN'BGM+380+INV0001+9'DTM+137:20240102:102'" +
  "NAD+SU+++Kestrune Demo Supplier'NAD+BY+++Kestrune Demo Buyer'LIN+1++WIDGET:SA'" +
  "QTY+47:10'MOA+203:1000'UNT+9+1'";
const SHOWN = 60;

const button = document.getElementById("run");
const list = document.getElementById("steps");
const outcome = document.getElementById("outcome");

function shorten(value) {
  if (value === null || value === undefined) return "";
  const text = String(value);
  return text.length > SHOWN ? `${text.slice(0, SHOWN)}...` : text;
}

// step shows the title, runs action and marks the line; check may refuse a result.
async function step(title, action, check = () => null) {
  const line = document.createElement("li");
  line.textContent = `${title} ... `;
  list.append(line);
  const mark = (ok, detail) => {
    const status = document.createElement("span");
    status.className = ok ? "ok" : "failed";
    status.textContent = ok ? "OK" : "FAILED";
    line.dataset.status = ok ? "ok" : "failed";
    const more = document.createElement("span");
    more.className = "detail";
    more.textContent = detail ? ` ${detail}` : "";
    line.append(status, more);
  };
  let result;
  try {
    result = await action();
  } catch (error) {
    const reason = error && error.reason ? ` [${error.reason}]` : "";
    mark(false, `${error && error.message ? error.message : String(error)}${reason}`);
    throw error;
  }
  const refusal = check(result);
  if (refusal) {
    mark(false, refusal);
    throw new Error(refusal);
  }
  mark(true, typeof result === "object" ? "" : shorten(result));
  return result;
}

const equals = (wanted) => (value) => (value === wanted ? null : `expected ${wanted}`);

async function verify(message, certificate) {
  const response = await fetch("/verify", {
    method: "POST",
    headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ message, certificate }),
  });
  const answer = await response.json();
  if (!answer.ok) throw new Error(answer.text);
  return answer.text.replace(/^OK: /, "");
}

async function lifeCycle() {
  const demo = await step("read the demo's settings", async () => {
    const response = await fetch("/demo.json", { cache: "no-store" });
    return response.json();
  });
  const { Kestrune } = await step("import kestrune.js from the agent", () =>
    import(`http://127.0.0.1:${demo.agentPort}/kestrune.js`),
  );
  const k = await step(`connect to the agent on port ${demo.agentPort}`, () =>
    Kestrune.connect({ port: demo.agentPort }),
  );
  try {
    await step(`loadLib "${demo.module}"`, () => k.loadLib(demo.module));
    await step("checkPassword", () => k.checkPassword(demo.pin));
    await step(`makeCard ${demo.userId} ${demo.orgId}`, () => k.makeCard(demo.userId, demo.orgId));
    await step("getSID1", () => k.getSID1(), equals(demo.userId));
    await step("getSID2", () => k.getSID2(), equals(demo.orgId));
    await step("setTestVersion 1", () => k.setTestVersion(1));
    await step("loadCACertB64 with the authority's certificate", () => k.loadCACertB64(demo.caBag));
    await step(`newCertificate ${demo.caUrl}`, () => k.newCertificate(demo.caUrl, demo.passPhrase));
    const serial = await step("getCSN", () => k.getCSN(), (csn) => (csn ? null : "no serial"));
    const certificate = await step("getCertB64", () => k.getCertB64());
    const signed = await step("FEDIMessageSign of an INVOIC message", () =>
      k.FEDIMessageSign(INVOICE),
      (text) => (text.startsWith("UNH+1+INVOIC") && text.includes("'USR+") ? null : "not signed"),
    );
    await step(`verify the signed message with certificate ${serial}`, () =>
      verify(signed, certificate),
    );
  } finally {
    await step("close", () => k.close());
  }
}

button.addEventListener("click", async () => {
  button.disabled = true;
  list.replaceChildren();
  outcome.textContent = "";
  try {
    await lifeCycle();
    outcome.textContent = "Done: every step OK.";
    outcome.dataset.status = "ok";
  } catch {
    outcome.textContent = "Stopped at the step marked FAILED.";
    outcome.dataset.status = "failed";
  } finally {
    button.disabled = false;
  }
});
button.disabled = false;
