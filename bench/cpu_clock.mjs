// SPDX-License-Identifier: Apache-2.0
// Loaded before a benchmark script (node --import ./cpu_clock.mjs script.mjs), makes
// process.hrtime.bigint() count the processor time of the whole process (its compiler and
// garbage-collector threads included) instead of wall time, so that a script timing itself with
// it reports processor time, as parser_bench does with --clock cpu. On a busy machine that is far
// less disturbed by other work than wall time.
process.hrtime.bigint = () => {
  const { user, system } = process.cpuUsage();
  return BigInt(user + system) * 1000n;
};
