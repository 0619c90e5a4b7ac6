'use strict';
// The page: follows the server's event stream, drives the recordings, documents, text size,
// files and settings through the HTTP interface. Texts come from strings.js.

const lang = chooseLanguage(navigator.languages && navigator.languages.length ? navigator.languages : [navigator.language]);
const t = (key, ...args) => translate(lang, key, ...args);
const $ = (id) => document.getElementById(id);
document.documentElement.lang = lang;

function element(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'text') node.textContent = value;
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else node.setAttribute(name, value);
  }
  for (const child of children) if (child) node.append(child);
  return node;
}

function show(node, text) {
  node.textContent = text || '';
  node.hidden = !text;
}

const errorText = (answer, ...args) => (answer && answer.error && STRINGS.en[answer.error]
  ? t(answer.error, ...(answer.detail ? [answer.detail] : args))
  : t('failedGeneric', (answer && (answer.detail || answer.error)) || '?'));

async function api(method, url, body, type = 'application/json') {
  const response = await fetch(url, {
    method,
    headers: body === undefined && method === 'GET' ? {} : { 'Content-Type': type },
    body: body === undefined ? (method === 'GET' ? undefined : '{}') : (type === 'application/json' ? JSON.stringify(body) : body),
  });
  let answer = null;
  try {
    answer = await response.json();
  } catch {
    answer = null;
  }
  return { ok: response.ok, status: response.status, answer };
}

for (const node of document.querySelectorAll('[data-text]')) node.textContent = t(node.dataset.text);
document.title = 'Quorvel';

// Views.
for (const button of document.querySelectorAll('nav button')) {
  button.addEventListener('click', () => {
    for (const other of document.querySelectorAll('nav button')) other.classList.toggle('chosen', other === button);
    for (const view of document.querySelectorAll('.view')) view.hidden = view.id !== button.dataset.view;
    if (button.dataset.view === 'files') refreshFiles();
    if (button.dataset.view === 'settings') refreshSettings();
  });
}

// Recording.
let current = null;
let clockTimer = null;

