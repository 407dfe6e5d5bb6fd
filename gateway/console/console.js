// velkor-gateway console: the REST API of the gateway that serves this page, with the bearer
// token kept in this tab's session storage. Everything from the API reaches the page through
// textContent and input values only.
'use strict';

const TOKEN_KEY = 'velkor-gateway-token';
const DEVICES_EVERY_MS = 3000;
const CALL_TIMEOUT_MS = 15000;
const FEED_MAX = 300; // event rows kept in the page
const COMMANDS_SHOWN = 50; // newest commands shown for the selected device
const PAGE = 1000; // entries per page of devices and commands, the API's most
const PAGES_MAX = 100; // pages read at most for one refresh
const STREAM_RETRY_FIRST_MS = 1000;
const STREAM_RETRY_MAX_MS = 30000;
const STREAM_SILENCE_MS = 45000; // the gateway writes a keep-alive every 15 s when idle
const STREAM_LINE_MAX = 1 << 20;

const CARD_FIELDS = [
  { name: 'cardNumber', kind: 'int', initial: '' },
  { name: 'password', kind: 'text', initial: '' },
  { name: 'year', kind: 'int', initial: '0', narrow: true },
  { name: 'month', kind: 'int', initial: '0', narrow: true },
  { name: 'day', kind: 'int', initial: '0', narrow: true },
  { name: 'hour', kind: 'int', initial: '0', narrow: true },
  { name: 'param', kind: 'int', initial: '0', narrow: true },
  { name: 'flag0', kind: 'flag' },
  { name: 'flag1', kind: 'flag' },
  { name: 'flag2', kind: 'flag' },
  { name: 'flag3', kind: 'flag' },
  { name: 'flag4', kind: 'flag' },
  { name: 'flag6', kind: 'flag' },
  { name: 'flag7', kind: 'flag' },
];

// One form each for the commands of POST /api/v1/devices/{serial}/commands.
const COMMANDS = [
  { command: 'control', label: 'Control', numbers: ['code', 'first', 'second', 'third'] },
  { command: 'extra_output', label: 'Extra output', numbers: ['value'] },
  { command: 'clock', label: 'Set the clock', numbers: [] },
  { command: 'read', label: 'Read', numbers: [] },
  { command: 'reader_mode', label: 'Reader mode', block: 5 },
  { command: 'finger_mode', label: 'Finger mode', block: 5 },
  { command: 'finger_control', label: 'Finger control', numbers: ['selector', 'number', 'code'] },
  { command: 'device_passwords', label: 'Device passwords', passwords: 10 },
  { command: 'finger_passwords', label: 'Finger passwords', passwords: 10 },
];

const ROLES = ['read', 'operate', 'admin']; // each may do what the one before it may
const AUDIT_SHOWN = 200; // newest audit entries shown
const HOLDERS_PAGE = 100; // holders shown per page
const IMPORT_SHOWN = 200; // entries of each kind named in an import's summary

const state = {
  token: null,
  role: 'read', // the signed-in key's role: the page offers only what it allows
  session: 0, // bumped on sign-out: loops of an older session stop
  selected: null,
  lastEventId: null,
  stream: null, // AbortController of the open stream
  cardsLoad: 0, // only the latest load of the card list fills the table
  devicesTimer: null,
  devices: new Map(), // serial -> the device as the last refresh listed it
  holdersAfter: [0], // `after` of each page of holders up to the one shown
  holdersNext: null, // `after` of the page that follows, null on the last
  holdersQuery: '',
  holdersLoad: 0, // only the latest load of the holders fills the table
  editing: null, // id of the holder in the form, null for a new one
  tags: [], // the site's tags, as GET /api/v1/tags listed them
  importText: null, // the CSV whose dry run the summary shows
};

const $ = (id) => document.getElementById(id);

class SignedOut extends Error {}

function element(tag, text, className) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) {
    e.textContent = String(text);
  }
  if (className) {
    e.className = className;
  }
  return e;
}

function cell(row, text, className) {
  const td = element('td', text, className);
  row.appendChild(td);
  return td;
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

function errorOf(reply) {
  if (reply.data && typeof reply.data.error === 'string') {
    return reply.data.error;
  }
  return 'HTTP ' + reply.status;
}

function show(id, message, ok) {
  const e = $(id);
  e.textContent = message;
  e.classList.toggle('ok', ok === true);
  e.classList.toggle('failed', ok === false);
}

// One API call with the token; a 401 signs out. The body goes as JSON, or as it is when its
// content type is given. Returns {status, ok, data, text}.
async function api(method, path, body, type) {
  const session = state.session;
  const headers = { Authorization: 'Bearer ' + state.token };
  const init = { method, headers, cache: 'no-store', credentials: 'omit' };
  if (body !== undefined) {
    headers['Content-Type'] = type || 'application/json';
    init.body = type ? body : JSON.stringify(body);
  }
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), CALL_TIMEOUT_MS);
  init.signal = controller.signal;
  try {
    const res = await fetch(path, init);
    const text = await res.text();
    if (session !== state.session) {
      throw new SignedOut();
    }
    if (res.status === 401) {
      signOut('wrong token');
      throw new SignedOut();
    }
    let data = null;
    try {
      data = text ? JSON.parse(text) : null;
    } catch (e) {
      data = null;
    }
    return { status: res.status, ok: res.ok, data, text };
  } finally {
    clearTimeout(timer);
  }
}

function devicePath(serial, rest) {
  return '/api/v1/devices/' + encodeURIComponent(serial) + (rest || '');
}

// Words of a field that lists tags or devices: separated by spaces (or commas).
function words(text) {
  return text.split(/[\s,]+/).filter((w) => w !== '');
}

