// The bench page: a tile per port, the counts, receivers per hour and the records, all
// built from the bench's events (/events). After a reconnect the stream begins with the
// bench's present state, so the page is rebuilt from nothing each time.
'use strict';

const bench = {tiles: new Map(), order: [], records: [], counts: null, started: null};
let renderPending = false;

const el = (tag, className, text) => {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
};

const clock = (seconds) => {
  const whole = Math.max(0, Math.round(seconds));
  const minutes = Math.floor(whole / 60);
  const rest = String(whole % 60).padStart(2, '0');
  return minutes >= 60 ? `${Math.floor(minutes / 60)}:${String(minutes % 60).padStart(2, '0')}:${rest}`
                       : `${minutes}:${rest}`;
};

function newTile(port, adapter) {
  return {port, adapter: adapter || '', state: 'waiting', trouble: '', stage: '', pass: 1,
          percent: 0, seconds: 0, limit: 0, kind: '', startedAt: null, endedAt: null,
          took: null, reason: '', restore: '', messages: [], pendingSeconds: null};
}

function tileFor(port) {
  let tile = bench.tiles.get(port);
  if (!tile) {
    tile = newTile(port, '');
    bench.tiles.set(port, tile);
    bench.order.push(port);
  }
  return tile;
}

function clearReceiver(tile) {
  Object.assign(tile, {stage: '', pass: 1, percent: 0, seconds: 0, limit: 0, kind: '',
                       startedAt: null, endedAt: null, took: null, reason: '', restore: '',
                       messages: []});
}

// One event as --json gives it, or one of the server's own ("bench", "record").
function apply(event) {
  const now = Date.now();
  if (event.event === 'bench') {
    bench.tiles.clear();
    bench.order = [];
    bench.records = [];
    bench.counts = null;
    bench.started = event.started ? new Date(event.started) : new Date();
    for (const port of event.ports || []) {
      const tile = tileFor(port.port);
      tile.adapter = port.adapter || '';
      tile.pendingSeconds = port.receiverSeconds;
    }
    document.getElementById('command').textContent =
        `vesker-link ${event.version || ''} · ${event.command || ''}`;
    return;
  }
  if (event.event === 'counts') {
    bench.counts = event.counts;
    return;
  }
  if (!event.port) return;  // the run's own start and result
  const tile = tileFor(event.port);
  switch (event.event) {
    case 'start':
      clearReceiver(tile);
      tile.state = 'working';
      tile.startedAt = now - 1000 * (tile.pendingSeconds || 0);
      tile.pendingSeconds = null;
      break;
    case 'progress':
      tile.state = 'working';
      if (tile.stage !== event.stage) tile.percent = 0;
      tile.stage = event.stage;
      if (event.kind) tile.kind = event.kind;
      if ('limitSeconds' in event) {
        tile.seconds = event.seconds;
        tile.limit = event.limitSeconds;
      } else {
        tile.pass = event.pass || 1;
        tile.percent = event.percent || 0;
      }
      break;
    case 'message':
      tile.messages.push(event.text);
      if (tile.messages.length > 4) tile.messages.shift();
      break;
    case 'result':
      tile.endedAt = now;
      if (event.details && event.details.restore) tile.restore = event.details.restore;
      break;
    case 'record': {
      const record = event.record || {};
      bench.records.push({record, port: event.port});
      if (record.kind) tile.kind = record.kind;
      if (typeof record.seconds === 'number') tile.took = record.seconds;
      if (record.exitCode !== 0) tile.reason = record.result || '';
      if (record.restore) tile.restore = record.restore;
      if (event.adapter) tile.adapter = event.adapter;
      break;
    }
    case 'state':
      if (event.state === 'waiting') {
        clearReceiver(tile);
        tile.state = event.trouble ? 'unavailable' : 'waiting';
        tile.trouble = event.trouble || '';
      } else {
        tile.state = {'done': 'done', 'up to date': 'uptodate', 'failed': 'failed'}[event.state] ||
                     tile.state;
        if (tile.endedAt === null) tile.endedAt = now;
      }
      break;
    default:
      break;
  }
}

const STAGES = {backup: 'BACKUP', upgrade: 'UPGRADING', verify: 'VERIFYING', read: 'READING',
                identify: 'CHECKING'};
const SYMBOLS = {waiting: '○', unavailable: '⊘', working: '▶', done: '✓', uptodate: '=',
                 failed: '✗'};