const clock = (seconds) => {
  const whole = Math.floor(seconds);
  const h = Math.floor(whole / 3600);
  const m = Math.floor((whole % 3600) / 60);
  const s = String(whole % 60).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${s}` : `${m}:${s}`;
};

function recordingMessage(summary) {
  const message = summary.message;
  const parts = [];
  if (summary.state === 'cancelled') parts.push(t('stateCancelled'));
  if (message) {
    if (message.code === 'denied') parts.push(t('recordDenied'));
    else if (message.text === 'nowrite' || message.code === 'nowrite') parts.push(t('recordNoWrite', message.detail));
    else if (message.text === 'recordfailed') parts.push(t('recordMovieFailed', message.detail));
    else parts.push(t('recordError', message.detail));
  }
  if (summary.state === 'done') parts.push(message ? t('keptPart', summary.name) : t('stateDone', summary.name));
  else if (summary.state === 'failed') parts.unshift(t('stateFailed'));
  return parts.join(' ');
}

function showRecording(summary) {
  current = summary;
  const live = summary && ['starting', 'picking', 'recording', 'stopping'].includes(summary.state);
  $('record-audio').disabled = live;
  $('record-screen').disabled = live;
  $('record-stop').disabled = !live || summary.state === 'stopping';
  $('live').hidden = !live;
  if (!summary) return;
  const stateKey = { starting: 'stateStarting', picking: 'statePicking', recording: 'stateRecording', stopping: 'stateStopping' }[summary.state];
  if (live) {
    $('live-state').textContent = t(stateKey);
    $('live-level').value = summary.level || 0;
    $('live-time').textContent = clock(summary.seconds || 0);
    const notice = summary.notice ? t('restarted', Number(summary.notice.gap || 0).toFixed(1)) : '';
    show($('record-message'), [notice, summary.message ? recordingMessage({ ...summary, state: 'live' }) : ''].filter(Boolean).join(' '));
  } else {
    show($('record-message'), recordingMessage(summary));
  }
  clearInterval(clockTimer);
  if (live && summary.kind === 'screen' && summary.state === 'recording') {
    const since = Date.now() - (summary.seconds || 0) * 1000;
    clockTimer = setInterval(() => { $('live-time').textContent = clock((Date.now() - since) / 1000); }, 250);
  }
}

async function startRecording(kind) {
  show($('record-message'), '');
  const { ok, answer } = await api('POST', '/api/recordings', { kind });
  if (!ok) show($('record-message'), errorText(answer));
}

$('record-audio').addEventListener('click', () => startRecording('audio'));
$('record-screen').addEventListener('click', () => startRecording('screen'));
$('record-stop').addEventListener('click', async () => {
  $('record-stop').disabled = true;
  await api('POST', '/api/recordings/current/stop');
});

// Documents.
const jobs = new Map();
let uploadLimit = 512 * 1024 * 1024;

function jobView(id) {
  let view = jobs.get(id);
  if (!view) {
    view = element('article', { class: 'job' });
    jobs.set(id, view);
    $('document-jobs').prepend(view);
  }
  return view;
}

function showJob(job) {
  const view = jobView(job.id);
  view.replaceChildren(element('h3', { text: job.name }));
  if (job.state === 'running') {
    const [done, total] = job.progress || [0, 0];
    view.append(element('progress', total > 0 ? { max: String(total), value: String(done) } : {}),
      element('p', { class: 'quiet', text: total > 0 ? t('docProgress', Math.min(done + 1, total), total) : t('docReading') }));
    return;
  }
  if (job.state === 'failed') {
    const key = job.error === 'locked' ? 'docLocked' : job.error === 'unreadable' ? 'docUnreadable' : null;
    view.append(element('p', { class: 'message', role: 'alert', text: key ? t(key, job.name) : t('docFailed', job.name, job.error) }));
    return;
  }
  const pages = (job.result && job.result.pages) || [];
  const text = pages.map((page) => page.text).join('\n\n');
  const actions = element('div', { class: 'actions' });
  const copy = element('button', { type: 'button', text: t('copy') });
  copy.addEventListener('click', async () => {
    await navigator.clipboard.writeText(text);
    copy.textContent = t('copied');
  });
  actions.append(copy);
  if (job.text) actions.append(element('a', { class: 'button', href: `/files/texts/${encodeURIComponent(job.text)}?download`, text: t('downloadText') }));
  view.append(actions);
  if (text.trim() === '') view.append(element('p', { class: 'quiet', text: t('noTextFound') }));
  for (const page of pages) {
    view.append(element('section', { class: 'page' },
      element('h4', { text: t('pageLabel', page.n) }, page.ocr ? element('span', { class: 'mark', text: t('recognised') }) : null),
      element('pre', { text: page.text })));
  }
}

async function upload(url, file, onFailed) {
  if (file.size > uploadLimit) {
    onFailed(t('uploadTooLarge', file.name, Math.round(uploadLimit / 1048576)));
    return null;
  }
  try {
    const { ok, answer } = await api('POST', `${url}?name=${encodeURIComponent(file.name)}`, file, 'application/octet-stream');
    if (!ok) {
      onFailed(t('uploadFailed', file.name, errorText(answer)));
      return null;
    }
    return answer;
  } catch (error) {
    onFailed(t('uploadFailed', file.name, error.message));
    return null;
  }
}

async function addDocuments(list) {
  for (const file of list) {
    const placeholder = element('article', { class: 'job' }, element('h3', { text: file.name }), element('progress'));
    $('document-jobs').prepend(placeholder);
    const answer = await upload('/api/documents', file, (text) => placeholder.replaceChildren(element('h3', { text: file.name }), element('p', { class: 'message', text })));
    if (!answer) continue;
    if (jobs.has(answer.id)) placeholder.remove();
    else jobs.set(answer.id, placeholder);
    const { ok, answer: job } = await api('GET', `/api/documents/${answer.id}`);
    if (ok) showJob(job);
  }
}

// Text size.
function verdict(entry) {
  if (!entry.lines) return t('verdictNone');
  return entry.big >= 1 / 40 ? t('verdictBig') : t('verdictSmall');
}

async function measurePictures(list) {
  $('measure-results').hidden = false;
  const body = $('measure-results').querySelector('tbody');
  for (const file of list) {
    const row = element('tr', {}, element('td', { text: file.name }), element('td', { colspan: '3', class: 'quiet', text: t('measureRunning') }));
    body.prepend(row);
    const answer = await upload('/api/measure', file, (text) => row.replaceChildren(element('td', { text: file.name }), element('td', { colspan: '3', class: 'message', text })));
    if (!answer) continue;
    row.replaceChildren(element('td', { text: file.name }), element('td', { text: String(answer.lines) }),
      element('td', { text: answer.big > 0 ? t('ofHeight', `${(answer.big * 100).toFixed(1)} %`) : '—' }),
      element('td', { text: verdict(answer) }));
  }
}

function dropZone(zone, input, onFiles) {
  input.addEventListener('change', () => {
    onFiles([...input.files]);
    input.value = '';
  });
  zone.addEventListener('dragover', (event) => {
    event.preventDefault();
    zone.classList.add('over');
  });
  zone.addEventListener('dragleave', () => zone.classList.remove('over'));
  zone.addEventListener('drop', (event) => {
    event.preventDefault();
    zone.classList.remove('over');
    onFiles([...event.dataTransfer.files]);
  });
}
dropZone($('document-drop'), $('document-input'), addDocuments);
dropZone($('measure-drop'), $('measure-input'), measurePictures);

// Files.
const size = (bytes) => (bytes >= 1048576 ? `${(bytes / 1048576).toFixed(1)} MB` : `${Math.max(1, Math.round(bytes / 1024))} KB`);
const when = (iso) => new Date(iso).toLocaleString(lang);

function confirmDelete(name) {
  return new Promise((resolve) => {
    const dialog = $('confirm');
    $('confirm-text').textContent = t('confirmDelete', name);
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.showModal();
  });
}

function fileItem(folder, entry) {
  const url = `/files/${folder}/${encodeURIComponent(entry.name)}`;
  const details = [size(entry.bytes), when(entry.created)];
  if (entry.seconds) details.unshift(clock(entry.seconds));
  if (entry.live) details.push(t('live'));
  const remove = element('button', { type: 'button', class: 'quiet-button', text: t('delete') });
  remove.disabled = Boolean(entry.live);
  remove.addEventListener('click', async () => {
    if (!(await confirmDelete(entry.name))) return;
    await api('DELETE', `/api/${folder}/${encodeURIComponent(entry.name)}`);
    refreshFiles();
  });
  let player = null;
  if (!entry.live && entry.kind === 'audio') player = element('audio', { controls: '', preload: 'metadata', src: url });
  if (!entry.live && entry.kind === 'screen') player = element('video', { controls: '', preload: 'metadata', src: url });
  return element('li', { 'data-name': entry.name },
    element('div', { class: 'file-head' }, element('strong', { text: entry.name }), element('span', { class: 'quiet', text: details.join(' · ') })),
    player,
    element('div', { class: 'actions' }, element('a', { class: 'button', href: `${url}?download`, text: t('download') }), remove));
}

async function refreshFiles() {
  const [recordings, texts] = await Promise.all([api('GET', '/api/recordings'), api('GET', '/api/texts')]);
  const recordingList = recordings.ok ? recordings.answer : [];
  const textList = texts.ok ? texts.answer : [];
  $('recording-list').replaceChildren(...recordingList.map((entry) => fileItem('recordings', entry)));
  $('text-list').replaceChildren(...textList.map((entry) => fileItem('texts', entry)));
  $('recordings-empty').hidden = recordingList.length > 0;
  $('texts-empty').hidden = textList.length > 0;
}

// Settings.
async function refreshSettings() {
  const { ok, answer } = await api('GET', '/api/settings');
  if (!ok) return;
  $('data-now').textContent = answer.dataDir;
  $('version-now').textContent = answer.version;
  uploadLimit = answer.uploadLimit;
}

$('data-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const { ok, answer } = await api('POST', '/api/settings/data-folder', { path: $('data-path').value.trim() });
  show($('data-message'), ok ? t('dataMoving') : errorText(answer));
});

let foundUpdate = null;
$('update-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  $('update-found').hidden = true;
  foundUpdate = $('update-path').value.trim();
  const { ok, answer } = await api('POST', '/api/update/check', { path: foundUpdate });
  if (!ok) {
    show($('update-message'), errorText(answer));
    return;
  }
  if (!answer.matches) {
    show($('update-message'), t('updateNotOurs'));
    return;
  }
  show($('update-message'), '');
  $('update-found-text').textContent = t('updateFound', answer.version);
  $('update-found').hidden = false;
});
$('update-install').addEventListener('click', async () => {
  const { ok, answer } = await api('POST', '/api/update/install', { path: foundUpdate });
  $('update-found').hidden = true;
  show($('update-message'), ok ? t('updateInstalling') : errorText(answer));
});

// The event stream: reconnects by itself after the server restarts.
function connect() {
  const events = new EventSource('/api/events');
  events.addEventListener('hello', (event) => {
    const hello = JSON.parse(event.data);
    $('connection').textContent = t('connected', hello.version);
    $('connection').classList.remove('lost');
    showRecording(hello.recording);
    if (hello.update) {
      const u = hello.update;
      show($('update-message'), u.ok ? t('updateDone', u.from, u.to) : t('updateFailed', u.to, u.error || u.code));
      $('connection').textContent += ` ${u.ok ? t('updateDone', u.from, u.to) : t('updateFailed', u.to, u.error || u.code)}`;
    }
    refreshFiles();
    refreshSettings();
  });
  events.addEventListener('recording', (event) => showRecording(JSON.parse(event.data)));
  events.addEventListener('document', (event) => showJob(JSON.parse(event.data)));
  events.addEventListener('files', () => refreshFiles());
  events.onerror = () => {
    $('connection').textContent = t('reconnecting');
    $('connection').classList.add('lost');
  };
}
connect();
