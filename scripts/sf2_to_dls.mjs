#!/usr/bin/env node
// Converts an SF2 bank to DLS level 2 with an independent writer
// (spessasynth_core), for comparing our DLS path against the SF2 path.
//
//   node scripts/sf2_to_dls.mjs IN.sf2 OUT.dls [MODULES_DIR]
//
// MODULES_DIR is where `npm install spessasynth_core` was run (default: the
// current directory); the package is never part of the repository.

import { readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { resolve } from "node:path";
import { pathToFileURL } from "node:url";

const [input, output, modulesDir = "."] = process.argv.slice(2);
if (!input || !output) {
  console.error("usage: sf2_to_dls.mjs IN.sf2 OUT.dls [MODULES_DIR]");
  process.exit(2);
}

const require = createRequire(pathToFileURL(resolve(modulesDir, "package.json")));
let entry;
try {
  entry = require.resolve("spessasynth_core");
} catch {
  console.error(`spessasynth_core is not installed in ${modulesDir} (npm install spessasynth_core)`);
  process.exit(3);
}
const { SoundBankLoader } = await import(pathToFileURL(entry).href);

const file = readFileSync(input);
const bank = SoundBankLoader.fromArrayBuffer(file.buffer.slice(file.byteOffset, file.byteOffset + file.byteLength));
const dls = await bank.writeDLS({ software: "sf2_to_dls" });
writeFileSync(output, Buffer.from(dls));
console.log(`${output}: ${bank.presets.length} presets, ${bank.samples.length} samples`);
