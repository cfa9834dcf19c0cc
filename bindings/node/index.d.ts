// Network speed tests from Node: the linkrate library through koffi.

/** The library's result record. Rates in Mbit/s (10^6 bit/s), times in ms. */
export interface Result {
  readonly pingMs: number;
  readonly downloadMbps: number;
  readonly uploadMbps: number;
  readonly durationMs: number;
  readonly jitterMs: number;
  /** What the test ran against: "host:port" or the base URL. */
  readonly server: string;
  /** "idle", "ping", "download", "upload" or "complete". */
  readonly phase: string;
  /** Tests of a run that measured nothing; their figures read 0 and are not measurements. */
  readonly failed: readonly ('ping' | 'download' | 'upload')[];
  /** In a stopped internet run: the phase cut short, whose figure is its rate so far; else "". */
  readonly stopped: '' | 'ping' | 'download' | 'upload';
  /** In a stopped internet run: the phases it never reached (their figures read 0). */
  readonly notMeasured: readonly ('download' | 'upload')[];
}

/**
 * A test failed. `libraryMessage` is the library's own text; `message` is the
 * same, followed for a full LAN run by the tests that measured nothing:
 * "All tests failed (ping, download and upload measured nothing)".
 */
export class LinkrateError extends Error {
  readonly libraryMessage: string;
  /** The tests of a full LAN run that measured nothing; empty otherwise. */
  readonly failed: readonly ('ping' | 'download' | 'upload')[];
}

/** A test was cancelled. */
export class Cancelled extends LinkrateError {
  /** The record as the cancelled test left it. */
  readonly result: Result;
  /** What a ping, download or upload measured before it stopped; null for runs or nothing measured. */
  readonly value: number | null;
}

/** A progress report of the internet run: "ping" (value in ms), "download"/"upload" (Mbit/s so far), "complete". */
export type TickHandler = (phase: 'ping' | 'download' | 'upload' | 'complete', value: number, percent: number) => void;

export const DEFAULT_PORT: 7878;

/** The library's version text, for example "2.0.0". */
export function version(): string;

/** The library's latest result record, also while a test runs. */
export function result(): Result;

/** Asks the running test to stop. Never blocks; a request made while no test runs is dropped. */
export function cancel(): void;

/** Mean TCP round trip in ms to a linkrate server over `count` pings (0 or less: 5). */
export function ping(host: string, port?: number, count?: number): Promise<number>;

/** Download throughput in Mbit/s for `durationMs` (0 or less: 2000); 0 means nothing arrived. */
export function download(host: string, port?: number, durationMs?: number): Promise<number>;

/** Upload throughput in Mbit/s for `durationMs` (0 or less: 2000). */
export function upload(host: string, port?: number, durationMs?: number): Promise<number>;

/** Ping, download and upload in turn; rejects with LinkrateError only when every test failed. */
export function lan(host: string, port?: number, durationMs?: number): Promise<Result>;

/**
 * The internet test: ten latency requests, 3 s of download, 3 s of upload.
 * `onTick` runs on the event loop; an exception it throws ends the reports and
 * rejects the promise once the run has ended.
 */
export function internet(baseUrl: string, options?: { onTick?: TickHandler | null }): Promise<Result>;

/**
 * The built-in LAN test server on all local IPv4 addresses at `port`; one per
 * process. While it runs it keeps the process alive, as a listening net.Server
 * does, unless `unref()` was called.
 */
export class Server {
  constructor(port?: number);
  readonly port: number;
  readonly running: boolean;
  /** Lets the process end while the server runs. */
  unref(): this;
  /** Keeps the process alive while the server runs (the default). */
  ref(): this;
  /** Starts listening; rejects with LinkrateError when a server runs already or the port is taken. */
  start(): Promise<this>;
  /** Stops the server; does nothing when it is not running. */
  stop(): Promise<void>;
}