// What the tile says in large letters, and the line below it.
function words(tile) {
  switch (tile.state) {
    case 'waiting':
      return ['WAITING', 'put a receiver on'];
    case 'unavailable': {
      const missing = tile.trouble === 'no such device' || tile.trouble === 'its line is gone';
      return [missing ? 'PORT MISSING' : `PORT ${tile.trouble.toUpperCase()}`,
              missing ? 'no adapter or line on this port' : 'the port cannot be opened'];
    }
    case 'done':
      return ['DONE: SWAP', 'verified; take it off, put the next on'];
    case 'uptodate':
      return ['UP TO DATE: SWAP', 'it held this software already'];
    case 'failed':
      return ['FAILED: SWAP', tile.reason || 'see the record'];
    default:
      break;
  }
  if (tile.stage === 'restart') {
    return [`RESTARTING ${Math.floor(tile.seconds)}\u00a0s of ${Math.round(tile.limit)}\u00a0s`,
            'waiting for the receiver to answer'];
  }
  if (!tile.stage) return ['STARTING', 'the receiver answered'];
  const pass = {2: 'second read', 3: 'third read'}[tile.pass] || '';
  return [`${STAGES[tile.stage] || tile.stage.toUpperCase()} ${tile.percent}\u00a0%`, pass];
}

function elapsed(tile, now) {
  if (tile.took !== null) return tile.took;
  if (tile.startedAt === null) return null;
  return ((tile.endedAt || now) - tile.startedAt) / 1000;
}

function renderTile(tile, now) {
  const node = el('article', `tile s-${tile.state}`);
  node.dataset.port = tile.port;
  node.dataset.state = tile.state;
  const head = el('div', 'head');
  // A long path keeps its end, which tells the ports apart (ttyUSB0, ...-port0).
  const port = el('span', 'port', tile.port.length > 22 ? '…' + tile.port.slice(-21) : tile.port);
  port.title = tile.port;
  head.append(port, el('span', 'adapter', tile.adapter));
  const [word, detail] = words(tile);
  const state = el('div', 'state');
  state.append(el('span', 'sym', SYMBOLS[tile.state]), el('span', 'word', word));
  node.append(head, state);
  const bar = el('div', 'bar');
  const fill = el('div', 'fill');
  const share = tile.state !== 'working' ? 0
                : tile.stage === 'restart' ? (tile.limit ? tile.seconds / tile.limit : 0)
                : tile.percent / 100;
  fill.style.width = `${Math.min(100, Math.round(share * 100))}%`;
  bar.append(fill);
  node.append(bar);
  const facts = el('div', 'facts');
  const seconds = elapsed(tile, now);
  facts.append(el('span', 'kind', tile.kind || (tile.state === 'working' ? 'receiver …' : '')),
               el('span', 'time', seconds === null ? '' : clock(seconds)));
  node.append(facts, el('div', 'detail', detail));
  if (tile.state === 'failed') {
    if (tile.restore) {
      const restore = el('div', 'restore');
      restore.append(el('span', '', 'to put the old software back: '),
                     el('code', '', tile.restore));
      node.append(restore);
    } else if (tile.messages.length &&
               tile.messages[tile.messages.length - 1] !== tile.reason) {
      node.append(el('div', 'restore', tile.messages[tile.messages.length - 1]));
    }
  }
  return node;
}

function renderTiles(now) {
  const tiles = document.getElementById('tiles');
  tiles.replaceChildren(...bench.order.map((port) => renderTile(bench.tiles.get(port), now)));
}

function renderCounts() {
  const counts = bench.counts || {done: 0, upToDate: 0, failed: 0, boxesPerHour: 0};
  document.getElementById('count-done').textContent = counts.done;
  document.getElementById('count-uptodate').textContent = counts.upToDate;
  document.getElementById('count-failed').textContent = counts.failed;
  document.getElementById('count-rate').textContent = Math.round(counts.boxesPerHour);
}

const outcome = (record) => record.exitCode !== 0 ? 'failed'
                           : record.result === 'up to date' ? 'uptodate' : 'done';

function proofText(proof) {
  if (!proof || typeof proof !== 'object') return '';
  return Object.entries(proof).map(([stage, how]) => `${stage}: ${how}`).join('; ');
}

function renderRecords() {
  const body = document.getElementById('records');
  const rows = [];
  // The newest first; a day's worth is more than a screen shows.
  // Newest first by the time each ended (a stream that joins late gets a port's current
  // record after the older ones of other ports).
  const newest = bench.records.map((entry, at) => ({...entry, at}))
      .sort((a, b) => (b.record.time || '').localeCompare(a.record.time || '') || b.at - a.at);
  for (const {record, port} of newest.slice(0, 300)) {
    const kind = outcome(record);
    const row = el('tr', `r-${kind}`);
    row.title = JSON.stringify(record);
    const time = record.time ? new Date(record.time).toLocaleTimeString([], {hour12: false}) : '';
    const result = el('td', 'result');
    result.append(el('span', 'sym', SYMBOLS[kind]), document.createTextNode(' ' + (record.result || '')));
    row.append(el('td', '', time), el('td', '', record.port || port), el('td', '', record.kind || '-'),
               el('td', '', record.command || ''), result,
               el('td', '', typeof record.seconds === 'number' ? clock(record.seconds) : ''),
               el('td', '', proofText(record.proof)),
               el('td', 'file', (record.command === 'upgrade' ? record.backup : record.file) || '-'));
    rows.push(row);
    if (kind === 'failed' && record.restore) {
      const restore = el('tr', 'r-restore');
      const cell = el('td', '');
      cell.colSpan = 8;
      cell.append(el('span', '', 'to put the old software back: '), el('code', '', record.restore));
      restore.append(cell);
      rows.push(restore);
    }
  }
  body.replaceChildren(...rows);
}

