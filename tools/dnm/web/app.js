// The web view of dnm run: reads the JSON API and follows /api/stream; writes only where the
// server allows it (/api/info "write") and only after a confirmation.
'use strict';

(() => {
  const HISTORY_SAMPLES = 600;       // the server's 10 minutes of one sample a second
  const HISTORY_MS = 600 * 1000;
  const SILENCE_MS = 3000;           // no message for this long: the link is taken as lost
  const TABLE_BYTES = 8;             // bytes of inputs or outputs a table cell shows
  const EVENTS_KEPT = 256;

  const view = {
    info: null,
    ports: [],
    histories: new Map(),  // port index -> [{t, bus_load, frames_per_second}], oldest first
    portCards: new Map(),  // port index -> {card, fields, canvas}
    devices: [],
    devicesAt: 0,          // Date.now() when the devices arrived
    rows: new Map(),       // device key -> {tr, cells}
    selected: null,        // key of the device in the detail view
    detail: null,          // the detail view's parts
    events: [],            // sorted by seq
    lastSeq: 0,
    stream: null,
    lastMessageAt: 0,
    linkUp: false,
  };

  // ---- Small helpers ----

  function element(tag, attributes = {}, ...children) {
    const node = document.createElement(tag);
    for (const [name, value] of Object.entries(attributes)) {
      if (name === 'class') node.className = value;
      else if (name === 'text') node.textContent = value;
      else node.setAttribute(name, value);
    }
    for (const child of children) node.append(child);
    return node;
  }

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  function setClass(node, name) {
    if (node.className !== name) node.className = name;
  }

  function byteList(hex) {
    const bytes = [];
    for (let i = 0; i + 1 < hex.length; i += 2) bytes.push(parseInt(hex.substr(i, 2), 16));
    return bytes;
  }

  function spacedHex(hex) {
    return (hex.match(/../g) || []).join(' ');
  }

  function bitsOf(byte) {
    return byte.toString(2).padStart(8, '0');
  }

  // "0a 1b" and "00001010 00011011" of at most `limit` bytes, "…" after when cut.
  function hexAndBits(hex, limit) {
    if (hex === null || hex === undefined) return { hex: '—', bits: '' };
    const cut = hex.length > 2 * limit;
    const shown = cut ? hex.slice(0, 2 * limit) : hex;
    const more = cut ? ' …' : '';
    if (shown === '') return { hex: '(none)', bits: '' };
    return {
      hex: spacedHex(shown) + more,
      bits: byteList(shown).map(bitsOf).join(' ') + more,
    };
  }

  function ageText(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    if (s < 60) return `${s} s`;
    if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
    if (s < 86400) return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
    return `${Math.floor(s / 86400)} d ${Math.floor((s % 86400) / 3600)} h`;
  }

  // "2026-12-08 02:03:04.567" in the browser's time zone.
  function localTime(iso) {
    const when = new Date(iso);
    if (Number.isNaN(when.getTime())) return String(iso);
    const two = (n) => String(n).padStart(2, '0');
    return `${when.getFullYear()}-${two(when.getMonth() + 1)}-${two(when.getDate())} ` +
      `${two(when.getHours())}:${two(when.getMinutes())}:${two(when.getSeconds())}.` +
      String(when.getMilliseconds()).padStart(3, '0');
  }

  function deviceKey(device) {
    return `${device.port_index}:${device.mac}`;
  }

  function devicePath(device) {
    return `/api/devices/${device.mac}?port=${device.port_index}`;
  }

  function deviceName(device) {
    const where = view.ports.length > 1 ? ` on port ${device.port_index}` : '';
    const name = device.identity && device.identity.product_name ? ` (${device.identity.product_name})` : '';
    return `MAC ID ${device.mac}${where}${name}`;
  }

  function showError(text) {
    setText(document.getElementById('link'), text);
  }

  async function getJson(path) {
    const answer = await fetch(path, { cache: 'no-store' });
    if (!answer.ok) throw new Error(`${path}: HTTP ${answer.status}`);
    return answer.json();
  }

  async function postJson(path, body) {
    const answer = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body),
    });
    let said = '';
    try {
      said = (await answer.json()).error || '';
    } catch (ignored) {
      said = '';
    }
    return { ok: answer.ok, status: answer.status, error: said };
  }

  // ---- Header ----

  function showInfo(info) {
    const writeChanged = !view.info || view.info.write !== info.write;
    view.info = info;
    if (writeChanged && view.detail) {
      view.detail = null;  // made again with or without its write forms
      showDetail();
    }
    setText(document.getElementById('scan-list'), info.scan_list || '');
    setText(document.getElementById('host'), `on ${info.host || '?'} since ${localTime(info.started)}`);
    const mode = document.getElementById('mode');
    setText(mode, info.write ? 'writes allowed' : 'read-only');
    setClass(mode, info.write ? 'badge mode-write' : 'badge mode-read');
    document.title = `dnm run ${info.scan_list || ''}`;
  }

  function setLink(up, text) {
    view.linkUp = up;
    const link = document.getElementById('link');
    setText(link, text);
    setClass(link, up ? 'badge link-up' : 'badge link-down');
    document.body.classList.toggle('stale', !up);
  }

  // ---- Ports ----

  const PORT_FIELDS = [
    ['mac', 'MAC ID'], ['baud', 'Baud rate'], ['online', 'State'], ['bus_load', 'Bus load'],
    ['frames_per_second', 'Frames/s'], ['frames_received', 'Frames received'],
    ['frames_sent', 'Frames sent'], ['error_frames', 'Error frames'], ['overruns', 'Receive overruns'],
  ];

  function portValue(port, name) {
    const value = port[name];
    if (value === null || value === undefined) return '—';
    switch (name) {
      case 'baud': return `${value} kbit/s`;
      case 'online': return value ? 'online' : 'offline';
      case 'bus_load': return `${(100 * value).toFixed(1)} %`;
      case 'frames_per_second': return value.toFixed(0);
      default: return String(value);
    }
  }

  function portCard(port) {
    let card = view.portCards.get(port.index);
    if (card) return card;
    const fields = new Map();
    const list = element('dl');
    for (const [name, label] of PORT_FIELDS) {
      const value = element('dd', { class: `port-${name.replace(/_/g, '-')}` });
      fields.set(name, value);
      list.append(element('div', {}, element('dt', { text: label }), value));
    }
    const canvas = element('canvas', { class: 'chart', height: '160' });
    const legend = element('p', { class: 'legend' },
      element('span', { class: 'key-load', text: 'bus load %' }),
      element('span', { class: 'key-fps', text: 'frames/s' }),
      element('span', { text: 'last 10 minutes' }));
    const node = element('article', { class: 'port', 'data-index': String(port.index) },
      element('h3', { text: `Port ${port.index}: board ${port.board}, port ${port.port}` }),
      list, canvas, legend);
    document.getElementById('ports').append(node);
    card = { node, fields, canvas };
    view.portCards.set(port.index, card);
    return card;
  }

  function showPorts(ports) {
    view.ports = ports;
    for (const port of ports) {
      const card = portCard(port);
      for (const [name] of PORT_FIELDS) setText(card.fields.get(name), portValue(port, name));
      setClass(card.node, port.online ? 'port' : 'port offline');
      drawChart(card.canvas, view.histories.get(port.index) || []);
    }
  }

  function appendHistory(time, ports) {
    const t = Date.parse(time);
    for (const port of ports) {
      const history = view.histories.get(port.index) || [];
      history.push({ t, bus_load: port.bus_load, frames_per_second: port.frames_per_second });
      if (history.length > HISTORY_SAMPLES) history.splice(0, history.length - HISTORY_SAMPLES);
      view.histories.set(port.index, history);
    }
  }

  function niceCeiling(value) {
    if (value <= 10) return 10;
    const power = 10 ** Math.floor(Math.log10(value));
    for (const step of [1, 2, 5, 10]) if (step * power >= value) return step * power;
    return 10 * power;
  }

  function plot(context, history, x, y) {
    context.beginPath();
    history.forEach((sample, i) => {
      if (i === 0) context.moveTo(x(sample), y(sample));
      else context.lineTo(x(sample), y(sample));
    });
  }

  // Bus load (0..100 %, left) and frames/s (right, to a round maximum) over the last 10 minutes
  // of the server's clock, drawn once per sample.
  function drawChart(canvas, history) {
    const ratio = window.devicePixelRatio || 1;
    const width = canvas.clientWidth || 600;
    const height = canvas.clientHeight || 160;
    if (canvas.width !== Math.round(width * ratio)) canvas.width = Math.round(width * ratio);
    if (canvas.height !== Math.round(height * ratio)) canvas.height = Math.round(height * ratio);
    const context = canvas.getContext('2d');
    context.setTransform(ratio, 0, 0, ratio, 0, 0);
    context.clearRect(0, 0, width, height);
    const left = 40, right = width - 48, top = 8, bottom = height - 20;
    context.font = '11px sans-serif';
    context.fillStyle = '#555';
    context.strokeStyle = '#ddd';
    context.lineWidth = 1;
    for (let load = 0; load <= 100; load += 25) {
      const y = bottom - (bottom - top) * load / 100;
      context.beginPath();
      context.moveTo(left, y);
      context.lineTo(right, y);
      context.stroke();
      context.fillText(`${load} %`, 2, y + 4);
    }
    const newest = history.length ? history[history.length - 1].t : Date.now();
    const oldest = newest - HISTORY_MS;
    for (let minutes = 10; minutes >= 0; minutes -= 2) {
      const x = left + (right - left) * (1 - minutes / 10);
      context.fillText(minutes ? `-${minutes} min` : 'now', Math.min(x - 14, right - 20), height - 4);
    }
    const maxFps = niceCeiling(Math.max(0, ...history.map((s) => s.frames_per_second)));
    context.fillText(String(maxFps), right + 4, top + 8);
    context.fillText('0', right + 4, bottom);
    const x = (sample) => left + (right - left) * (sample.t - oldest) / HISTORY_MS;
    if (history.length === 0) return;
    context.lineWidth = 1.5;
    context.strokeStyle = '#1f6feb';
    context.fillStyle = 'rgba(31, 111, 235, 0.15)';
    plot(context, history, x, (s) => bottom - (bottom - top) * Math.min(1, s.bus_load));
    context.stroke();
    context.lineTo(x(history[history.length - 1]), bottom);
    context.lineTo(x(history[0]), bottom);
    context.closePath();
    context.fill();
    context.strokeStyle = '#d4700a';
    plot(context, history, x, (s) => bottom - (bottom - top) * s.frames_per_second / maxFps);
    context.stroke();
  }

  // ---- Devices ----

  // The connection that tells why a device is not connected: the first that stands not and
  // has a cause.
  function failingConnection(device) {
    return device.connections.find((c) => !c.established && c.cause !== 'none') || null;
  }

  function stateCause(device) {
    if (device.state === 'identity_mismatch') return 'identity differs from the list';
    if (device.state === 'refused') return 'refused by the library';
    if (device.state === 'port_offline') return 'its port is offline';
    const failing = failingConnection(device);
    return failing ? `${failing.kind}: ${failing.cause_text || failing.cause}` : '';
  }

  // Since the latest change of any of its connections, as the server saw it, aged since then.
  function stateAgeMs(device) {
    if (device.connections.length === 0) return null;
    const since = Math.min(...device.connections.map((c) => c.since_ms));
    return since + (Date.now() - view.devicesAt);
  }

  function identityText(identity) {
    if (!identity) return '';
    const parts = [];
    for (const [name, label] of [['vendor', 'vendor'], ['device_type', 'type'],
      ['product_code', 'code'], ['revision', 'revision'], ['serial', 'serial']]) {
      if (identity[name] !== undefined) parts.push(`${label} ${identity[name]}`);
    }
    return parts.join(' · ');
  }

  function countersTotal(counters) {
    return Object.values(counters || {}).reduce((sum, value) => sum + value, 0);
  }

  function countersNamed(counters) {
    return Object.entries(counters || {}).filter(([, v]) => v).map(([n, v]) => `${n} ${v}`).join('\n');
  }

  function periodText(device) {
    const asked = device.poll_period_ms === null || device.poll_period_ms === undefined
      ? '—' : `${device.poll_period_ms}`;
    return `${asked} / ${device.poll_period_achieved_ms} ms`;
  }

  function ioConnections(device) {
    return device.connections.filter((c) => c.kind !== 'explicit' && c.inputs !== undefined);
  }

  function newRow(device) {
    const cells = {};
    const tr = element('tr', { 'data-mac': String(device.mac), 'data-port': String(device.port_index) });
    const cell = (name, ...children) => {
      const td = element('td', { class: name }, ...children);
      tr.append(td);
      return td;
    };
    cells.mac = element('a', { href: `#device-${device.port_index}-${device.mac}` });
    cell('mac', cells.mac);
    cells.name = element('span', { class: 'product-name' });
    cells.identity = element('span', { class: 'identity-numbers' });
    cell('identity', cells.name, cells.identity);
    cells.state = element('span', { class: 'state' });
    cells.cause = element('span', { class: 'cause' });
    cells.age = element('span', { class: 'age' });
    cell('state-cell', cells.state, cells.cause, cells.age);
    cells.connections = cell('connections');
    cells.period = cell('period');
    cells.counters = cell('counters');
    cells.inputs = cell('inputs');
    cells.outputHex = element('span', { class: 'output-hex hex' });
    cells.outputBits = element('span', { class: 'output-bits bits' });
    cell('outputs', cells.outputHex, cells.outputBits);
    tr.addEventListener('click', (click) => {
      if (click.target.tagName !== 'A') location.hash = `device-${device.port_index}-${device.mac}`;
    });
    return { tr, cells, rendered: '' };
  }

  function fillConnections(td, device) {
    const text = device.connections.map((c) => `${c.kind}:${c.status_text}:${c.established}`).join('|');
    if (td.dataset.shown === text) return;
    td.dataset.shown = text;
    td.replaceChildren(...device.connections.map((c) => element('span', {
      class: `conn ${c.established ? 'conn-up' : 'conn-down'}`,
      'data-kind': c.kind,
      title: `${c.kind}: ${c.status_text} (status 0x${c.status.toString(16)})`,
      text: `${c.kind} ${c.established ? '✓' : '✗'}`,
    })));
  }

  // One line of hex and one of bits per I/O connection; made again only when the connections
  // change, so that the lines keep their elements while the values move.
  function fillInputs(td, device) {
    const connections = ioConnections(device);
    const kinds = connections.map((c) => c.kind).join(' ');
    if (td.dataset.kinds !== kinds) {
      td.dataset.kinds = kinds;
      const many = connections.length > 1;
      td.replaceChildren(...connections.map((c) => element('div', { class: 'io', 'data-kind': c.kind },
        many ? element('span', { class: 'kind', text: c.kind }) : '',
        element('span', { class: 'input-hex hex' }),
        element('span', { class: 'input-bits bits' }))));
    }
    connections.forEach((c, i) => {
      const shown = hexAndBits(c.inputs, TABLE_BYTES);
      const line = td.children[i];
      setText(line.querySelector('.input-hex'), shown.hex);
      setText(line.querySelector('.input-bits'), shown.bits);
    });
  }

  function fillRow(row, device) {
    const { tr, cells } = row;
    tr.dataset.state = device.state;
    setClass(tr, `device state-${device.state}`);
    setText(cells.mac, view.ports.length > 1 ? `${device.port_index}:${device.mac}` : String(device.mac));
    const identity = device.identity || null;
    setText(cells.name, identity ? identity.product_name || '' : '');
    setText(cells.identity, identity ? identityText(identity)
      : device.expected_identity ? `expects ${identityText(device.expected_identity)}` : '');
    setClass(cells.identity, identity ? 'identity-numbers' : 'identity-numbers expected');
    setText(cells.state, device.state.replace(/_/g, ' '));
    setClass(cells.state, `state state-${device.state}`);
    setText(cells.cause, stateCause(device));
    fillConnections(cells.connections, device);
    setText(cells.period, periodText(device));
    const total = countersTotal(device.counters);
    setText(cells.counters, String(total));
    cells.counters.title = countersNamed(device.counters) || 'every counter 0';
    setClass(cells.counters, total ? 'counters nonzero' : 'counters');
    fillInputs(cells.inputs, device);
    const outputs = hexAndBits(device.outputs, TABLE_BYTES);
    setText(cells.outputHex, outputs.hex);
    setText(cells.outputBits, outputs.bits);
  }

  function showAges() {
    for (const device of view.devices) {
      const row = view.rows.get(deviceKey(device));
      const age = stateAgeMs(device);
      if (row) setText(row.cells.age, age === null ? '' : `for ${ageText(age)}`);
    }
    if (view.detail) fillDetailAges();
  }

  // "61 connected · 2 lost" in the header, the states in the order of their names.
  function showSummary(devices) {
    const counts = new Map();
    for (const device of devices) counts.set(device.state, (counts.get(device.state) || 0) + 1);
    const parts = [...counts.keys()].sort().map((state) =>
      element('span', { class: `count state-${state}`, text: `${counts.get(state)} ${state.replace(/_/g, ' ')}` }));
    const summary = document.getElementById('summary');
    const text = parts.map((p) => p.textContent).join('|');
    if (summary.dataset.shown !== text) {
      summary.dataset.shown = text;
      summary.replaceChildren(...parts);
    }
  }

  function showDevices(devices) {
    view.devices = devices;
    view.devicesAt = Date.now();
    const body = document.querySelector('#devices tbody');
    const keys = new Set(devices.map(deviceKey));
    for (const [key, row] of view.rows) {
      if (!keys.has(key)) {
        row.tr.remove();
        view.rows.delete(key);
      }
    }
    devices.forEach((device, place) => {
      const key = deviceKey(device);
      let row = view.rows.get(key);
      if (!row) {
        row = newRow(device);
        view.rows.set(key, row);
      }
      if (body.children[place] !== row.tr) body.insertBefore(row.tr, body.children[place] || null);
      const shown = JSON.stringify(device);
      if (row.rendered !== shown) {
        row.rendered = shown;
        fillRow(row, device);
      }
      row.tr.classList.toggle('selected', key === view.selected);
    });
    document.getElementById('no-devices').hidden = devices.length !== 0;
    showSummary(devices);
    showAges();
    showDetail();
  }

  // ---- One device in detail ----

  function selectedDevice() {
    return view.devices.find((d) => deviceKey(d) === view.selected) || null;
  }

  function table(headers, rows, attributes = {}) {
    return element('table', attributes,
      element('thead', {}, element('tr', {}, ...headers.map((h) => element('th', { text: h })))),
      element('tbody', {}, ...rows.map((cells) => element('tr', {}, ...cells.map((c) =>
        c instanceof Node ? element('td', {}, c) : element('td', { text: String(c) }))))));
  }

  function identityTable(device) {
    const names = ['vendor', 'device_type', 'product_code', 'revision', 'serial', 'product_name'];
    const actual = device.identity || {};
    const expected = device.expected_identity || {};
    return table(['', 'device', 'the list expects'], names.map((name) => {
      const wanted = expected[name] === undefined ? '' : expected[name];
      const is = actual[name] === undefined ? '' : actual[name];
      const differs = wanted !== '' && device.identity && wanted !== is;
      return [name.replace(/_/g, ' '), element('span', { class: differs ? 'differs' : '', text: String(is) }),
        wanted];
    }), { class: 'identity-table' });
  }

  function connectionsTable(device) {
    return table(['connection', 'status', 'cause', 'changed', 'in / out bytes', 'rate', 'inputs'],
      device.connections.map((c) => [
        c.kind,
        element('span', { class: c.established ? 'conn conn-up' : 'conn conn-down',
          text: `${c.status_text} (0x${c.status.toString(16)})` }),
        c.cause === 'none' ? '' : c.cause_text || c.cause,
        element('span', { class: 'since' }),
        `${c.input_size} / ${c.output_size}`,
        c.rate_ms === null || c.rate_ms === undefined ? '' : `${c.rate_ms} ms`,
        c.inputs === null || c.inputs === undefined ? '' : spacedHex(c.inputs),
      ]), { class: 'connections-table' });
  }

  function countersTable(device) {
    return table(['counter', 'count'], Object.entries(device.counters || {}),
      { class: 'counters-table' });
  }

  // Bytes as rows of bits 7..0; output bits can be clicked (to edit) when writes are allowed.
  function bitGrid(hex, which, kind) {
    const bytes = byteList(hex || '');
    const header = ['byte', 'hex', '7', '6', '5', '4', '3', '2', '1', '0'];
    return table(header, bytes.map((byte, index) => [String(index), bitsHex(byte),
      ...[7, 6, 5, 4, 3, 2, 1, 0].map((bit) => element('span', {
        class: (byte >> bit) & 1 ? 'bit on' : 'bit off',
        'data-byte': String(index), 'data-bit': String(bit), text: String((byte >> bit) & 1),
      }))]), { class: `bit-grid ${which}-grid`, 'data-kind': kind || '' });
  }

  function bitsHex(byte) {
    return byte.toString(16).padStart(2, '0');
  }

  function failuresTable(failures) {
    if (!failures || failures.length === 0) return element('p', { text: 'No setup failure told.' });
    const headers = ['connection', 'cause', 'request', 'device size', 'list size', 'general',
      'additional', 'missed answers', 'age'];
    return table(headers, failures.map((f) => [f.kind, f.cause, f.request, f.device_size,
      f.configured_size, f.general_status, f.additional_status, f.missed_answers,
      ageText(f.age_ms)]), { class: 'failures-table' });
  }

  // The grids of a device's bits: one per I/O connection's inputs, and its outputs.
  function gridsOf(device) {
    const grids = ioConnections(device).map((c) => ({ title: `Inputs (${c.kind})`, hex: c.inputs,
      which: 'input', kind: c.kind }));
    if (device.outputs !== null && device.outputs !== undefined) {
      grids.push({ title: 'Outputs', hex: device.outputs, which: 'output', kind: '' });
    }
    return grids;
  }

  // Sets the bits of a grid in place (a click on a bit is not lost to a new element), or makes
  // it again when the size changed.
  function fillBitGrid(holder, grid) {
    const bytes = byteList(grid.hex || '');
    const table = holder.querySelector('table');
    if (!table || table.tBodies[0].rows.length !== bytes.length) {
      holder.replaceChildren(bitGrid(grid.hex, grid.which, grid.kind));
      return;
    }
    bytes.forEach((byte, index) => {
      const row = table.tBodies[0].rows[index];
      setText(row.cells[1], bitsHex(byte));
      for (let column = 2; column < 10; ++column) {
        const bit = row.cells[column].firstChild;
        const on = (byte >> Number(bit.dataset.bit)) & 1;
        setText(bit, String(on));
        setClass(bit, on ? 'bit on' : 'bit off');
      }
    });
  }

  // Makes a part of the detail view again only when what it shows changed.
  function fillPart(name, shown, make) {
    const detail = view.detail;
    if (detail.shown[name] === shown) return;
    detail.shown[name] = shown;
    detail.parts[name].replaceChildren(...make());
  }

  function fillLiveDetail(device) {
    fillPart('identity', JSON.stringify([device.identity, device.expected_identity]),
      () => [identityTable(device)]);
    const connections = device.connections.map((c) => ({ ...c, since_ms: 0 }));
    fillPart('connections', JSON.stringify(connections) + periodText(device), () => [
      connectionsTable(device),
      element('p', { text: `Poll period asked / achieved: ${periodText(device)}` })]);
    const grids = gridsOf(device);
    fillPart('grids', grids.map((g) => g.title).join('|'), () => grids.map((g) =>
      element('div', { class: 'grid-holder' }, element('h3', { text: g.title }), element('div'))));
    grids.forEach((grid, i) => fillBitGrid(view.detail.parts.grids.children[i].lastChild, grid));
    fillPart('counters', JSON.stringify(device.counters), () => [countersTable(device)]);
  }

  function openDetail(device) {
    const section = document.getElementById('detail');
    const close = element('a', { href: '#', class: 'close', text: 'close' });
    const heading = element('h2', { text: deviceName(device) });
    const parts = {};
    const part = (name, title) => {
      parts[name] = element('div', { class: `detail-${name}` });
      return title ? [element('h3', { text: title }), parts[name]] : [parts[name]];
    };
    const left = element('div', {}, ...part('identity', 'Identity'),
      ...part('connections', 'Connections'), ...part('failures', 'Setup failures'));
    const right = element('div', {}, ...part('grids'), ...part('counters', 'Counters'));
    section.replaceChildren(element('div', { class: 'detail-head' }, heading, close),
      element('div', { class: 'detail-columns' }, left, right));
    view.detail = { key: deviceKey(device), heading, parts, shown: {}, state: null };
    if (view.info && view.info.write) left.append(writeForms(device));
    section.hidden = false;
  }

  function showDetail() {
    const device = selectedDevice();
    const section = document.getElementById('detail');
    if (!device) {
      section.hidden = true;
      view.detail = null;
      return;
    }
    if (!view.detail || view.detail.key !== deviceKey(device)) openDetail(device);
    const detail = view.detail;
    setText(detail.heading, deviceName(device));
    fillLiveDetail(device);
    fillDetailAges();
    if (detail.state !== device.state) {
      detail.state = device.state;
      loadFailures(device);
    }
    const field = detail.outputsField;
    if (field && !detail.outputsEdited && document.activeElement !== field) field.value = device.outputs || '';
  }

  function fillDetailAges() {
    const device = selectedDevice();
    if (!device) return;
    const since = view.detail.parts.connections.querySelectorAll('.since');
    const elapsed = Date.now() - view.devicesAt;
    since.forEach((span, i) => {
      const connection = device.connections[i];
      if (connection) setText(span, `${ageText(connection.since_ms + elapsed)} ago`);
    });
  }

  async function loadFailures(device) {
    const detail = view.detail;
    try {
      const full = await getJson(devicePath(device));
      if (view.detail === detail) detail.parts.failures.replaceChildren(failuresTable(full.failures));
    } catch (error) {
      if (view.detail === detail) detail.parts.failures.replaceChildren(element('p', { text: error.message }));
    }
  }

  function selectFromHash() {
    const match = /^#device-(\d+)-(\d+)$/.exec(location.hash);
    view.selected = match ? `${match[1]}:${match[2]}` : null;
    for (const [key, row] of view.rows) row.tr.classList.toggle('selected', key === view.selected);
    showDetail();
    if (view.selected) document.getElementById('detail').scrollIntoView({ block: 'nearest' });
  }

  // ---- Writes (only with --http-write) ----

  function cleanHex(text) {
    return text.replace(/\s+/g, '').toLowerCase();
  }

  function validHex(hex) {
    return /^([0-9a-f]{2})+$/.test(hex);
  }

  function number(text) {
    const value = Number(text.trim());
    return Number.isInteger(value) && value >= 0 ? value : null;
  }

  async function confirmAndPost(result, question, path, body) {
    if (!window.confirm(question)) {
      result.textContent = 'Not written.';
      return false;
    }
    result.textContent = 'Writing…';
    try {
      const answer = await postJson(path, body);
      result.textContent = answer.ok ? 'Written.' : `Refused (HTTP ${answer.status}): ${answer.error}`;
      setClass(result, answer.ok ? 'result ok' : 'result refused');
      return answer.ok;
    } catch (error) {
      result.textContent = `Not written: ${error.message}`;
      setClass(result, 'result refused');
      return false;
    }
  }

  function outputEditor(device) {
    const field = element('input', { id: 'output-hex', class: 'hex', size: '24', spellcheck: 'false',
      value: device.outputs || '' });
    const result = element('span', { class: 'result' });
    const button = element('button', { type: 'submit', text: 'Write outputs' });
    const form = element('form', { id: 'output-editor' },
      element('label', { for: 'output-hex', text: 'Outputs (hex, the whole output): ' }),
      field, button, result);
    view.detail.outputsField = field;
    field.addEventListener('input', () => { view.detail.outputsEdited = true; });
    form.addEventListener('submit', (submit) => {
      submit.preventDefault();
      const hex = cleanHex(field.value);
      if (!validHex(hex)) {
        result.textContent = 'Give the outputs as pairs of hex digits, e.g. 01 ff.';
        return;
      }
      confirmAndPost(result, `Write outputs ${spacedHex(hex)} to ${deviceName(selectedDevice() || device)}?`,
        `/api/devices/${device.mac}/outputs?port=${device.port_index}`, { hex })
        .then((written) => {
          // Not written: the editor keeps what was typed.
          if (written && view.detail) view.detail.outputsEdited = false;
        });
    });
    return form;
  }

  // A click on an output bit flips it in the editor, to be written with its button.
  function flipOutputBit(click) {
    const bit = click.target.closest('.output-grid .bit');
    const field = view.detail && view.detail.outputsField;
    if (!bit || !field) return;
    const bytes = byteList(cleanHex(field.value));
    const index = Number(bit.dataset.byte);
    if (index >= bytes.length) return;
    bytes[index] ^= 1 << Number(bit.dataset.bit);
    field.value = bytes.map(bitsHex).join('');
    view.detail.outputsEdited = true;
  }

  function attributeForm(device) {
    const input = (id, label, size) => [element('label', { for: id, text: label }),
      element('input', { id, size, spellcheck: 'false' })];
    const result = element('span', { class: 'result' });
    const form = element('form', { id: 'attribute-form', class: 'attribute-form' },
      ...input('attribute-class', 'Class ', '5'), ...input('attribute-instance', ' Instance ', '5'),
      ...input('attribute-number', ' Attribute ', '4'), ...input('attribute-hex', ' Value (hex) ', '16'),
      element('button', { type: 'submit', text: 'Set attribute' }), result);
    form.addEventListener('submit', (submit) => {
      submit.preventDefault();
      const value = (id) => form.querySelector(`#${id}`).value;
      const body = { class: number(value('attribute-class')), instance: number(value('attribute-instance')),
        attribute: number(value('attribute-number')), hex: cleanHex(value('attribute-hex')) };
      if (body.class === null || body.instance === null || body.attribute === null || !validHex(body.hex)) {
        result.textContent = 'Give class, instance and attribute as numbers and the value as hex.';
        return;
      }
      confirmAndPost(result, `Set class ${body.class} instance ${body.instance} attribute ` +
        `${body.attribute} of ${deviceName(selectedDevice() || device)} to ${spacedHex(body.hex)}?`,
        `/api/devices/${device.mac}/attribute?port=${device.port_index}`, body);
    });
    return form;
  }

  function writeForms(device) {
    const parts = element('div', { class: 'write-forms' }, element('h3', { text: 'Write' }));
    if (device.outputs !== null && device.outputs !== undefined) parts.append(outputEditor(device));
    parts.append(attributeForm(device));
    return parts;
  }

  // ---- Events ----

  function eventPlace(event) {
    if (event.mac !== null && event.mac !== undefined) return `port ${event.board}/${event.port} mac ${event.mac}`;
    if (event.board !== null && event.board !== undefined) return `port ${event.board}/${event.port}`;
    return '';
  }

  function eventItem(event) {
    return element('li', { class: `event event-${event.event}`, 'data-seq': String(event.seq) },
      element('time', { datetime: event.time, text: localTime(event.time) }),
      element('span', { class: 'place', text: eventPlace(event) }),
      element('span', { class: 'name', text: (event.event || '').replace(/_/g, ' ') }),
      element('span', { class: 'text', text: event.text }));
  }

  function addEvents(events) {
    const list = document.getElementById('events');
    const fresh = events.filter((e) => e.seq > view.lastSeq).sort((a, b) => a.seq - b.seq);
    for (const event of fresh) {
      view.events.push(event);
      list.prepend(eventItem(event));
      view.lastSeq = event.seq;
    }
    while (view.events.length > EVENTS_KEPT) {
      view.events.shift();
      list.lastElementChild.remove();
    }
  }

  async function loadEvents() {
    const answer = await getJson(`/api/events?after=${view.lastSeq}`);
    addEvents(answer.events);
  }

  // ---- Loading and the stream ----

  async function loadAll() {
    const info = await getJson('/api/info');
    if (view.info && view.info.started !== info.started) {
      // Another dnm run: its events are numbered from the start again.
      view.events = [];
      view.lastSeq = 0;
      document.getElementById('events').replaceChildren();
    }
    showInfo(info);
    const ports = await getJson('/api/ports?history=1');
    for (const port of ports.ports) view.histories.set(port.index, port.history || []);
    showPorts(ports.ports);
    showDevices((await getJson('/api/devices')).devices);
    await loadEvents();
  }

  function listen(source, kind, handle) {
    source.addEventListener(kind, (message) => {
      view.lastMessageAt = Date.now();
      let data;
      try {
        data = JSON.parse(message.data);
      } catch (error) {
        showError(`bad ${kind} message from dnm run`);
        return;
      }
      handle(data);
    });
  }

  function connect() {
    const source = new EventSource('/api/stream');
    view.stream = source;
    source.addEventListener('open', () => {
      view.lastMessageAt = Date.now();
      setLink(true, 'live');
      loadAll().catch((error) => setLink(false, `cannot read: ${error.message}`));
    });
    source.addEventListener('error', () => {
      setLink(false, 'connection to dnm run lost: reconnecting');
      if (source.readyState === EventSource.CLOSED) {
        // Refused (e.g. too many browsers): the browser does not retry by itself.
        source.close();
        setTimeout(connect, 2000);
      }
    });
    listen(source, 'devices', (data) => showDevices(data.devices));
    listen(source, 'ports', (data) => {
      appendHistory(data.time, data.ports);
      showPorts(data.ports);
    });
    listen(source, 'event', (data) => addEvents([data]));
    listen(source, 'dropped', () => loadEvents().catch(() => {}));
  }

  function tick() {
    if (view.linkUp && Date.now() - view.lastMessageAt > SILENCE_MS) {
      setLink(false, 'no news from dnm run');
    } else if (!view.linkUp && view.stream && view.stream.readyState === EventSource.OPEN &&
      Date.now() - view.lastMessageAt <= SILENCE_MS) {
      setLink(true, 'live');
    }
    showAges();
  }

  function start() {
    document.getElementById('detail').addEventListener('click', flipOutputBit);
    window.addEventListener('hashchange', selectFromHash);
    window.addEventListener('resize', () => showPorts(view.ports));
    view.selected = null;
    selectFromHash();
    connect();
    setInterval(tick, 1000);
  }

  start();
})();
