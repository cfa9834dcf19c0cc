'use strict';
const test = require('node:test');
const assert = require('node:assert/strict');
const { libraryFile } = require('@tarnwell/linkrate/lib/native');

test("the library's file name follows the system", () => {
  const cases = [
    ['linux', 'libtarnwell-linkrate.so.2'],
    ['freebsd', 'libtarnwell-linkrate.so.2'],
    ['win32', 'tarnwell-linkrate.dll'],
    ['cygwin', 'tarnwell-linkrate.dll'],
    ['darwin', 'libtarnwell-linkrate.2.dylib'],
  ];
  for (const [platform, file] of cases) assert.equal(libraryFile(platform), file, platform);
  // This system's own name is the one the module loads by default.
  assert.equal(libraryFile(), libraryFile(process.platform));
});
