// Parses PowerShell offline with the tree-sitter grammar's WebAssembly
// build: node powershell_syntax.cjs MODULE-DIR FILE...
// A .ps1 file is parsed whole and must be ASCII (Windows PowerShell 5.1
// reads a file without a byte order mark in the system's code page); in a
// Markdown file every ```powershell block is parsed, and in a workflow every
// `run: |` block of a step whose shell is pwsh or powershell. Prints each syntax
// error with its file and line, and exits 1 if there is any.
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

// V8 would otherwise optimise the whole grammar in the background and hold
// the exit for seconds; a few parses need none of it. An older V8 without
// the flag ignores it.
require("node:v8").setFlagsFromString("--liftoff-only");

// The pieces of `file` to parse, each with the line it starts on (from 1).
function pieces(file) {
  const text = readFileSync(file, "utf8");
  const found = [];
  const lines = text.split("\n");
  if (file.endsWith(".yml")) {
    // The step each line belongs to (the line that opens it), and the steps
    // whose shell is PowerShell, wherever `shell:` stands among their keys.
    const stepOf = [];
    const powershellSteps = new Set();
    lines.forEach((line, i) => {
      stepOf.push(/^\s*- /.test(line) ? i : (stepOf[i - 1] ?? -1));
      if (/^\s*(- )?shell: (pwsh|powershell)\s*$/.test(line)) {
        powershellSteps.add(stepOf[i]);
      }
    });
    for (let i = 0; i < lines.length; i += 1) {
      const run = /^(\s*)run: \|\s*$/.exec(lines[i]);
      if (run && powershellSteps.has(stepOf[i])) {
        let end = i + 1;
        while (end < lines.length && (lines[end].trim() === "" ||
               lines[end].search(/\S/) > run[1].length)) {
          end += 1;
        }
        found.push({ text: lines.slice(i + 1, end).join("\n"), firstLine: i + 2 });
        i = end - 1;
      }
    }
    return found;
  }
  if (!file.endsWith(".md")) {
    return [{ text, firstLine: 1 }];
  }
  for (let i = 0; i < lines.length; i += 1) {
    if (lines[i].trim() !== "```powershell") {
      continue;
    }
    const start = i + 1;
    let end = start;
    while (end < lines.length && lines[end].trim() !== "```") {
      end += 1;
    }
    found.push({ text: lines.slice(start, end).join("\n"), firstLine: start + 1 });
    i = end;
  }
  return found;
}

// Error and missing nodes, outermost first.
function errors(node, out = []) {
  if (node.isError || node.isMissing) {
    out.push(node);
    return out;
  }
  for (const child of node.children) {
    errors(child, out);
  }
  return out;
}

async function main() {
  const [moduleDir, ...files] = process.argv.slice(2);
  const { Parser, Language } = require(require.resolve("web-tree-sitter", { paths: [moduleDir] }));
  await Parser.init();
  const parser = new Parser();
  parser.setLanguage(await Language.load(
    resolve(moduleDir, "tree-sitter-powershell", "tree-sitter-powershell.wasm")));
  let findings = 0;
  let blocks = 0;
  const report = (file, line, message) => {
    console.log(`${file}:${line}: ${message}`);
    findings += 1;
  };
  for (const file of files) {
    if (file.endsWith(".ps1")) {
      readFileSync(file, "utf8").split("\n").forEach((line, i) => {
        if (/[^\x00-\x7f]/.test(line)) {
          report(file, i + 1, "not ASCII");
        }
      });
    }
    const found = pieces(file);
    if (found.length === 0) {
      report(file, 1, "no PowerShell found");
    }
    for (const { text, firstLine } of found) {
      blocks += 1;
      for (const node of errors(parser.parse(text).rootNode)) {
        const what = node.isMissing ? `missing ${node.type}` : "syntax error";
        const near = node.text.split("\n")[0].slice(0, 60);
        report(file, firstLine + node.startPosition.row, `${what} near '${near}'`);
      }
    }
  }
  console.log(`powershell syntax: ${blocks} script(s) in ${files.length} file(s), ` +
              `${findings} finding(s)`);
  process.exitCode = findings === 0 ? 0 : 1;
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 2;
});