// After a change of the site: the device table again, and the open card list when the
// change rewrote it.
function siteChanged(changes) {
  refreshDevices(state.session);
  if (state.selected !== null && Array.isArray(changes) && changes.some(
    (c) => c.device === state.selected && c.list === 'cards')) {
    loadCards();
  }
}

function changedText(changes) {
  const n = Array.isArray(changes) ? changes.length : 0;
  return n + (n === 1 ? ' device list changed' : ' device lists changed');
}

// ---- sign-in ----

async function signIn(candidate) {
  show('sign-in-error', '');
  let res;
  const controller = new AbortController();
  const timer = setTimeout(() => controller.abort(), CALL_TIMEOUT_MS);
  try {
    res = await fetch('/api/v1/whoami', {
      headers: { Authorization: 'Bearer ' + candidate },
      cache: 'no-store',
      credentials: 'omit',
      signal: controller.signal,
    });
  } catch (e) {
    // A token with characters a header cannot carry is refused here too.
    show('sign-in-error', e instanceof TypeError && /header/i.test(e.message)
      ? 'wrong token' : 'the gateway cannot be reached');
    return;
  } finally {
    clearTimeout(timer);
  }
  if (res.status === 401) {
    sessionStorage.removeItem(TOKEN_KEY);
    show('sign-in-error', 'wrong token');
    return;
  }
  let who = null;
  try {
    who = res.ok ? await res.json() : null;
  } catch (e) {
    who = null;
  }
  if (!who || !ROLES.includes(who.role)) {
    show('sign-in-error', 'the gateway answered HTTP ' + res.status);
    return;
  }
  state.token = candidate;
  state.role = who.role;
  $('signed-in-as').textContent = who.name + ' (' + who.role + ')';
  $('signed-in-as').hidden = false;
  applyRole();
  sessionStorage.setItem(TOKEN_KEY, candidate);
  $('token').value = '';
  $('sign-in').hidden = true;
  $('console').hidden = false;
  $('sign-out').hidden = false;
  $('stream-status').hidden = false;
  const session = state.session;
  refreshDevices(session);
  refreshHolders(session);
  runStream(session);
  if (allows('admin')) {
    refreshAudit(session);
  }
}

function allows(role) {
  return ROLES.indexOf(state.role) >= ROLES.indexOf(role);
}

// Whatever needs more than the key's role is hidden; the gateway refuses it anyway (403).
function applyRole() {
  for (const node of document.querySelectorAll('[data-role]')) {
    node.hidden = !allows(node.dataset.role);
  }
}

function signOut(message) {
  state.session += 1;
  state.token = null;
  state.selected = null;
  state.lastEventId = null;
  sessionStorage.removeItem(TOKEN_KEY);
  if (state.stream) {
    state.stream.abort();
    state.stream = null;
  }
  clearTimeout(state.devicesTimer);
  state.role = 'read';
  state.devices = new Map();
  state.holdersAfter = [0];
  state.holdersNext = null;
  state.holdersQuery = '';
  state.tags = [];
  $('signed-in-as').hidden = true;
  for (const id of ['devices', 'events', 'cards', 'commands', 'audit', 'holders']) {
    $(id).tBodies[0].replaceChildren();
  }
  $('holders-q').value = '';
  $('holder-form').hidden = true;
  cancelImport();
  $('import-text').value = '';
  $('import-file').value = '';
  for (const id of ['holders-message', 'holder-message', 'import-message', 'labels-message']) {
    show(id, '');
  }
  $('console').hidden = true;
  $('device-section').hidden = true;
  $('sign-out').hidden = true;
  $('stream-status').hidden = true;
  $('sign-in').hidden = false;
  show('sign-in-error', message || '');
  $('token').focus();
}

// ---- devices ----

function addressText(d) {
  if (!d.address) {
    return '';
  }
  const host = String(d.address).includes(':') ? '[' + d.address + ']' : d.address;
  return host + ':' + d.port;
}

function listText(lists, name) {
  const list = lists && lists[name];
  if (!list) {
    return '';
  }
  return list.state + ' (' + list.count + ')';
}

function deviceRow(d) {
  const row = element('tr');
  row.dataset.serial = d.serial;
  if (d.serial === state.selected) {
    row.classList.add('selected');
  }
  const pick = element('button', d.serial, 'link');
  pick.type = 'button';
  pick.title = 'Show this device';
  pick.addEventListener('click', () => selectDevice(d.serial));
  cell(row, '', 'serial').appendChild(pick);
  cell(row, d.name || '', 'name');
  cell(row, (d.tags || []).join(' '), 'tags');
  cell(row, d.generation, 'generation');
  const status = cell(row, d.state, 'state state-' + d.state);
  if (d.state === 'pending' && allows('operate')) {
    const admit = element('button', 'Admit', 'admit');
    admit.type = 'button';
    admit.addEventListener('click', () => admitDevice(d.serial, admit));
    status.appendChild(document.createTextNode(' '));
    status.appendChild(admit);
  }
  if (d.conflicts > 0) {
    status.appendChild(element('div', d.conflicts + ' from ' + (d.conflict_address || '?'),
      'note'));
  }
  cell(row, addressText(d), 'address mono');
  cell(row, d.last_seen, 'last-seen');
  cell(row, d.firmware === null || d.firmware === undefined ? '' : d.firmware, 'firmware');
  for (const name of ['cards', 'groups', 'schedules']) {
    const list = d.lists && d.lists[name];
    cell(row, listText(d.lists, name), 'list-' + name + (list ? ' state-' + list.state : ''));
    if (name === 'cards') {
      const mode = d.modes ? d.modes.cards : '';
      cell(row, mode, 'mode-cards' + (mode === 'manual' ? ' manual' : ''));
    }
  }
  cell(row, d.queued_commands, 'queued');
  return row;
}

