// Runs the verifier printed in docs/merchant.md (prepended to this file by
// scripts/test.d/vectors.sh) on every signature test vector.
const fs = require("fs");
const header = {}, cases = [];
for (const line of fs.readFileSync(process.argv[2], "latin1").split("\n")) {
  if (line.startsWith("#") || !line.includes(": ")) continue;
  const [field, value] = [line.slice(0, line.indexOf(": ")), line.slice(line.indexOf(": ") + 2)];
  if (field === "case") cases.push({ case: value });
  else if (cases.length) cases[cases.length - 1][field] = value;
  else header[field] = value;
}
let wrong = 0;
for (const c of cases) {
  const got = verifyReturn(c.query, header.retour, header.key);
  const ok = (got !== null) === (c.verdict === "valid") && (got === null || /^[0-9]{8}$/.test(got.Trans));
  if (!ok) console.log(`FAIL ${c.case}: expected ${c.verdict}, got ${JSON.stringify(got)}`);
  wrong += ok ? 0 : 1;
}
console.log(`node: ${cases.length - wrong} of ${cases.length} vectors get their verdict`);
process.exit(cases.length > 0 && wrong === 0 ? 0 : 1);
