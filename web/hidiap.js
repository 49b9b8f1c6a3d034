// The web updater's entry: the tool's own engine, inputs and outcome words, compiled to
// WebAssembly (hidiap-core.js), driven over WebHID from the page's single event loop.
//
//   import { Updater } from './hidiap.js';
//   const updater = await Updater.create();
//   const refused = updater.load({ image: {name, bytes}, tts: {name, bytes}, token: '1MB' });
//   //   or updater.load({ package: {name, bytes} })
//   if (refused) { /* refused.exitStatus, refused.reason: the tool's own words */ }
//   const [device] = await navigator.hid.requestDevice({ filters: updater.filters });
//   const result = await updater.update(device, { onText, onPhase, onProgress });
//   // result.status: 'success' or 'failed'; result.exitStatus, result.outcome (the outcome line),
//   // result.cause (the tool's word for why it failed, '' on success)
//   // updater.verify(device, ...) compares only, as the tool's --verify (status 'current' when
//   // the device holds the files); update(device, { skipUnchanged: true }) surveys first, as
//   // --skip-unchanged does.
//
// `device` may be any object with the HIDDevice members used here: open(), opened, productName,
// sendReport(reportId, data), and 'inputreport' events ({reportId, data: DataView}). Its loss is
// taken from the 'disconnect' events of `hid` (navigator.hid unless given).
import createHidiapCore from './hidiap-core.js';
import { trustedKeys, revokedKeys } from './trusted-keys.js';

const TICK_MS = 10;
// The kinds of run of hidiap_web_start.
const RUN_UPDATE = 0;
const RUN_VERIFY = 1;
const RUN_UPDATE_CHANGED = 2;

export class Updater {
  static filters = [{ vendorId: 0x9999, productId: 0x8888 }];

  static async create() {
    const errors = [];
    const core = await createHidiapCore({
      print: () => {},
      printErr: (line) => errors.push(line),
    });
    // The keys built into the page go where the tool's inputs step looks for trusted keys.
    core.FS.mkdir('/trusted-keys');
    for (const key of trustedKeys) core.FS.writeFile(`/trusted-keys/${key.name}`, key.text);
    core.FS.mkdir('/revoked-keys');
    for (const key of revokedKeys ?? []) core.FS.writeFile(`/revoked-keys/${key.name}`, key.text);
    return new Updater(core, errors);
  }

  constructor(core, errors) {
    this.core = core;
    this.errors = errors;  // standard error of the module, one entry a line
    this.core.hidiapHooks = { send() {}, console() {}, phase() {}, progress() {} };
    this.manifest = null;
  }

  // The chooser's filter: the package's IDs when its manifest names them, else the tool's
  // default IDs.
  get filters() {
    const vendorId = this.core._hidiap_web_package_vendor_id();
    if (!this.manifest || vendorId < 0) return Updater.filters;
    return [{ vendorId, productId: this.core._hidiap_web_package_product_id() }];
  }

  // Reads the inputs with the tool's own code. Returns null when the update can start, else
  // {exitStatus, reason} with the tool's refusal in its words. `notes` gets the warnings and
  // notes the tool prints on standard error either way. For a package, `manifest` then has its
  // product and firmware version ('' when it names none).
  load({ image, tts, package: pkg, token = '' }) {
    const FS = this.core.FS;
    const dir = '/inputs';
    try { FS.mkdir(dir); } catch (e) { /* there already */ }
    for (const name of FS.readdir(dir)) {
      if (name !== '.' && name !== '..') removeTree(FS, `${dir}/${name}`);
    }
    FS.chdir(dir);
    // The files keep their own names, so the tool's lines name them as the user knows them.
    const put = (file, sub) => {
      if (!file) return '';
      const path = sub ? `${sub}/${file.name}` : file.name;
      if (sub) FS.mkdir(`${dir}/${sub}`);
      FS.writeFile(`${dir}/${path}`, file.bytes);
      return path;
    };
    this.errors.length = 0;
    let status;
    if (pkg) {
      status = this.call('hidiap_web_load', 'number', ['', '', put(pkg), '']);
    } else {
      const imagePath = put(image);
      const ttsPath = put(tts, image && tts && tts.name === image.name ? 'tts' : '');
      status = this.call('hidiap_web_load', 'number', [imagePath, ttsPath, '', token]);
    }
    this.notes = this.errors.slice();
    this.token = this.call('hidiap_web_token', 'string', []);
    this.manifest = status === 0 && pkg ? {
      product: this.call('hidiap_web_expected_product', 'string', []),
      version: this.call('hidiap_web_firmware_version', 'string', []),
    } : null;
    return status === 0 ? null : { exitStatus: status, reason: this.notes.join('\n') };
  }