async function refreshDevices(session) {
  if (session !== state.session) {
    return;
  }
  clearTimeout(state.devicesTimer);
  try {
    const devices = [];
    let reply = null;
    let after = null;
    for (let page = 0; page < PAGES_MAX; page++) {
      reply = await api('GET', '/api/v1/devices?limit=' + PAGE +
        (after === null ? '' : '&after=' + encodeURIComponent(after)));
      if (!reply.ok || !reply.data || !Array.isArray(reply.data.devices)) {
        break;
      }
      devices.push(...reply.data.devices);
      after = reply.data.next;
      if (typeof after !== 'string') {
        break;
      }
    }
    if (!reply.ok || !reply.data || !Array.isArray(reply.data.devices)) {
      show('devices-error', 'devices: ' + errorOf(reply));
    } else {
      show('devices-error', '');
      state.devices = new Map(devices.map((d) => [d.serial, d]));
      $('devices').tBodies[0].replaceChildren(...devices.map(deviceRow));
      if (state.selected !== null) {
        showDeviceMode();
      }
      $('devices-empty').hidden = devices.length > 0;
      $('devices-updated').textContent = 'updated ' + new Date().toLocaleTimeString();
    }
    if (state.selected !== null) {
      await refreshCommands(session);
    }
  } catch (e) {
    if (e instanceof SignedOut) {
      return;
    }
    show('devices-error', 'the gateway cannot be reached (' + e.message + ')');
  }
  if (session === state.session) {
    // Refreshes started by a click end here too: one timer stays, so one chain goes on.
    clearTimeout(state.devicesTimer);
    state.devicesTimer = setTimeout(() => refreshDevices(session), DEVICES_EVERY_MS);
  }
}

async function admitDevice(serial, button) {
  button.disabled = true;
  try {
    const reply = await api('POST', devicePath(serial, '/admit'));
    if (!reply.ok) {
      show('devices-error', 'admit ' + serial + ': ' + errorOf(reply));
    }
    refreshDevices(state.session);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('devices-error', 'admit ' + serial + ': ' + e.message);
    }
  }
}

function selectDevice(serial) {
  state.selected = serial;
  for (const row of $('devices').tBodies[0].rows) {
    row.classList.toggle('selected', row.dataset.serial === serial);
  }
  $('device-serial').textContent = serial;
  $('device-section').hidden = false;
  const d = state.devices.get(serial);
  $('labels-name').value = d && d.name ? d.name : '';
  $('labels-tags').value = d && Array.isArray(d.tags) ? d.tags.join(' ') : '';
  for (const id of ['labels-name', 'labels-tags']) {
    $(id).disabled = !allows('admin');
  }
  showDeviceMode();
  show('labels-message', '');
  show('cards-message', '');
  show('command-message', '');
  $('commands').tBodies[0].replaceChildren();
  loadCards();
  refreshCommands(state.session).catch(() => {});
}

// The selected device's name, and where its card list comes from.
function showDeviceMode() {
  const d = state.devices.get(state.selected);
  $('device-name').textContent = d && d.name ? d.name : '';
  const manual = Boolean(d && d.modes && d.modes.cards === 'manual');
  $('cards-mode').textContent = !d ? ''
    : manual ? 'Set on this device directly (manual): holders\' cards do not reach it.'
      : 'Derived from the holders assigned to this device, its tags or every device; saving '
        + 'the table below sets it directly instead.';
  $('cards-give-back').hidden = !manual;
}

