#include "WebAssets.h"

#include "WebSite.h"

namespace tarvo::scpi {

std::string PageHead(std::string_view title) {
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
           EscapeMarkup(title) + "</title>\n<link rel=\"stylesheet\" href=\"/style.css\">\n</head>\n<body>\n<main>\n";
}

std::string_view StyleSheet() {
    return R"css(body { font-family: system-ui, sans-serif; margin: 0; background: #f4f4f4; color: #111; }
main { max-width: 40em; margin: 1em auto; padding: 0 1em; }
[hidden] { display: none !important; }
h1 { font-size: 1.4em; }
fieldset { background: #fff; border: 1px solid #999; margin: 0 0 1em; padding: 0.5em 1em 1em; }
legend { font-weight: bold; }
.row { display: flex; gap: 0.75em; align-items: center; flex-wrap: wrap; margin: 0.5em 0; }
dl { display: grid; grid-template-columns: max-content auto; gap: 0.3em 1em; margin: 0.5em 0; }
dd { margin: 0; min-height: 1.2em; }
input, select, button { font: inherit; padding: 0.3em 0.5em; }
input { width: 10em; }
:focus-visible { outline: 3px solid #0050c0; outline-offset: 2px; }
#frequency-message { color: #a00000; min-height: 1.2em; margin: 0.25em 0; }
#status { font-weight: bold; }
table { border-collapse: collapse; background: #fff; }
th, td { border: 1px solid #999; padding: 0.3em 0.6em; text-align: left; }
caption { text-align: left; font-weight: bold; padding: 0.3em 0; }
)css";
}

std::string_view ControlScript() {
    return R"js('use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const status = $('status'), serialRow = $('serial-row'), serialList = $('serial');
  const frequency = $('frequency'), message = $('frequency-message'), amplitude = $('amplitude');
  const setFrequency = $('set-frequency'), restore = $('restore');
  let current = null;        // the serial number shown; null until the server names one
  let lastFrequency = null;  // the generator's frequency text last put in the field
  let changes = 0;           // changes sent so far: a poll that overlapped one shows nothing stale
  let timer = null;
  const POLL_MS = 500;        // changes made elsewhere show well within 2 s

  function say(element, text) { if (element.textContent !== text) element.textContent = text; }
  function enable(on) { for (const c of [frequency, setFrequency, amplitude, restore]) c.disabled = !on; }

  function post(path, body) {
    changes += 1;
    body.serial = current || '';
    return fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json'},
                        body: JSON.stringify(body), cache: 'no-store'})
      .then((r) => r.json().then((answer) => ({code: r.status, answer})))
      .finally(() => { changes += 1; poll(); });
  }

  function show(state) {
    const list = state.generators;
    serialRow.hidden = list.length < 2;
    if (Array.from(serialList.options, (o) => o.value).join('\n') !== list.join('\n'))
      serialList.replaceChildren(...list.map((s) => new Option(s, s)));
    if (state.serial) current = state.serial;
    if (current && list.includes(current) && serialList.value !== current) serialList.value = current;
    say($('serial-number'), current || '');
    if (!state.attached || state.error) {
      say(status, !current ? 'No generator is attached.'
                           : state.attached ? 'Generator ' + current + ': ' + state.error
                                            : 'Generator ' + current + ' is not attached.');
      for (const id of ['product', 'maker', 'version']) say($(id), '');
      enable(false);
      return;
    }
    enable(true);
    say(status, 'Generator ' + current + (state.locked ? ': another session holds the lock.' : ' is attached.'));
    say($('product'), state.model || '');
    say($('maker'), state.manufacturer || '');
    say($('version'), state.version || '');
    if (state.frequencyText !== lastFrequency && document.activeElement !== frequency) {
      frequency.value = state.frequencyText;
      lastFrequency = state.frequencyText;
    }
    if (amplitude.value !== String(state.amplitudeIndex)) amplitude.value = String(state.amplitudeIndex);
  }

  function poll() {
    clearTimeout(timer);
    const started = changes;
    fetch('/api/state' + (current ? '?serial=' + encodeURIComponent(current) : ''), {cache: 'no-store'})
      .then((r) => r.json())
      .then((state) => { if (started === changes) show(state); })
      .catch(() => say(status, 'The server does not answer.'))
      .finally(() => { clearTimeout(timer); timer = setTimeout(poll, POLL_MS); });
  }

  $('frequency-form').addEventListener('submit', (event) => {
    event.preventDefault();
    post('/api/frequency', {text: frequency.value}).then(({code, answer}) => {
      if (code === 200) {
        frequency.value = answer.text;
        lastFrequency = answer.text;
        say(message, '');
      } else if (code === 422) {
        frequency.value = answer.text;
        say(message, answer.title + ': ' + answer.prompt);
      } else {
        say(message, answer.error || 'Refused (' + code + ').');
      }
    }).catch(() => say(message, 'The server does not answer.'));
  });
  amplitude.addEventListener('change', () => {
    post('/api/amplitude', {index: Number(amplitude.value)}).then(({code, answer}) => {
      if (code !== 200) say(status, answer.error || 'Refused (' + code + ').');
    }).catch(() => say(status, 'The server does not answer.'));
  });
  restore.addEventListener('click', () => {
    post('/api/restore', {}).then(({code, answer}) => {
      if (code !== 200) say(status, answer.error || 'Refused (' + code + ').');
      else { lastFrequency = null; say(message, ''); }
    }).catch(() => say(status, 'The server does not answer.'));
  });
  serialList.addEventListener('change', () => {
    current = serialList.value;
    lastFrequency = null;
    changes += 1;
    poll();
  });
  poll();
})();
)js";
}

}  // namespace tarvo::scpi