  // Updates `device` with the inputs load() accepted; resolves with the outcome when the run is
  // over. skipUnchanged: survey each range first and write only the sectors that differ (not
  // for a layout whose ranges overlap: see hidiap_web_layout_overlaps).
  update(device, { skipUnchanged = false, ...hooks } = {}) {
    const survey = skipUnchanged && this.core._hidiap_web_layout_overlaps() === 0;
    return this.run(device, survey ? RUN_UPDATE_CHANGED : RUN_UPDATE, hooks);
  }

  // Compares the device's ranges with the inputs, as the tool's --verify: nothing is erased,
  // written or rebooted. Status 'current' when the device already holds them; else 'failed',
  // with cause 'differs' when it answered and holds something else.
  verify(device, hooks = {}) {
    return this.run(device, RUN_VERIFY, hooks);
  }

  async run(device, kind, { onText = () => {}, onPhase = () => {}, onProgress = () => {},
                            hid = navigator.hid } = {}) {
    const core = this.core;
    if (!device.opened) {
      try {
        await device.open();
      } catch (e) {
        // As the tool says of a device it found but could not open (on Linux: the hidraw
        // node's permissions), with its exit status for it.
        onText('handle get failed\n');
        return { status: 'failed', exitStatus: 4, cause: 'no-permission',
          outcome: `hidiap: the device is present but could not be opened: ${e.message || e}` };
      }
    }
    let sending = Promise.resolve();
    let finish;
    const done = new Promise((resolve) => { finish = resolve; });
    let over = false;
    let timer = 0;

    const poll = () => {
      if (over || !core._hidiap_web_poll()) return;
      over = true;
      clearTimeout(timer);
      device.removeEventListener('inputreport', onReport);
      if (hid) hid.removeEventListener('disconnect', onDisconnect);
      const exitStatus = core._hidiap_web_exit_status();
      const status = this.call('hidiap_web_status', 'string', []);
      finish({
        status: status === 'success' || status === 'current' ? status : 'failed',
        exitStatus,
        cause: this.call('hidiap_web_cause', 'string', []),
        outcome: this.call('hidiap_web_outcome_line', 'string', []).replace(/\n$/, ''),
      });
    };
    const onReport = (event) => {
      const d = event.data;
      this.withBytes(new Uint8Array(d.buffer, d.byteOffset, d.byteLength), (ptr, len) =>
        core._hidiap_web_answer(event.reportId, ptr, len));
      poll();
    };
    const onDisconnect = (event) => {
      if (event.device !== device) return;
      core._hidiap_web_device_lost();
      poll();
    };
    // One tick per timer callback on the monotonic clock. A late callback (a background tab
    // runs timers once a second at most) gives one tick and a new schedule from now: ticks
    // caught up in a burst would spend every step's budget at once.
    let due = performance.now() + TICK_MS;
    const tick = () => {
      core._hidiap_web_tick();
      poll();
      if (over) return;
      const now = performance.now();
      due = due + TICK_MS > now ? due + TICK_MS : now + TICK_MS;
      timer = setTimeout(tick, due - now);
    };

    core.hidiapHooks = {
      // Report 1 carries the frame: the 63 bytes after its ID. Sent in the order written.
      send: (report) => {
        sending = sending.then(() => device.sendReport(report[0], report.subarray(1)))
          .catch(() => {
            this.withBytes(report, (ptr, len) => core._hidiap_web_write_failed(ptr, len));
            poll();
          });
      },
      console: onText,
      phase: onPhase,
      progress: onProgress,
    };
    device.addEventListener('inputreport', onReport);
    if (hid) hid.addEventListener('disconnect', onDisconnect);
    timer = setTimeout(tick, TICK_MS);
    this.call('hidiap_web_start', null, [device.productName || '', kind]);
    poll();
    const result = await done;
    await sending;
    return result;
  }

  call(name, returns, args) {
    return this.core.ccall(name, returns, args.map((a) => typeof a), args);
  }

  withBytes(bytes, f) {
    const ptr = this.core._malloc(Math.max(bytes.length, 1));
    this.core.HEAPU8.set(bytes, ptr);
    try { return f(ptr, bytes.length); } finally { this.core._free(ptr); }
  }
}

function removeTree(FS, path) {
  if (FS.isDir(FS.stat(path).mode)) {
    for (const name of FS.readdir(path)) {
      if (name !== '.' && name !== '..') removeTree(FS, `${path}/${name}`);
    }
    FS.rmdir(path);
  } else {
    FS.unlink(path);
  }
}