async function saveLabels() {
  const serial = state.selected;
  const button = $('labels-save');
  button.disabled = true;
  show('labels-message', 'saving...');
  try {
    const body = { name: $('labels-name').value.trim(), tags: words($('labels-tags').value) };
    const reply = await api('PUT', devicePath(serial, '/labels'), body);
    if (!reply.ok) {
      show('labels-message', 'not saved: ' + errorOf(reply), false);
      return;
    }
    $('labels-name').value = reply.data.name || '';
    $('labels-tags').value = (reply.data.tags || []).join(' ');
    show('labels-message', 'saved; ' + changedText(reply.data.lists_changed), true);
    siteChanged(reply.data.lists_changed);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('labels-message', 'not saved: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

// A card list set directly goes back to the one the holders make.
async function giveBackCards() {
  const serial = state.selected;
  const button = $('cards-give-back');
  button.disabled = true;
  try {
    const reply = await api('DELETE', devicePath(serial, '/cards'));
    if (!reply.ok) {
      show('cards-message', 'not given back: ' + errorOf(reply), false);
      return;
    }
    show('cards-message', 'derived from the holders again; '
      + changedText(reply.data.lists_changed), true);
    loadCards();
    refreshDevices(state.session);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('cards-message', 'not given back: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

// ---- the audit trail ----

function auditRow(entry) {
  const row = element('tr');
  cell(row, entry.id, 'id');
  cell(row, entry.at, 'at');
  cell(row, entry.actor, 'actor');
  cell(row, entry.address, 'address mono');
  cell(row, entry.method + ' ' + entry.route, 'route mono');
  cell(row, entry.device || '', 'device mono');
  cell(row, entry.status, 'status');
  cell(row, JSON.stringify(entry.detail), 'detail mono');
  return row;
}

// The newest entries, newest first: the pages are read oldest first, the last ones kept.
async function refreshAudit(session) {
  if (session !== state.session || !allows('admin')) {
    return;
  }
  try {
    const entries = [];
    let after = 0;
    for (let page = 0; page < PAGES_MAX; page++) {
      const reply = await api('GET', '/api/v1/audit?limit=' + PAGE + '&after=' + after);
      if (!reply.ok || !reply.data || !Array.isArray(reply.data.entries)) {
        show('audit-error', 'audit: ' + errorOf(reply));
        return;
      }
      entries.push(...reply.data.entries);
      entries.splice(0, Math.max(0, entries.length - AUDIT_SHOWN));
      if (reply.data.entries.length < PAGE) {
        break;
      }
      after = reply.data.next;
    }
    show('audit-error', '');
    $('audit').tBodies[0].replaceChildren(...entries.reverse().map(auditRow));
    $('audit-empty').hidden = entries.length > 0;
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('audit-error', 'the gateway cannot be reached (' + e.message + ')');
    }
  }
}

// ---- the card list ----

function cardRow(card) {
  const row = element('tr');
  for (const field of CARD_FIELDS) {
    const td = cell(row, '');
    const input = element('input');
    input.dataset.field = field.name;
    input.setAttribute('aria-label', field.name);
    if (field.kind === 'flag') {
      input.type = 'checkbox';
      input.checked = card ? card[field.name] === true : false;
    } else {
      input.type = 'text';
      input.spellcheck = false;
      if (field.kind === 'int') {
        input.inputMode = 'numeric';
      }
      if (field.narrow) {
        input.className = 'narrow';
      }
      input.value = card && card[field.name] !== undefined ? String(card[field.name])
        : field.initial;
    }
    // Only an admin key may set the list: for the others it is shown, not edited.
    input.disabled = !allows('admin');
    td.appendChild(input);
  }
  const remove = element('button', 'Remove', 'remove');
  remove.type = 'button';
  remove.hidden = !allows('admin');
  remove.addEventListener('click', () => row.remove());
  cell(row, '').appendChild(remove);
  return row;
}

// A whole number as a number; anything else as typed, so that the API names the field.
function numberOrText(text) {
  const t = text.trim();
  if (/^-?\d+$/.test(t) && Number.isSafeInteger(Number(t))) {
    return Number(t);
  }
  return t;
}

function cardsFromTable() {
  const cards = [];
  for (const row of $('cards').tBodies[0].rows) {
    const card = {};
    for (const input of row.querySelectorAll('input[data-field]')) {
      const field = CARD_FIELDS.find((f) => f.name === input.dataset.field);
      card[field.name] = field.kind === 'flag' ? input.checked
        : field.kind === 'int' ? numberOrText(input.value) : input.value;
    }
    cards.push(card);
  }
  return cards;
}

async function loadCards() {
  const serial = state.selected;
  const load = ++state.cardsLoad;
  const body = $('cards').tBodies[0];
  body.replaceChildren();
  $('cards-note').textContent = 'loading...';
  try {
    const reply = await api('GET', devicePath(serial, '/cards'));
    if (load !== state.cardsLoad) {
      return;
    }
    if (reply.status === 404) {
      $('cards-note').textContent = 'No card list is set for this device yet. Saving sets one: '
        + 'it replaces the whole list the device holds.';
      return;
    }
    if (!reply.ok || !Array.isArray(reply.data)) {
      $('cards-note').textContent = '';
      show('cards-message', 'cards: ' + errorOf(reply), false);
      return;
    }
    $('cards-note').textContent = 'The list wanted on the device, ' + reply.data.length
      + ' cards (at most 88). Saving replaces the whole list.';
    body.replaceChildren(...reply.data.map(cardRow));
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      $('cards-note').textContent = '';
      show('cards-message', 'cards: ' + e.message, false);
    }
  }
}

async function saveCards() {
  const serial = state.selected;
  const button = $('cards-save');
  button.disabled = true;
  show('cards-message', 'saving...');
  try {
    const reply = await api('PUT', devicePath(serial, '/cards'), cardsFromTable());
    if (!reply.ok) {
      show('cards-message', 'not saved: ' + errorOf(reply), false);
      return;
    }
    show('cards-message', 'saved: ' + reply.data.count + ' cards, ' + reply.data.state, true);
    loadCards();
    refreshDevices(state.session);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('cards-message', 'not saved: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

// ---- commands ----

function labelled(form, name, className) {
  const label = element('label', name);
  const input = element('input');
  input.type = 'text';
  input.name = name;
  input.spellcheck = false;
  if (className) {
    input.className = className;
  }
  label.appendChild(input);
  form.querySelector('fieldset').appendChild(label);
  return input;
}

function commandForm(entry) {
  const form = element('form');
  form.dataset.command = entry.command;
  form.autocomplete = 'off';
  const set = element('fieldset');
  set.appendChild(element('legend', entry.label));
  form.appendChild(set);
  for (const name of entry.numbers || []) {
    labelled(form, name).inputMode = 'numeric';
  }
  for (let i = 0; i < (entry.block || 0); i++) {
    labelled(form, 'block[' + i + ']').inputMode = 'numeric';
  }
  for (let i = 0; i < (entry.passwords || 0); i++) {
    labelled(form, 'password' + i).inputMode = 'numeric';
  }
  const send = element('button', 'Send');
  send.type = 'submit';
  set.appendChild(send);
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    sendCommand(entry, form, send);
  });
  return form;
}

// The body of a command from its form: empty fields are left out (the API fills defaults or
// names what is missing), empty passwords are null (no password).
function commandBody(entry, form) {
  const body = { command: entry.command };
  const value = (name) => form.elements.namedItem(name).value;
  for (const name of entry.numbers || []) {
    if (value(name).trim() !== '') {
      body[name] = numberOrText(value(name));
    }
  }
  if (entry.block) {
    body.block = [];
    for (let i = 0; i < entry.block; i++) {
      body.block.push(numberOrText(value('block[' + i + ']')));
    }
  }
  for (let i = 0; i < (entry.passwords || 0); i++) {
    const text = value('password' + i);
    body['password' + i] = text === '' ? null : text;
  }
  return body;
}

async function sendCommand(entry, form, button) {
  const serial = state.selected;
  button.disabled = true;
  try {
    const reply = await api('POST', devicePath(serial, '/commands'), commandBody(entry, form));
    if (!reply.ok) {
      show('command-message', entry.command + ' not queued: ' + errorOf(reply), false);
      return;
    }
    show('command-message', entry.command + ' queued as #' + reply.data.id + ' for ' + serial,
      true);
    await refreshCommands(state.session);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('command-message', entry.command + ' not queued: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

function commandArguments(body) {
  const rest = Object.assign({}, body);
  delete rest.command;
  return Object.keys(rest).length ? ' ' + JSON.stringify(rest) : '';
}

async function refreshCommands(session) {
  const serial = state.selected;
  if (serial === null || session !== state.session) {
    return;
  }
  // Oldest first, a page at a time: a device keeps at most 1,000 sent and 256 queued.
  let commands = [];
  let after = 0;
  for (let page = 0; page < PAGES_MAX && commands !== null; page++) {
    const reply = await api('GET',
      devicePath(serial, '/commands?limit=' + PAGE + '&after=' + after));
    const got = reply.ok && reply.data ? reply.data.commands : null;
    if (!Array.isArray(got)) {
      commands = null;
      break;
    }
    commands = commands.concat(got);
    if (got.length < PAGE) {
      break;
    }
    after = reply.data.next;
  }
  if (serial !== state.selected || !Array.isArray(commands)) {
    return;
  }
  const newest = commands.slice(-COMMANDS_SHOWN).reverse();
  const rows = newest.map((c) => {
    const row = element('tr');
    row.dataset.id = c.id;
    cell(row, c.id, 'id');
    cell(row, c.state, 'state state-' + c.state);
    const body = c.body || {};
    cell(row, String(body.command) + commandArguments(body), 'mono');
    cell(row, c.queued_at);
    cell(row, c.sent_at || '');
    return row;
  });
  $('commands').tBodies[0].replaceChildren(...rows);
  $('commands-empty').hidden = rows.length > 0;
}

// ---- holders ----

function holderPath(id) {
  return '/api/v1/holders/' + encodeURIComponent(id);
}

// A holder's devices as a person reads them: a serial with its device's name.
function targetsText(targets) {
  return (targets || []).map((t) => {
    if (t === '*') {
      return 'every device';
    }
    const d = state.devices.get(t);
    return d && d.name ? t + ' (' + d.name + ')' : t;
  }).join(' ');
}

function holderRow(h) {
  const row = element('tr');
  row.dataset.id = h.id;
  cell(row, h.name, 'name');
  cell(row, h.cardNumber, 'card');
  cell(row, targetsText(h.devices), 'devices');
  cell(row, h.note || '', 'note-text');
  const actions = cell(row, '', 'actions');
  if (allows('admin')) {
    const edit = element('button', 'Edit', 'edit');
    edit.type = 'button';
    edit.addEventListener('click', () => openHolderForm(h));
    const remove = element('button', 'Delete', 'delete');
    remove.type = 'button';
    remove.addEventListener('click', () => deleteHolder(h, remove));
    actions.append(edit, ' ', remove);
  }
  return row;
}

async function refreshHolders(session) {
  if (session !== state.session) {
    return;
  }
  const load = ++state.holdersLoad;
  const after = state.holdersAfter[state.holdersAfter.length - 1];
  let path = '/api/v1/holders?limit=' + HOLDERS_PAGE + '&after=' + after;
  if (state.holdersQuery !== '') {
    path += '&q=' + encodeURIComponent(state.holdersQuery);
  }
  try {
    const reply = await api('GET', path);
    if (load !== state.holdersLoad) {
      return;
    }
    if (!reply.ok || !reply.data || !Array.isArray(reply.data.holders)) {
      show('holders-error', 'holders: ' + errorOf(reply));
      return;
    }
    show('holders-error', '');
    const holders = reply.data.holders;
    state.holdersNext = typeof reply.data.next === 'number' ? reply.data.next : null;
    $('holders').tBodies[0].replaceChildren(...holders.map(holderRow));
    $('holders-empty').hidden = holders.length > 0;
    $('holders-empty').textContent = state.holdersQuery === '' ? 'No holder yet.'
      : 'No holder matches.';
    const pages = state.holdersAfter.length;
    $('holders-page').textContent = pages === 1 && state.holdersNext === null ? ''
      : 'page ' + pages;
    $('holders-previous').disabled = pages === 1;
    $('holders-next').disabled = state.holdersNext === null;
    $('holders-updated').textContent = 'updated ' + new Date().toLocaleTimeString();
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('holders-error', 'the gateway cannot be reached (' + e.message + ')');
    }
  }
}

// Back to the first page, of the search in the box.
function searchHolders() {
  state.holdersQuery = $('holders-q').value.trim();
  state.holdersAfter = [0];
  refreshHolders(state.session);
}

function holderCardInputs() {
  return $('holder-card-fields').querySelectorAll('input[data-field]');
}

// The card fields besides the number, under "Card details".
function buildHolderCardFields() {
  const box = $('holder-card-fields');
  for (const field of CARD_FIELDS) {
    if (field.name === 'cardNumber') {
      continue;
    }
    const label = element('label', field.name);
    const input = element('input');
    input.dataset.field = field.name;
    if (field.kind === 'flag') {
      input.type = 'checkbox';
      label.classList.add('flag');
    } else {
      input.type = 'text';
      input.spellcheck = false;
      input.className = field.narrow ? 'narrow' : '';
      if (field.kind === 'int') {
        input.inputMode = 'numeric';
      }
    }
    label.appendChild(input);
    box.appendChild(label);
  }
}

function openHolderForm(h) {
  state.editing = h ? h.id : null;
  $('holder-form-title').textContent = h ? 'Holder #' + h.id : 'New holder';
  $('holder-name').value = h ? h.name : '';
  $('holder-card').value = h ? String(h.cardNumber) : '';
  $('holder-note').value = h ? h.note || '' : '';
  $('holder-devices').value = h ? (h.devices || []).join(' ') : '';
  for (const input of holderCardInputs()) {
    const field = CARD_FIELDS.find((f) => f.name === input.dataset.field);
    if (field.kind === 'flag') {
      input.checked = h ? h[field.name] === true : false;
    } else {
      input.value = h && h[field.name] !== undefined ? String(h[field.name]) : field.initial;
    }
  }
  show('holder-message', '');
  $('holder-form').hidden = false;
  showChips();
  loadTags();
  $('holder-name').focus();
}

function holderFromForm() {
  const body = {
    name: $('holder-name').value.trim(),
    note: $('holder-note').value,
    cardNumber: numberOrText($('holder-card').value),
    devices: words($('holder-devices').value),
  };
  for (const input of holderCardInputs()) {
    const field = CARD_FIELDS.find((f) => f.name === input.dataset.field);
    body[field.name] = field.kind === 'flag' ? input.checked
      : field.kind === 'int' ? numberOrText(input.value) : input.value;
  }
  return body;
}

async function saveHolder() {
  const button = $('holder-save');
  const id = state.editing;
  button.disabled = true;
  show('holder-message', 'saving...');
  try {
    const reply = id === null ? await api('POST', '/api/v1/holders', holderFromForm())
      : await api('PUT', holderPath(id), holderFromForm());
    if (!reply.ok) {
      show('holder-message', 'not saved: ' + errorOf(reply), false);
      return;
    }
    $('holder-form').hidden = true;
    show('holders-message', 'saved ' + reply.data.name + ' (#' + reply.data.id + '); '
      + changedText(reply.data.lists_changed), true);
    refreshHolders(state.session);
    siteChanged(reply.data.lists_changed);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('holder-message', 'not saved: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

async function deleteHolder(h, button) {
  if (!window.confirm('Delete ' + h.name + ' (card ' + h.cardNumber + ')? Their card leaves '
    + 'every device it is on.')) {
    return;
  }
  button.disabled = true;
  try {
    const reply = await api('DELETE', holderPath(h.id));
    if (!reply.ok) {
      show('holders-message', 'not deleted: ' + errorOf(reply), false);
      button.disabled = false;
      return;
    }
    if (state.editing === h.id) {
      $('holder-form').hidden = true;
    }
    show('holders-message', 'deleted ' + h.name + '; ' + changedText(reply.data.lists_changed),
      true);
    refreshHolders(state.session);
    siteChanged(reply.data.lists_changed);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('holders-message', 'not deleted: ' + e.message, false);
      button.disabled = false;
    }
  }
}

// ---- assigning by tag ----

async function loadTags() {
  try {
    const reply = await api('GET', '/api/v1/tags');
    if (reply.ok && reply.data && Array.isArray(reply.data.tags)) {
      state.tags = reply.data.tags;
      showChips();
    }
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('holder-message', 'tags: ' + e.message, false);
    }
  }
}

function plural(n, one) {
  return n + ' ' + one + (n === 1 ? '' : 's');
}

// One chip per known tag, and one for every device; a chip is pressed while the devices
// field names it, and a click adds or takes it away.
function showChips() {
  const field = $('holder-devices');
  const named = new Set(words(field.value));
  const chips = [{ tag: '*', label: 'every device' }].concat(state.tags.map((t) => ({
    tag: t.tag,
    label: t.tag + ' (' + plural(t.devices, 'device') + ')',
    title: plural(t.devices, 'device') + ', ' + plural(t.holders, 'holder'),
  })));
  $('holder-tags').replaceChildren(...chips.map((c) => {
    const chip = element('button', c.label, 'chip');
    chip.type = 'button';
    chip.dataset.tag = c.tag;
    if (c.title) {
      chip.title = c.title;
    }
    chip.setAttribute('aria-pressed', String(named.has(c.tag)));
    chip.addEventListener('click', () => {
      const now = words(field.value);
      field.value = (now.includes(c.tag) ? now.filter((w) => w !== c.tag)
        : now.concat([c.tag])).join(' ');
      showChips();
    });
    return chip;
  }));
}

// ---- CSV export and import ----

async function exportHolders() {
  const button = $('holders-export');
  button.disabled = true;
  try {
    const reply = await api('GET', '/api/v1/holders.csv');
    if (!reply.ok) {
      show('holders-message', 'not exported: ' + errorOf(reply), false);
      return;
    }
    // The token goes in a header, which a plain link cannot send: the file is fetched, then
    // saved from memory.
    const blob = new Blob([reply.text], { type: 'text/csv' });
    const url = URL.createObjectURL(blob);
    const link = element('a');
    link.href = url;
    link.download = 'holders.csv';
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
    show('holders-message', 'exported holders.csv (' + blob.size + ' bytes)', true);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('holders-message', 'not exported: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

function cancelImport() {
  state.importText = null;
  $('import-summary').hidden = true;
  $('import-changes').replaceChildren();
}

function importCounts(data, would) {
  const n = (list) => (Array.isArray(list) ? list.length : 0);
  return (would ? 'Would add ' : 'Added ') + n(data.added) + ', '
    + (would ? 'change ' : 'changed ') + n(data.changed) + ', '
    + (would ? 'remove ' : 'removed ') + n(data.removed) + ' holders; '
    + n(data.lists_changed) + (n(data.lists_changed) === 1 ? ' device list' : ' device lists')
    + (would ? ' would change.' : ' changed.');
}

function showImportSummary(data) {
  $('import-counts').textContent = importCounts(data, true);
  const items = [];
  for (const [kind, what] of [['added', 'add'], ['changed', 'change'], ['removed', 'remove']]) {
    const list = Array.isArray(data[kind]) ? data[kind] : [];
    for (const h of list.slice(0, IMPORT_SHOWN)) {
      const item = element('li', what + ' ' + (h.id === undefined ? '' : '#' + h.id + ' ')
        + h.name + ' (card ' + h.cardNumber + ')', 'import-' + what);
      items.push(item);
    }
    if (list.length > IMPORT_SHOWN) {
      items.push(element('li', 'and ' + (list.length - IMPORT_SHOWN) + ' more to ' + what,
        'note'));
    }
  }
  $('import-changes').replaceChildren(...items);
  $('import-summary').hidden = false;
}

async function postImport(text, dryRun) {
  return api('POST', '/api/v1/holders.csv' + (dryRun ? '?dry_run=1' : ''), text, 'text/csv');
}

// The dry run: what the file would do, shown before anything changes.
async function checkImport() {
  const text = $('import-text').value;
  cancelImport();
  if (text.trim() === '') {
    show('import-message', 'choose a file or paste its text first', false);
    return;
  }
  const button = $('import-check');
  button.disabled = true;
  show('import-message', 'checking...');
  try {
    const reply = await postImport(text, true);
    if (!reply.ok || !reply.data) {
      show('import-message', 'not imported: ' + errorOf(reply), false);
      return;
    }
    if (reply.data.dry_run !== true) {
      show('import-message', 'the gateway applied the file at once: '
        + importCounts(reply.data, false), false);
      refreshHolders(state.session);
      return;
    }
    show('import-message', '');
    state.importText = text;
    showImportSummary(reply.data);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('import-message', 'not imported: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

async function applyImport() {
  const text = state.importText;
  if (text === null) {
    return;
  }
  const button = $('import-apply');
  button.disabled = true;
  show('import-message', 'importing...');
  try {
    const reply = await postImport(text, false);
    if (!reply.ok || !reply.data) {
      show('import-message', 'not imported: ' + errorOf(reply), false);
      return;
    }
    cancelImport();
    $('import-text').value = '';
    $('import-file').value = '';
    show('import-message', 'imported. ' + importCounts(reply.data, false), true);
    state.holdersAfter = [0];
    refreshHolders(state.session);
    siteChanged(reply.data.lists_changed);
  } catch (e) {
    if (!(e instanceof SignedOut)) {
      show('import-message', 'not imported: ' + e.message, false);
    }
  } finally {
    button.disabled = false;
  }
}

async function readImportFile() {
  const file = $('import-file').files[0];
  cancelImport();
  show('import-message', '');
  if (!file) {
    return;
  }
  try {
    $('import-text').value = await file.text();
  } catch (e) {
    show('import-message', file.name + ': ' + e.message, false);
  }
}

// ---- the event feed ----

function addEvent(e) {
  const body = $('events').tBodies[0];
  const row = element('tr');
  row.dataset.id = e.id;
  row.dataset.device = e.device;
  cell(row, e.id, 'id');
  cell(row, e.received_at, 'received');
  const device = cell(row, e.device, 'device mono');
  if (e.device_name) {
    device.appendChild(element('div', e.device_name, 'note'));
  }
  cell(row, e.kind, 'kind');
  cell(row, e.number === undefined ? '' : e.number, 'number');
  cell(row, e.code === undefined ? '' : e.code, 'code');
  cell(row, e.cardNumber === undefined || e.cardNumber === -1 ? '' : e.cardNumber, 'card');
  cell(row, e.holder || '', 'holder');
  cell(row, e.digits || '', 'digits');
  cell(row, e.raw, 'raw');
  body.insertBefore(row, body.firstChild);
  while (body.rows.length > FEED_MAX) {
    body.lastChild.remove();
  }
}

function setStreamStatus(kind, text) {
  const e = $('stream-status');
  e.textContent = text;
  e.classList.toggle('live', kind === 'live');
  e.classList.toggle('down', kind === 'down');
}

// The id of the newest stored event (0 when none): the API lists events in ascending order
// only, so this searches for the largest `after` that still finds one.
async function newestEventId() {
  const exists = async (after) => {
    const reply = await api('GET', '/api/v1/events?limit=1&after=' + after);
    if (!reply.ok || !reply.data || !Array.isArray(reply.data.events)) {
      throw new Error('events: ' + errorOf(reply));
    }
    return reply.data.events.length > 0;
  };
  if (!(await exists(0))) {
    return 0;
  }
  let low = 0; // an event has an id above low
  let high = 1;
  while (await exists(high)) {
    low = high;
    high *= 2;
    if (high > Number.MAX_SAFE_INTEGER) {
      return low;
    }
  }
  while (high - low > 1) { // none has an id above high
    const middle = Math.floor((low + high) / 2);
    if (await exists(middle)) {
      low = middle;
    } else {
      high = middle;
    }
  }
  return high;
}

// Reads Server-Sent Events from `reader`: `id:` and `data:` fields, a blank line ends each.
async function readStream(reader, controller, session) {
  const decoder = new TextDecoder();
  let buffer = '';
  let id = null;
  let data = [];
  const dispatch = () => {
    if (data.length > 0) {
      let event = null;
      try {
        event = JSON.parse(data.join('\n'));
      } catch (e) {
        event = null;
      }
      if (event && typeof event.id === 'number' && event.id > (state.lastEventId || 0)) {
        addEvent(event);
      }
    }
    if (id !== null && /^\d+$/.test(id)) {
      state.lastEventId = Math.max(state.lastEventId || 0, Number(id));
    }
    id = null;
    data = [];
  };
  for (;;) {
    const silence = setTimeout(() => controller.abort(), STREAM_SILENCE_MS);
    let chunk;
    try {
      chunk = await reader.read();
    } finally {
      clearTimeout(silence);
    }
    if (chunk.done || session !== state.session) {
      return;
    }
    buffer += decoder.decode(chunk.value, { stream: true });
    let end;
    while ((end = buffer.indexOf('\n')) >= 0) {
      let line = buffer.slice(0, end);
      buffer = buffer.slice(end + 1);
      if (line.endsWith('\r')) {
        line = line.slice(0, -1);
      }
      if (line === '') {
        dispatch();
        continue;
      }
      if (line.startsWith(':')) {
        continue; // a comment: the keep-alive
      }
      const colon = line.indexOf(':');
      const field = colon < 0 ? line : line.slice(0, colon);
      let value = colon < 0 ? '' : line.slice(colon + 1);
      if (value.startsWith(' ')) {
        value = value.slice(1);
      }
      if (field === 'id') {
        id = value;
      } else if (field === 'data') {
        data.push(value);
      }
    }
    if (buffer.length > STREAM_LINE_MAX) {
      throw new Error('a line of the stream is too long');
    }
  }
}

// Keeps the feed open: reconnects after a drop with Last-Event-ID, waiting longer each time
// (up to 30 s) until a stream opens again.
async function runStream(session) {
  let delay = STREAM_RETRY_FIRST_MS;
  while (session === state.session) {
    const controller = new AbortController();
    state.stream = controller;
    try {
      if (state.lastEventId === null) {
        state.lastEventId = Math.max(0, (await newestEventId()) - FEED_MAX);
      }
      // No answer at all within the call timeout counts as a drop too.
      const opening = setTimeout(() => controller.abort(), CALL_TIMEOUT_MS);
      const res = await fetch('/api/v1/events/stream', {
        headers: {
          Authorization: 'Bearer ' + state.token,
          Accept: 'text/event-stream',
          'Last-Event-ID': String(state.lastEventId),
        },
        cache: 'no-store',
        credentials: 'omit',
        signal: controller.signal,
      }).finally(() => clearTimeout(opening));
      if (session !== state.session) {
        controller.abort();
        return;
      }
      if (res.status === 401) {
        signOut('wrong token');
        return;
      }
      if (!res.ok || !res.body) {
        let reply = { status: res.status, data: null };
        try {
          reply.data = await res.json();
        } catch (e) {
          reply = { status: res.status, data: null };
        }
        throw new Error(errorOf(reply));
      }
      setStreamStatus('live', 'events: live');
      delay = STREAM_RETRY_FIRST_MS;
      await readStream(res.body.getReader(), controller, session);
      controller.abort();
      if (session !== state.session) {
        return;
      }
      throw new Error('the stream ended');
    } catch (e) {
      if (e instanceof SignedOut || session !== state.session) {
        return;
      }
      const reason = e.name === 'AbortError' ? 'no data for too long' : e.message;
      setStreamStatus('down', 'events: ' + reason + '; again in ' + delay / 1000 + ' s');
      await sleep(delay);
      delay = Math.min(delay * 2, STREAM_RETRY_MAX_MS);
    }
  }
}

// ---- start ----

document.addEventListener('DOMContentLoaded', () => {
  const forms = $('command-forms');
  for (const entry of COMMANDS) {
    forms.appendChild(commandForm(entry));
  }
  $('sign-in-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const candidate = $('token').value.trim();
    if (candidate !== '') {
      signIn(candidate);
    }
  });
  $('sign-out').addEventListener('click', () => signOut(''));
  $('cards-add').addEventListener('click', () => {
    const row = cardRow(null);
    $('cards').tBodies[0].appendChild(row);
    row.querySelector('input').focus();
  });
  $('cards-reload').addEventListener('click', () => {
    show('cards-message', '');
    loadCards();
  });
  $('cards-save').addEventListener('click', saveCards);
  $('audit-reload').addEventListener('click', () => refreshAudit(state.session));
  $('labels-form').addEventListener('submit', (event) => {
    event.preventDefault();
    if (allows('admin')) {
      saveLabels();
    }
  });
  $('cards-give-back').addEventListener('click', giveBackCards);
  buildHolderCardFields();
  $('holders-search').addEventListener('submit', (event) => {
    event.preventDefault();
    searchHolders();
  });
  $('holders-previous').addEventListener('click', () => {
    if (state.holdersAfter.length > 1) {
      state.holdersAfter.pop();
      refreshHolders(state.session);
    }
  });
  $('holders-next').addEventListener('click', () => {
    if (state.holdersNext !== null) {
      state.holdersAfter.push(state.holdersNext);
      refreshHolders(state.session);
    }
  });
  $('holders-export').addEventListener('click', exportHolders);
  $('holder-add').addEventListener('click', () => openHolderForm(null));
  $('holder-cancel').addEventListener('click', () => {
    $('holder-form').hidden = true;
  });
  $('holder-form').addEventListener('submit', (event) => {
    event.preventDefault();
    saveHolder();
  });
  $('holder-devices').addEventListener('input', showChips);
  $('import-file').addEventListener('change', readImportFile);
  $('import-text').addEventListener('input', () => {
    if (state.importText !== null) {
      cancelImport(); // the summary was of another text
    }
  });
  $('import-check').addEventListener('click', checkImport);
  $('import-apply').addEventListener('click', applyImport);
  $('import-cancel').addEventListener('click', () => {
    cancelImport();
    show('import-message', '');
  });
  const stored = sessionStorage.getItem(TOKEN_KEY);
  if (stored) {
    signIn(stored);
  } else {
    $('token').focus();
  }
});