// Receivers per hour of the clock, from the hour the run started, stacked by outcome; each
// outcome has a pattern of its own as well as a colour.
function renderPlot() {
  const svg = document.getElementById('plot');
  const width = Math.max(320, svg.clientWidth || 640);
  const height = 260;
  const hour = 3600 * 1000;
  const first = Math.floor((bench.started || new Date()).getTime() / hour);
  const last = Math.max(first, Math.floor(Date.now() / hour));
  const from = Math.max(first, last - 23);
  const buckets = [];
  for (let h = from; h <= last; ++h) buckets.push({h, done: 0, uptodate: 0, failed: 0});
  for (const {record} of bench.records) {
    const h = Math.floor(new Date(record.time).getTime() / hour);
    if (h >= from && h <= last) buckets[h - from][outcome(record)] += 1;
  }
  const top = Math.max(1, ...buckets.map((b) => b.done + b.uptodate + b.failed));
  const left = 48;
  const bottom = 36;
  const plotHeight = height - bottom - 24;
  const step = (width - left - 8) / buckets.length;
  const barWidth = Math.min(90, step * 0.7);
  const ns = 'http://www.w3.org/2000/svg';
  const node = (tag, attributes, text) => {
    const n = document.createElementNS(ns, tag);
    for (const [k, v] of Object.entries(attributes)) n.setAttribute(k, v);
    if (text !== undefined) n.textContent = text;
    return n;
  };
  const parts = [node('defs', {})];
  parts[0].innerHTML =
      '<pattern id="p-failed" width="10" height="10" patternUnits="userSpaceOnUse" patternTransform="rotate(45)">' +
      '<rect width="10" height="10" class="f-failed"/><rect width="4" height="10" fill="#ffffff" opacity="0.45"/></pattern>' +
      '<pattern id="p-uptodate" width="8" height="8" patternUnits="userSpaceOnUse">' +
      '<rect width="8" height="8" class="f-uptodate"/><circle cx="4" cy="4" r="1.8" fill="#ffffff" opacity="0.6"/></pattern>';
  const y = (n) => 24 + plotHeight - (n / top) * plotHeight;
  parts.push(node('line', {x1: left, y1: y(0), x2: width - 4, y2: y(0), class: 'axis'}));
  parts.push(node('text', {x: left - 8, y: y(top) + 6, class: 'tick', 'text-anchor': 'end'}, String(top)));
  parts.push(node('text', {x: left - 8, y: y(0), class: 'tick', 'text-anchor': 'end'}, '0'));
  buckets.forEach((b, i) => {
    const x = left + i * step + (step - barWidth) / 2;
    let base = 0;
    for (const [key, fill] of [['done', 'f-done'], ['uptodate', 'url(#p-uptodate)'],
                               ['failed', 'url(#p-failed)']]) {
      if (!b[key]) continue;
      const attributes = {x, y: y(base + b[key]), width: barWidth, height: y(base) - y(base + b[key])};
      if (fill.startsWith('url')) attributes.fill = fill; else attributes.class = fill;
      parts.push(node('rect', attributes));
      base += b[key];
    }
    if (base) parts.push(node('text', {x: x + barWidth / 2, y: y(base) - 6, class: 'total', 'text-anchor': 'middle'}, String(base)));
    const label = new Date(b.h * hour).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit', hour12: false});
    if (buckets.length <= 12 || i % 2 === 0) {
      parts.push(node('text', {x: x + barWidth / 2, y: height - 10, class: 'tick', 'text-anchor': 'middle'}, label));
    }
  });
  svg.setAttribute('viewBox', `0 0 ${width} ${height}`);
  svg.setAttribute('height', height);
  svg.replaceChildren(...parts);
}

function render() {
  renderPending = false;
  const now = Date.now();
  renderTiles(now);
  renderCounts();
  renderRecords();
  renderPlot();
}

function scheduleRender() {
  if (!renderPending) {
    renderPending = true;
    setTimeout(render, 50);
  }
}

function showLink(live) {
  const link = document.getElementById('link');
  link.textContent = live ? '● live' : '○ bench not reached: trying again…';
  link.className = live ? 'link live' : 'link down';
  document.body.classList.toggle('stale', !live);
}

function connect() {
  const source = new EventSource('/events');
  source.onopen = () => showLink(true);
  source.onmessage = (message) => {
    let event;
    try {
      event = JSON.parse(message.data);
    } catch (error) {
      return;
    }
    apply(event);
    scheduleRender();
  };
  source.onerror = () => {
    showLink(false);
    // The browser asks again by itself after a dropped stream; not after a refusal.
    if (source.readyState === EventSource.CLOSED) {
      source.close();
      setTimeout(connect, 2000);
    }
  };
}

document.addEventListener('DOMContentLoaded', () => {
  render();
  connect();
  // The time on each receiver moves on between events.
  setInterval(() => renderTiles(Date.now()), 1000);
});
