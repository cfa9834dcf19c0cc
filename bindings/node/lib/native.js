'use strict';
// Finding and loading the shared library, and the prototypes of its calls.
const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const { nativeStackBytes } = require('./stack.json');

const LIBRARY_ENV = 'LINKRATE_LIBRARY';

/** The library's file name on `platform` (a process.platform value): the DLL on Windows, ABI 2's name elsewhere. */
function libraryFile(platform = process.platform) {
  if (platform === 'win32' || platform === 'cygwin') return 'tarnwell-linkrate.dll';
  if (platform === 'darwin') return 'libtarnwell-linkrate.2.dylib';
  return 'libtarnwell-linkrate.so.2';
}

const LIBRARY_FILE = libraryFile();

// koffi runs every synchronous call on a stack block of its own: give the
// library's deepest call (TLS handshake, name resolution) ample room.
koffi.config({ ...koffi.config(), sync_stack_size: nativeStackBytes });

const TickCallback = koffi.proto('void TickCallback(const char *phase, double value, int32_t percent)');

// Debian's multiarch folder names for Node's process.arch values.
const MULTIARCH = {
  x64: 'x86_64-linux-gnu',
  arm64: 'aarch64-linux-gnu',
  arm: 'arm-linux-gnueabihf',
  ia32: 'i386-linux-gnu',
  ppc64: 'powerpc64le-linux-gnu',
  s390x: 's390x-linux-gnu',
  riscv64: 'riscv64-linux-gnu',
};

/**
 * Where the library is looked for, in order. `$LINKRATE_LIBRARY`, when set, is
 * the only place. Otherwise: beside the package, the folders `cmake --install`
 * puts it in by default (/usr/local/lib, and the multiarch folders under
 * /usr/local/lib and /usr/lib), then the system's loader by file name.
 */
function candidates({
  platform = process.platform,
  arch = process.arch,
  env = process.env,
  exists = fs.existsSync,
} = {}) {
  if (env[LIBRARY_ENV]) return [env[LIBRARY_ENV]];
  const file = libraryFile(platform);
  const folders = [path.join(__dirname, '..')];
  if (platform !== 'win32' && platform !== 'cygwin') {
    folders.push('/usr/local/lib');
    if (platform === 'linux' && MULTIARCH[arch]) {
      folders.push(`/usr/local/lib/${MULTIARCH[arch]}`, `/usr/lib/${MULTIARCH[arch]}`);
    }
  }
  const found = folders.map((folder) => path.join(folder, file)).filter((candidate) => exists(candidate));
  found.push(file);
  return found;
}

/** Loads the library (by `name` when given) and declares its calls. */
function load(name) {
  const tried = [];
  let handle = null;
  let loaded = null;
  for (const candidate of name ? [name] : candidates()) {
    try {
      handle = koffi.load(candidate);
      loaded = candidate;
      break;
    } catch (error) {
      tried.push(`${candidate}: ${error.message}`);
    }
  }
  if (!handle && !name && process.env[LIBRARY_ENV]) {
    throw new Error(`cannot load the linkrate library named by ${LIBRARY_ENV} (${tried[0]})`);
  }
  if (!handle) {
    throw new Error(
      `cannot load the linkrate library; install it, or set ${LIBRARY_ENV} to its path (${tried.join('; ')})`,
    );
  }
  const lib = {
    name: loaded,
    linkrate_init: handle.func('int32_t linkrate_init(void)'),
    linkrate_start_server: handle.func('int32_t linkrate_start_server(int32_t port)'),
    linkrate_stop_server: handle.func('void linkrate_stop_server(void)'),
    linkrate_ping: handle.func('double linkrate_ping(const char *host, int32_t port, int32_t count)'),
    linkrate_download: handle.func('double linkrate_download(const char *host, int32_t port, int32_t duration_ms)'),
    linkrate_upload: handle.func('double linkrate_upload(const char *host, int32_t port, int32_t duration_ms)'),
    linkrate_run_all: handle.func('int32_t linkrate_run_all(const char *host, int32_t port, int32_t duration_ms)'),
    linkrate_internet_run: handle.func('int32_t linkrate_internet_run(const char *base_url)'),
    linkrate_result_json: handle.func('const char *linkrate_result_json(void)'),
    linkrate_version: handle.func('const char *linkrate_version(void)'),
    linkrate_set_tick: handle.func('void linkrate_set_tick(TickCallback *callback)'),
    linkrate_cancel: handle.func('void linkrate_cancel(void)'),
    linkrate_last_error: handle.func('const char *linkrate_last_error(void)'),
  };
  return lib;
}

module.exports = { koffi, candidates, libraryFile, load, TickCallback };
