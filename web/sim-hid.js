// The simulated device as a WebHID device: the tool's simulated device (flash model, fault
// rules, held answers) in a module instance of its own, behind the members of HIDDevice and
// navigator.hid that the updater uses. The page's "simulated device" choice uses it, and the
// browser tests put it in place of navigator.hid.
import createHidiapCore from './hidiap-core.js';

const TICK_MS = 10;
const TIMER_MAX_MS = 3;
const SPIN_MS = 0.5;

function reportEvent(type, fields) {
  const event = new Event(type);
  for (const [key, value] of Object.entries(fields)) {
    Object.defineProperty(event, key, { value });
  }
  return event;
}

export class SimulatedDevice extends EventTarget {
  // faults: rules in the tool's --sim-fault syntax ("drop:page:3"); link: "" for answers at
  // once, or a timing model of the link in the tool's --sim-timing syntax ("usb-fs").
  static async create(faults = [], link = '') {
    const core = await createHidiapCore({ print: () => {}, printErr: () => {} });
    const handle = core.ccall('hidiap_sim_create', 'number', ['string', 'string'],
      [faults.join('\n'), link]);
    if (!handle) {
      throw new Error(`bad fault rule: ${core.ccall('hidiap_sim_error', 'string', [], [])}`);
    }
    return new SimulatedDevice(core, handle);
  }

  constructor(core, handle) {
    super();
    this.core = core;
    this.handle = handle;
    this.vendorId = 0x9999;
    this.productId = 0x8888;
    this.productName = 'Simulated IAP device';  // as the tool's --simulate names it
    this.collections = [];
    this.opened = false;
    this.gone = false;
    this.buffer = core._malloc(64);
    this.commands = {};  // reports taken, by the command byte of their frame
    this.clock = 0;
    this.onGone = () => {};
    // Each answer arrives as a task of its own, as a real device's input reports do, so the
    // page keeps drawing while an update runs.
    this.channel = new MessageChannel();
    this.channel.port1.onmessage = () => this.deliver();
    this.waiting = 0;
  }

  // Delivers the answers readable now, and comes back for the next when the link holds one back.
  // An answer read a frame late costs the next step a frame, so the wait is kept short at every
  // turn: the browser lines up timers of a few milliseconds or more on a 4 ms grid (a 45 ms
  // erase would end up to 4 ms late), so no timer is longer than TIMER_MAX_MS, and the last
  // SPIN_MS pass in tasks, which also let the page's own tasks run. The timer only posts a
  // message, so that the next timer is not nested in it (nested timers wait 4 ms at least).
  schedule() {
    const wait = this.core._hidiap_sim_next_answer_ms(this.handle);
    if (wait < 0 || this.waiting) return;
    if (wait > SPIN_MS) {
      this.waiting = setTimeout(() => {
        this.waiting = 0;
        this.channel.port2.postMessage(0);
      }, Math.min(wait - SPIN_MS, TIMER_MAX_MS));
    } else {
      this.channel.port2.postMessage(0);
    }
  }

  async open() {
    if (this.gone) throw new DOMException('The device is gone.', 'NotFoundError');
    this.opened = true;
    // The device's own clock releases answers a delay fault held back.
    this.clock = setInterval(() => {
      this.core._hidiap_sim_tick(this.handle);
      this.schedule();
    }, TICK_MS);
  }

  async close() {
    this.opened = false;
    clearInterval(this.clock);
  }

  async sendReport(reportId, data) {
    if (!this.opened || this.gone) {
      throw new DOMException('The device is not open.', 'InvalidStateError');
    }
    const bytes = new Uint8Array(data.buffer ? data.buffer.slice(data.byteOffset,
      data.byteOffset + data.byteLength) : data);
    const heap = this.core.HEAPU8;
    heap.fill(0, this.buffer, this.buffer + 64);
    heap[this.buffer] = reportId;
    heap.set(bytes.subarray(0, 63), this.buffer + 1);
    this.commands[bytes[3]] = (this.commands[bytes[3]] || 0) + 1;
    const written = this.core._hidiap_sim_receive(this.handle, this.buffer, 64);
    if (this.core._hidiap_sim_unplugged(this.handle)) {
      this.unplug();
    }
    if (!written) throw new DOMException('Failed to write the report.', 'NotAllowedError');
    // Answers go out after the report that caused them, as on a wire.
    this.schedule();
  }

  deliver() {
    const core = this.core;
    while (this.opened && core._hidiap_sim_pop(this.handle, this.buffer)) {
      const report = core.HEAPU8.slice(this.buffer, this.buffer + 64);
      this.dispatchEvent(reportEvent('inputreport', {
        device: this, reportId: report[0], data: new DataView(report.buffer, 1, 63),
      }));
    }
    if (this.opened) this.schedule();
  }

  unplug() {
    if (this.gone) return;
    this.gone = true;
    this.opened = false;
    clearInterval(this.clock);
    // As a browser does, the disconnect event comes as a task of its own, after the failed send.
    setTimeout(() => this.onGone(this), 0);
  }

  // The device's whole flash (2 MiB), as a copy.
  flash() {
    const ptr = this.core._hidiap_sim_flash(this.handle);
    return this.core.HEAPU8.slice(ptr, ptr + this.core._hidiap_sim_flash_size(this.handle));
  }

  // Under a timing model: where the host's time went (see hidiap_sim_link_figures).
  linkFigures() {
    const core = this.core;
    const out = core._malloc(5 * 8);
    core._hidiap_sim_link_figures(this.handle, out);
    const [answers, readLateMs, replies, reactionMs, framesLost] =
      core.HEAPF64.slice(out / 8, out / 8 + 5);
    core._free(out);
    return { answers, readLateMs, replies, reactionMs, framesLost };
  }

  rebooted() {
    return this.core._hidiap_sim_rebooted(this.handle) === 1;
  }
}

// navigator.hid with one simulated device: the chooser picks it, unless `choose` says no (the
// user cancelled). Each chooser meets a fresh device, unless `keep` says the one chosen last is
// still plugged in (its flash as the last update left it).
export class SimulatedHid extends EventTarget {
  constructor({ faults = () => [], choose = () => true, link = () => '', keep = () => false } = {}) {
    super();
    this.faults = faults;
    this.link = link;
    this.choose = choose;
    this.keep = keep;
    this.device = null;
    this.requests = 0;
  }

  async requestDevice({ filters = [] } = {}) {
    this.requests++;
    if (!this.choose()) return [];
    const device = this.keep() && this.device && !this.device.gone ? this.device
      : await SimulatedDevice.create(this.faults(), this.link());
    const wanted = filters.length === 0 || filters.some((f) =>
      (f.vendorId === undefined || f.vendorId === device.vendorId) &&
      (f.productId === undefined || f.productId === device.productId));
    if (!wanted) return [];
    device.onGone = (gone) => this.dispatchEvent(reportEvent('disconnect', { device: gone }));
    this.device = device;
    return [device];
  }

  async getDevices() {
    return this.device && !this.device.gone ? [this.device] : [];
  }
}
