// SPDX-License-Identifier: Apache-2.0
// Runs the stream inputs written by `parser_bench --dump-inputs` through the JavaScript package
// eventsource-parser, fed like a browser or Node client feeds it (bytes decoded with a streaming
// TextDecoder, 16 KiB chunks), and prints our throughput next to it.
//
//   node sse_compare.mjs <folder with node_modules> <inputs folder> <parser_bench JSON output>
//
// Exits with status 1 when our parser is less than TARGET times faster on any shape.

import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import { performance } from 'node:perf_hooks';

const TARGET = 5;
const CHUNK = 16384;
const SHAPES = ['small_json', 'data_32k', 'crlf_fields', 'utf8_data'];

const [modulesDir, inputsDir, oursPath] = process.argv.slice(2);
const { createParser } = createRequire(join(modulesDir, 'package.json'))('eventsource-parser');

function chunksOf(bytes) {
  const chunks = [];
  for (let at = 0; at < bytes.length; at += CHUNK) chunks.push(bytes.subarray(at, at + CHUNK));
  return chunks;
}

// Bytes per second of `run`, which handles `size` bytes per call.
function throughput(run, size) {
  for (let i = 0; i < 3; i++) run();
  let calls = 0;
  const start = performance.now();
  let elapsed = 0;
  while (elapsed < 1500) {
    run();
    calls++;
    elapsed = performance.now() - start;
  }
  return (size * calls) / (elapsed / 1000);
}

function measure(bytes) {
  const chunks = chunksOf(bytes);
  let events = 0;
  const callbacks = { onEvent() { events++; }, onComment() {} };
  const fromBytes = () => {
    const parser = createParser(callbacks);
    const decoder = new TextDecoder();
    for (const chunk of chunks) parser.feed(decoder.decode(chunk, { stream: true }));
  };
  const decoder = new TextDecoder();
  const texts = chunks.map((chunk) => decoder.decode(chunk, { stream: true }));
  const fromText = () => {
    const parser = createParser(callbacks);
    for (const text of texts) parser.feed(text);
  };
  events = 0;
  fromBytes();
  const eventsPerPass = events;
  return { bytes: throughput(fromBytes, bytes.length), text: throughput(fromText, bytes.length), eventsPerPass };
}

const ours = new Map(JSON.parse(readFileSync(oursPath, 'utf8')).benchmarks.map((b) => [b.name, b]));
const mb = (bytesPerSecond) => (bytesPerSecond / 1e6).toFixed(0).padStart(8);

console.log('MB/s at 16 KiB chunks (1 MB = 10^6 bytes)');
console.log('shape         zelk   js(bytes)  ratio   js(text)   memchr  events/pass');
let failed = false;
for (const shape of SHAPES) {
  const bytes = readFileSync(join(inputsDir, `${shape}.sse`));
  const theirs = measure(bytes);
  const mine = ours.get(`parse/${shape}/${CHUNK}`);
  const ceiling = ours.get(`memchr/${shape}`);
  if (!mine || !ceiling) throw new Error(`no result for ${shape} in ${oursPath}`);
  const ratio = mine.bytes_per_second / theirs.bytes;
  failed ||= ratio < TARGET;
  console.log(
    `${shape.padEnd(11)} ${mb(mine.bytes_per_second)} ${mb(theirs.bytes)}  ${ratio.toFixed(1).padStart(5)}x` +
      ` ${mb(theirs.text)} ${mb(ceiling.bytes_per_second)}  ${String(theirs.eventsPerPass).padStart(8)}` +
      (ratio < TARGET ? `  below the ${TARGET}x target` : ''),
  );
}
console.log('js(bytes): TextDecoder + parser, as a client feeds it; js(text): parser alone on');
console.log('pre-decoded text; ratio = zelk / js(bytes).');
process.exit(failed ? 1 : 0);
